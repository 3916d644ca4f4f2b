// Where the engine's planner gets its operations: a program file read one
// line at a time through the interpreter, or a short list made by the
// engine itself (a jog, an MDI line, an approach).
#pragma once

#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "gcode/interpreter.h"

namespace telvo::tool {

class OpFeed {
public:
    virtual ~OpFeed() = default;
    // The next operation; false when none is ready (then done() says
    // whether any more will come).
    virtual bool next(Op& op) = 0;
    virtual bool done() const = 0;
    // Problems found while reading: the job stops at the first.
    virtual const std::vector<Diagnostic>& errors() const = 0;
};

class ListFeed : public OpFeed {
public:
    void add(Op op) { ops_.push_back(std::move(op)); }
    bool next(Op& op) override {
        if (ops_.empty()) return false;
        op = std::move(ops_.front());
        ops_.pop_front();
        return true;
    }
    bool done() const override { return ops_.empty(); }
    const std::vector<Diagnostic>& errors() const override { return none_; }

private:
    std::deque<Op> ops_;
    std::vector<Diagnostic> none_;
};

// A program file through the interpreter. Lines are read into one buffer
// of bounded size; a longer line is an error naming it.
class ProgramFeed : public OpFeed {
public:
    static constexpr size_t kLongestLine = 64 * 1024;

    // Opens `path`; throws ToolError when it cannot be read.
    ProgramFeed(const std::string& path, const GcodeSetup& setup, const Vec6& start);
    ~ProgramFeed() override;
    ProgramFeed(const ProgramFeed&) = delete;
    ProgramFeed& operator=(const ProgramFeed&) = delete;

    bool next(Op& op) override;
    bool done() const override { return drained_; }
    const std::vector<Diagnostic>& errors() const override;
    const std::vector<Diagnostic>& notes() const { return interp_.notes(); }
    bool errorsTruncated() const { return interp_.errorsTruncated(); }
    GcodeInterpreter& interpreter() { return interp_; }
    // Reads lines up to (not including) `line` and drops their operations:
    // the interpreter then stands where the program stands at that line.
    void skipTo(int line);
    int linesRead() const { return lineNo_; }
    // Read on past problems (up to the interpreter's limit) to list them
    // all, instead of stopping at the first as a run does.
    void readPastProblems() { pastProblems_ = true; }

private:
    bool readLine();

    std::FILE* file_ = nullptr;
    GcodeInterpreter interp_;
    std::string buffer_;
    std::vector<char> block_;  // what was read of the file
    size_t at_ = 0, filled_ = 0;
    int lineNo_ = 0;
    bool finished_ = false, drained_ = false, pastProblems_ = false;
    std::vector<Diagnostic> ownErrors_;
    mutable std::vector<Diagnostic> all_;
};

}  // namespace telvo::tool
