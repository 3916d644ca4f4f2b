// The part-program interpreter: RS274/NGC G-code as CAM systems write it,
// read the way LinuxCNC reads it (modal groups, one word of a group per
// line, the standard order of execution within a line), turned into a list
// of operations in machine coordinates and machine units.
//
// The interpreter is pure: it never touches a controller. It reads the whole
// program and lists every problem it finds (up to a limit), each with its
// line and the word at fault, so a refused program costs nothing but reading
// it. Words it does not run are refused by name (see tools/README.md).
#pragma once

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/canon.h"

namespace telvo::tool {

// What the program may assume about the machine, from the machine file.
struct GcodeSetup {
    double mmPerUnit = 1.0;                     // of the machine units
    std::array<bool, kAxisCount> configured{};  // axes the program may move
    std::array<int, kAxisCount> slaveOf{};      // 0 or 1 + master index
    std::array<Vec6, 9> workOffsets{};          // G54..G59, G59.1..G59.3, machine units
    Vec6 g28{}, g30{};                          // stored positions, machine coordinates
    std::optional<Vec6> toolChange;             // where M6 moves to, machine coordinates
    bool toolChangeQuillUp = false;             // M6 raises Z to machine 0 before it goes there
    std::map<int, ToolEntry> tools;             // the tool table
    double blendTolerance = 0.01;               // G64 without P, machine units
    bool blockDelete = false;                   // '/' lines are skipped
    bool spindleConfigured = false;             // a [spindle] mapping exists
    bool coolantConfigured = false;             // a [coolant] mapping exists
    double spinUpSeconds = 0.0;                 // dwell after M3/M4
    double maxRpm = 0.0;                        // spindle's top speed (0: none given)
    int loadedTool = 0;                         // the tool in the spindle when it starts
    int maxErrors = 20;
    // Operations that may wait behind one move under cutter compensation
    // (its end depends on the next X/Y move): bounded, so that memory never
    // grows with the program.
    size_t maxHeld = 10'000;
};

// What a program leaves behind (for the next program, MDI, run from a line).
struct GcodeState {
    Vec6 position{};  // programmed, machine coordinates
    std::array<Vec6, 9> workOffsets{};
    std::map<int, ToolEntry> tools;
    int loadedTool = 0;
    int workSystem = 0;  // 0..8
    Vec6 g92{}, toolOffset{};
    int spindleDirection = 0;
    double rpm = 0.0;
    bool mist = false, flood = false;
    bool compensation = false;  // G41/G42 in effect
    bool cycle = false;         // a canned cycle is the motion mode
    bool ended = false;         // M2, M30 or the closing '%' came
    int line = 0;               // lines read
};

// The interpreter, one line at a time: operations come out in program
// order as soon as they are settled (under cutter compensation a move waits
// for the next X/Y move), so a program of any length runs in bounded memory.
class GcodeInterpreter {
public:
    GcodeInterpreter(const GcodeSetup& setup, const Vec6& start);
    ~GcodeInterpreter();
    GcodeInterpreter(GcodeInterpreter&&) noexcept;
    GcodeInterpreter& operator=(GcodeInterpreter&&) noexcept;

    // The next line of the program (without its line break).
    void line(std::string_view text);
    // After the last line: ends compensation, notes a missing M2.
    void finish();
    // Nothing more is read: the program ended, or too many errors.
    bool done() const;
    // The next operation, once it is settled.
    bool pop(Op& op);
    const std::vector<Diagnostic>& errors() const;
    const std::vector<Diagnostic>& notes() const;
    bool errorsTruncated() const;
    GcodeState state() const;
    // Where the tool stands now (after motion the interpreter did not
    // make: jogs, homing); not under cutter compensation.
    void setPosition(const Vec6& position);

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// Interprets a whole program from `start` (machine coordinates): for tests
// and small programs; a run streams through GcodeInterpreter.
Interpreted interpret(std::string_view text, const GcodeSetup& setup, const Vec6& start);

}  // namespace telvo::tool
