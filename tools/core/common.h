// Types shared by the host tool's parts: the six-axis vector, axis names and
// the one error type whose message the tool prints as its single error line.
#pragma once

#include <array>
#include <stdexcept>
#include <string>

namespace telvo::tool {

constexpr int kAxisCount = 6;
// Interpolation period: one motion segment is one millisecond of motion.
constexpr double kSegmentSeconds = 0.001;

using Vec6 = std::array<double, kAxisCount>;

// Axis letters in index order, as G-code, machine files and output name them.
constexpr std::array<char, kAxisCount> kAxisLetters = {'X', 'Y', 'Z', 'A', 'B', 'C'};

// Index of an axis letter (either case), or -1.
inline int axisIndex(char letter) {
    for (int i = 0; i < kAxisCount; ++i) {
        if (kAxisLetters[i] == letter || kAxisLetters[i] == letter - 'a' + 'A') return i;
    }
    return -1;
}

// A failure the tool reports as one line and a non-zero exit.
class ToolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An error tied to a line of an input file; what() is "LINE: message" and the
// caller prefixes the file name.
class LineError : public ToolError {
public:
    LineError(int line, const std::string& message)
        : ToolError("line " + std::to_string(line) + ": " + message),
          line_(line),
          message_(message) {}
    int line() const { return line_; }
    const std::string& message() const { return message_; }

private:
    int line_;
    std::string message_;
};

}  // namespace telvo::tool
