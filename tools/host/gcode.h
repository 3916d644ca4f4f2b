// The part-program reader: a small, documented G-code subset turned into a
// list of moves in machine units and absolute coordinates.
//
// Supported: G0 G1 G2 G3 (arcs in the XY plane, centre by I/J or radius R,
// other axes moving linearly along the arc), G17, G20/G21, G90/G91, F (units
// per minute), N line numbers, ( ) and ; comments, and a line holding only
// '%'. Everything else is refused with its line number: a program that uses a
// word the tool does not understand must not run half understood.
#pragma once

#include <array>
#include <string_view>
#include <vector>

#include "common.h"

namespace telvo::tool {

enum class MoveKind { Rapid, Linear, ArcCw, ArcCcw };

struct Move {
    MoveKind kind = MoveKind::Rapid;
    Vec6 end{};            // absolute, machine units
    double feed = 0.0;     // machine units per second; 0 for rapids
    double centerX = 0.0;  // arc centre, absolute machine units
    double centerY = 0.0;
    int line = 0;  // source line
};

struct Program {
    Vec6 start{};  // machine units
    std::vector<Move> moves;
    // Position after the last move, machine units.
    Vec6 end() const { return moves.empty() ? start : moves.back().end; }
};

struct GcodeContext {
    Vec6 start{};                               // machine units
    double mmPerUnit = 1.0;                     // of the machine units
    std::array<bool, kAxisCount> configured{};  // axes the program may move
    std::array<int, kAxisCount> slaveOf{};      // 0 or 1 + master index
};

// Parses a program; throws LineError for the first problem found.
Program parseGcode(std::string_view text, const GcodeContext& context);

}  // namespace telvo::tool
