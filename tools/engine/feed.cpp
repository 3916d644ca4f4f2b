// Operation feeds; see feed.h.
#include "engine/feed.h"

#include <cerrno>
#include <cstring>
#include <system_error>

namespace telvo::tool {

ProgramFeed::ProgramFeed(const std::string& path, const GcodeSetup& setup, const Vec6& start)
    : interp_(setup, start) {
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_) throw ToolError(path + ": " + std::generic_category().message(errno));
    buffer_.reserve(256);
    block_.resize(64 * 1024);
}

ProgramFeed::~ProgramFeed() {
    // Read only: closing cannot lose anything.
    if (file_) (void)std::fclose(file_);
}

// One line into the buffer, without its line break; false at the end.
// The file is read in blocks; a line is copied out of the block once.
bool ProgramFeed::readLine() {
    buffer_.clear();
    bool any = false;
    for (;;) {
        if (at_ == filled_) {
            filled_ = std::fread(block_.data(), 1, block_.size(), file_);
            at_ = 0;
            if (filled_ == 0) break;
        }
        any = true;
        const char* start = block_.data() + at_;
        const void* nl = std::memchr(start, '\n', filled_ - at_);
        size_t n = nl ? static_cast<size_t>(static_cast<const char*>(nl) - start) : filled_ - at_;
        if (buffer_.size() + n > kLongestLine) {
            if (ownErrors_.empty())
                ownErrors_.push_back(
                    {lineNo_ + 1, "",
                     "the line is longer than " + std::to_string(kLongestLine) + " characters",
                     "is this a G-code file?"});
            return false;
        }
        buffer_.append(start, n);
        at_ += n;
        if (nl) {
            ++at_;
            break;
        }
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
        bool stop = !ownErrors_.empty() || (!pastProblems_ && !interp_.errors().empty());
        if (stop || interp_.done() || !readLine()) {
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
