// The protocol error log of the simulated controller: every departure from
// the formats that either face of the controller notices is counted, and the
// first texts are kept for the tests and the host tool to show.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <string>

namespace tsim {

constexpr size_t kProtocolErrorTextsKept = 10000;

class ProtocolLog {
public:
    void clear() {
        texts_.clear();
        count_ = 0;
    }

    // printf-style on purpose: the compiler checks every format against its
    // arguments, which a parameter pack passed on to snprintf would not.
    // clang-format off
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    void add(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
        // clang-format on
        ++count_;
        if (texts_.size() >= kProtocolErrorTextsKept) return;
        char text[200];
        va_list args;
        va_start(args, format);
        (void)std::vsnprintf(text, sizeof text, format, args);  // a longer text is cut
        va_end(args);
        texts_.emplace_back(text);
    }

    int count() const {
        return count_;
    }
    const char* text(int i) const {
        if (i < 0 || i >= static_cast<int>(texts_.size())) return nullptr;
        return texts_[static_cast<size_t>(i)].c_str();
    }

private:
    std::deque<std::string> texts_;
    int count_ = 0;
};

}  // namespace tsim
