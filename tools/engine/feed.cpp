// Operation feeds; see feed.h.
#include "feed.h"

#include <cerrno>
#include <cstring>

namespace telvo::tool {

ProgramFeed::ProgramFeed(const std::string& path, const GcodeSetup& setup, const Vec6& start)
    : interp_(setup, start) {
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_) throw ToolError(path + ": " + std::strerror(errno));
    buffer_.reserve(256);
}

ProgramFeed::~ProgramFeed() {
    if (file_) std::fclose(file_);
}

// One line into the buffer, without its line break; false at the end.
bool ProgramFeed::readLine() {
    buffer_.clear();
    int c = 0;
    bool any = false;
    while ((c = std::fgetc(file_)) != EOF) {
        any = true;
        if (c == '\n') break;
        if (buffer_.size() >= kLongestLine) {
            if (ownErrors_.empty())
                ownErrors_.push_back({lineNo_ + 1, "",
                                      "the line is longer than " + std::to_string(kLongestLine) +
                                          " characters",
                                      "is this a G-code file?"});
            return false;
        }
        buffer_.push_back(static_cast<char>(c));
    }
    if (!any) return false;
    ++lineNo_;
    return true;
}

bool ProgramFeed::next(Op& op) {
    for (;;) {
        if (interp_.pop(op)) return true;
        if (finished_) {
            drained_ = true;
            return false;
        }
        if (!ownErrors_.empty() || !interp_.errors().empty() || interp_.done() || !readLine()) {
            interp_.finish();
            finished_ = true;
            continue;
        }
        interp_.line(buffer_);
    }
}

void ProgramFeed::skipTo(int line) {
    Op dropped;
    while (lineNo_ + 1 < line && ownErrors_.empty() && interp_.errors().empty() &&
           !interp_.done() && readLine()) {
        interp_.line(buffer_);
        while (interp_.pop(dropped)) {
        }
    }
}

const std::vector<Diagnostic>& ProgramFeed::errors() const {
    if (ownErrors_.empty()) return interp_.errors();
    all_ = interp_.errors();
    all_.insert(all_.end(), ownErrors_.begin(), ownErrors_.end());
    return all_;
}

}  // namespace telvo::tool
