// The canonical operations: what a G-code program means for the machine,
// in machine coordinates and machine units, the way the interpreter hands
// it to the planner and the run checker. The meeting point of the G-code
// and planning libraries, which know nothing else of each other.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/common.h"

namespace telvo::tool {

struct ToolEntry {
    double length = 0.0;             // machine units, added to Z under G43
    std::optional<double> diameter;  // machine units; none: not given
};

enum class OpKind { Rapid, Linear, Arc, Dwell, Spindle, Coolant, ToolChange, Pause, Message, End };

struct Op {
    OpKind kind = OpKind::Rapid;
    int line = 0;
    // Motion: end point, machine coordinates and units.
    Vec6 end{};
    double feed = 0.0;  // machine units per second (0 for rapids)
    // Blending at the end of this move: < 0 exact stop, 0 exact path
    // (only tangent moves continue at speed), > 0 the tolerance.
    double tolerance = -1.0;
    // Arcs: plane axes (first, second), centre in those axes, direction,
    // and the number of full turns beyond the first (P word - 1).
    int axis0 = 0, axis1 = 1;
    double center0 = 0.0, center1 = 0.0;
    bool ccw = false;
    int extraTurns = 0;
    // Dwell seconds; spindle rpm and direction (+1 cw, -1 ccw, 0 off);
    // coolant state; tool number; M1 (optional) pauses.
    double seconds = 0.0;
    double rpm = 0.0;
    int direction = 0;
    bool mist = false, flood = false;
    int tool = 0;
    bool optional = false;
    std::string text;  // messages: the text
};

struct Diagnostic {
    int line = 0;
    std::string word;  // the word at fault, may be empty
    std::string message;
    std::string hint;  // may be empty
};

// A whole program interpreted at once (tests and small programs; a run
// streams the operations instead).
struct Interpreted {
    Vec6 start{};
    std::vector<Op> ops;
    std::vector<Diagnostic> errors;  // nothing may run when not empty
    bool errorsTruncated = false;    // more than maxErrors
    std::vector<Diagnostic> notes;   // warnings: ignored text after the end, ...
    bool ok() const { return errors.empty(); }
};

// "FILE:LINE: word: message (hint)" for each diagnostic.
std::string formatDiagnostics(const std::vector<Diagnostic>& list, const std::string& file,
                              bool truncated = false);

}  // namespace telvo::tool
