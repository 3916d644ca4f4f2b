// The interpreter's word rules, as tables: what each program becomes, and
// what each wrong line is refused with.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "gcode/codes.h"
#include "gcode/interpreter.h"
#include "files/machine.h"

using namespace telvo::tool;

namespace {

GcodeSetup mill() {
    GcodeSetup s = defaultMachine().gcodeSetup();
    s.workOffsets[1] = {50, 40, -10, 0, 0, 0};  // G55
    s.workOffsets[8] = {-5, -6, -7, 0, 0, 0};   // G59.3
    s.g28 = {0, 0, 20, 0, 0, 0};
    s.g30 = {100, 100, 30, 0, 0, 0};
    s.tools[3] = {12.5, 6.0};
    return s;
}

std::string describe(const Op& op) {
    char buf[200];
    switch (op.kind) {
        case OpKind::Rapid:
            std::snprintf(buf, sizeof buf, "G0 %g %g %g", op.end[0], op.end[1], op.end[2]);
            break;
        case OpKind::Linear:
            std::snprintf(buf, sizeof buf, "G1 %g %g %g F%g", op.end[0], op.end[1], op.end[2],
                          op.feed * 60.0);
            break;
        case OpKind::Arc:
            std::snprintf(buf, sizeof buf, "%s %g %g %g C%g,%g A%d%d T%d", op.ccw ? "G3" : "G2",
                          op.end[0], op.end[1], op.end[2], std::round(op.center0 * 1e6) / 1e6,
                          std::round(op.center1 * 1e6) / 1e6, op.axis0, op.axis1, op.extraTurns);
            break;
        case OpKind::Dwell:
            std::snprintf(buf, sizeof buf, "dwell %g", op.seconds);
            break;
        case OpKind::Spindle:
            std::snprintf(buf, sizeof buf, "spindle %d %g", op.direction, op.rpm);
            break;
        case OpKind::Coolant:
            std::snprintf(buf, sizeof buf, "coolant %d %d", op.mist, op.flood);
            break;
        case OpKind::ToolChange:
            std::snprintf(buf, sizeof buf, "tool %d", op.tool);
            break;
        case OpKind::Pause:
            std::snprintf(buf, sizeof buf, "pause %d", op.optional);
            break;
        case OpKind::Message:
            std::snprintf(buf, sizeof buf, "message %s", op.text.c_str());
            break;
        case OpKind::End:
            std::snprintf(buf, sizeof buf, "end");
            break;
    }
    return buf;
}

std::vector<std::string> run(const std::string& program, const GcodeSetup& setup = mill(),
                             Vec6 start = {}) {
    Interpreted p = interpret(program, setup, start);
    std::vector<std::string> out;
    for (const Diagnostic& d : p.errors)
        out.push_back("error " + std::to_string(d.line) + ": " + d.word + ": " + d.message);
    for (const Op& op : p.ops) out.push_back(describe(op));
    return out;
}

struct Accepted {
    const char* name;
    const char* program;
    std::vector<std::string> ops;
};

struct Refused {
    const char* program;
    int line;
    const char* word;
    const char* message;  // part of the message
};

// Each program is refused, nothing runs, and its first problem names the
// line, the word and the reason.
void expectRefused(const std::vector<Refused>& table) {
    for (const Refused& t : table) {
        Interpreted p = interpret(t.program, mill(), {});
        ASSERT_FALSE(p.ok()) << t.program;
        EXPECT_TRUE(p.ops.empty()) << t.program;
        const Diagnostic& d = p.errors.front();
        EXPECT_EQ(d.line, t.line) << t.program;
        EXPECT_EQ(d.word, t.word) << t.program;
        EXPECT_NE(d.message.find(t.message), std::string::npos) << t.program << " -> " << d.message;
    }
}

}  // namespace

TEST(InterpWords, ProgramsBecomeOperationsInMachineCoordinates) {
    const std::vector<Accepted> table = {
        {"modal motion and feed, incremental",
         "G21 G90 G0 X10 Y5\nG1 Z-1 F600\nX20\nG91 X-5 Y2.5\nM30",
         {"G0 10 5 0", "G1 10 5 -1 F600", "G1 20 5 -1 F600", "G1 15 7.5 -1 F600", "end"}},
        {"inches", "G20 G1 X1 F10\nM30", {"G1 25.4 0 0 F254", "end"}},
        {"work offset G55", "G55 G0 X0 Y0 Z0\nG54 X0\nM30", {"G0 50 40 -10", "G0 0 40 -10", "end"}},
        {"G10 L2 changes G55 for the run",
         "G10 L2 P2 X1 Y2 Z3\nG55 G0 X0 Y0 Z0\nM30",
         {"G0 1 2 3", "end"}},
        {"G10 L20 makes here the given point",
         "G0 X10 Y10\nG10 L20 P1 X0 Y0\nG0 X5\nM30",
         {"G0 10 10 0", "G0 15 10 0", "end"}},
        {"G92 and G92.1",
         "G0 X10\nG92 X0\nG0 X5\nG92.1\nG0 X5\nM30",
         {"G0 10 0 0", "G0 15 0 0", "G0 5 0 0", "end"}},
        {"G59.3 and G10 L2 P9: the ninth work offset",
         "G59.3 G0 X1\nG10 L2 P9 X10\nG0 X1\nM30",
         {"G0 -4 0 0", "G0 11 0 0", "end"}},
        {"G10 L1 changes a tool's length for the run, taken at the next G43",
         "T3 M6 G43\nG0 Z0\nG10 L1 P3 Z2.5\nG0 Z1\nG43 H3\nG0 Z0\nM30",
         {"tool 3", "G0 0 0 12.5", "G0 0 0 13.5", "G0 0 0 2.5", "end"}},
        {"G53 ignores offsets", "G55\nG53 G0 X1 Y2\nM30", {"G0 1 2 0", "end"}},
        {"G28 via an intermediate point, only the given axes",
         "G0 X10 Y10 Z5\nG28 Z10\nG30\nM30",
         {"G0 10 10 5", "G0 10 10 10", "G0 10 10 20", "G0 100 100 30", "end"}},
        {"G28.1 stores the position",
         "G0 X7 Y8\nG28.1\nG0 X0 Y0\nG28\nM30",
         {"G0 7 8 0", "G0 0 0 0", "G0 7 8 0", "end"}},
        {"G43 H adds the tool length to Z, G49 removes it",
         "T3 M6\nG43 H3\nG0 Z0\nG49\nG0 Z0\nM30",
         {"tool 3", "G0 0 0 12.5", "G0 0 0 0", "end"}},
        {"G43 without H takes the loaded tool; G43.1 gives it",
         "T3 M6 G43\nG0 Z1\nG43.1 Z2\nG0 Z1\nM30",
         {"tool 3", "G0 0 0 13.5", "G0 0 0 3", "end"}},
        {"standard order: spindle and coolant before motion, dwell, stop last",
         "S1000 M3 M8 G4 P0.5 G0 X1 M0\nS2000\nM5 M9\nM30",
         {"spindle 1 1000", "coolant 0 1", "dwell 0.5", "G0 1 0 0", "pause 0", "spindle 1 2000",
          "spindle 0 2000", "coolant 0 0", "end"}},
        {"M7 and M8 together; M1 is optional", "M7 M8\nM1\nM30", {"coolant 1 1", "pause 1", "end"}},
        {"arcs: I/J, R (short and long), full circle with turns, helix",
         "G0 X10\nG3 X0 Y10 I-10 J0 F60\nG2 X10 Y0 R10\nG2 X0 Y10 R-10\nG2 X0 Y10 Z-3 I0 J-10 "
         "P2\nM30",
         {"G0 10 0 0", "G3 0 10 0 C0,0 A01 T0", "G2 10 0 0 C0,0 A01 T0", "G2 0 10 0 C0,0 A01 T0",
          "G2 0 10 -3 C0,0 A01 T1", "end"}},
        {"G18 and G19 arcs use K/I and J/K",
         "G18 G2 X10 Z10 I5 K5 F60\nG19 G3 Y10 Z0 J5 K-5\nM30",
         {"G2 10 0 10 C5,5 A20 T0", "G3 10 10 0 C5,5 A12 T0", "end"}},
        {"G90.1 absolute centres",
         "G0 X10\nG90.1 G3 X-10 I0 J0 F60\nM30",
         {"G0 10 0 0", "G3 -10 0 0 C0,0 A01 T0", "end"}},
        {"arc end within the tolerance",
         "G0 X10\nG3 X0 Y10.004 I-10 J0 F60\nM30",
         {"G0 10 0 0", "G3 0 10.004 0 C0,0 A01 T0", "end"}},
        {"G93 inverse time: the move lasts 1/F minutes",
         "G93 G1 X10 F6\nM30",
         {"G1 10 0 0 F60", "end"}},
        {"drilling G81 G99 at R, then G98 back to the level before the series began",
         "G0 Z10\nG99 G81 X5 Y5 Z-2 R1 F60\nG98 X6\nG80\nM30",
         {"G0 0 0 10", "G0 5 5 10", "G0 5 5 1", "G1 5 5 -2 F60", "G0 5 5 1", "G0 6 5 1",
          "G1 6 5 -2 F60", "G0 6 5 10", "end"}},
        {"peck drilling G83 comes back to R and down above the last depth; G99 by default",
         "G0 Z5\nG83 Z-2 R1 Q1.5 F60\nG80\nM30",
         {"G0 0 0 5", "G0 0 0 1", "G1 0 0 -0.5 F60", "G0 0 0 1", "G0 0 0 -0.246", "G1 0 0 -2 F60",
          "G0 0 0 1", "end"}},
        {"boring G85 feeds out to the clear level, G89 dwells first, G86 dwells, stops the spindle and rapids out",
         "S500 M3\nG0 Z5\nG98 G85 Z-2 R1 F60\nG89 X1 Z-2 R1 P0.5\nG86 X2 Z-2 R1 P0.25\nG80\nM30",
         {"spindle 1 500", "G0 0 0 5", "G0 0 0 1", "G1 0 0 -2 F60", "G1 0 0 5 F60", "G0 1 0 5",
          "G0 1 0 1", "G1 1 0 -2 F60", "dwell 0.5", "G1 1 0 5 F60", "G0 2 0 5", "G0 2 0 1",
          "G1 2 0 -2 F60", "dwell 0.25", "spindle 0 500", "G0 2 0 5", "spindle 1 500", "end"}},
        {"drilling in G18 goes along Y (R and the bottom in Y), in G19 along X; G91 R from the "
         "start level and the bottom from R",
         "G0 X1 Y8 Z2\nG18 G98 G81 Z3 X4 Y-2 R5 F60\nG19 G91 G99 G81 Y1 Z1 X-3 R-2\nM30",
         {"G0 1 8 2", "G0 4 8 3", "G0 4 5 3", "G1 4 -2 3 F60", "G0 4 8 3", "G0 4 9 4",
          "G0 2 9 4", "G1 -1 9 4 F60", "G0 2 9 4", "end"}},
        {"comments, N numbers, % delimiters, MSG",
         "%\nN10 (MSG, hello) G0 X1 ; rest\n%\nG0 X99",
         {"message hello", "G0 1 0 0"}},
        {"G61.1 G61 G64 set the blending of each move",
         "G61.1 G0 X1\nG61 X2\nG64 P0.05 X3\nG64 X4\nM30",
         {"G0 1 0 0", "G0 2 0 0", "G0 3 0 0", "G0 4 0 0", "end"}},
        {"G40 G49 G80 G17 G21 G94 G97 M48 header",
         "G17 G21 G40 G49 G80 G90 G94 G97 M48\nM30",
         {"end"}},
        {"G3 by R: the short arc turns about the centre left of the chord, the long one right",
         "G3 X10 Y0 R10 F60\nG3 X0 Y0 R-10\nM30",
         {"G3 10 0 0 C5,8.66025 A01 T0", "G3 0 0 0 C5,8.66025 A01 T0", "end"}},
        {"full circles by I/J: the end on the start, given or left out",
         "G2 X0 Y0 I5 J0 F60\nG3 I0 J-5\nM30",
         {"G2 0 0 0 C5,0 A01 T0", "G3 0 0 0 C0,-5 A01 T0", "end"}},
        {"lower case, a comment inside a line, signed and bare-point numbers; a move to "
         "where the tool stands is dropped",
         "g0 x1 (mid) y+2.5\ng1 z-.5 f60\nG0 X1 Y2.5\nM30",
         {"G0 1 2.5 0", "G1 1 2.5 -0.5 F60", "end"}},
        {"G92 in inches: the offset is scaled like the coordinates",
         "G20 G0 X1\nG92 X2\nG0 X0.5\nG92.1\nG0 X0.5\nM30",
         {"G0 25.4 0 0", "G0 -12.7 0 0", "G0 12.7 0 0", "end"}},
        {"G10 L2 and L20 in inches; the work offsets themselves are machine units",
         "G20 G55 G0 X1\nG10 L2 P2 X1 Y2\nG0 X1 Y0\nG10 L20 P2 X0\nG0 X1\nM30",
         {"G0 75.4 0 0", "G0 50.8 50.8 0", "G0 76.2 50.8 0", "end"}},
        {"G43.1 and G10 L1 in inches; table lengths are machine units",
         "G20 T3 M6 G43\nG0 Z0\nG43.1 Z0.5\nG0 Z0\nG10 L1 P3 Z1\nG43 H3\nG0 Z0\nM30",
         {"tool 3", "G0 0 0 12.5", "G0 0 0 12.7", "G0 0 0 25.4", "end"}},
        {"G30.1 stores the position G30 goes to; G28 keeps its own",
         "G0 X7 Y8\nG30.1\nG0 X0 Y0\nG30\nG28\nM30",
         {"G0 7 8 0", "G0 0 0 0", "G0 7 8 0", "G0 0 0 20", "end"}},
        {"G30 in inches: the intermediate point is scaled, the stored position is not",
         "G20 G30 Z1\nM30",
         {"G0 0 0 25.4", "G0 0 0 30", "end"}},
        {"drilling in inches: R, Z and F scaled; G98 back to the start level",
         "G20 G0 Z0.5\nG98 G81 X1 Y1 Z-0.1 R0.1 F6\nM30",
         {"G0 0 0 12.7", "G0 25.4 25.4 12.7", "G0 25.4 25.4 2.54", "G1 25.4 25.4 -2.54 F152.4",
          "G0 25.4 25.4 12.7", "end"}},
        {"a G98 cycle started below R goes up to R before moving across, and back to R, the "
         "higher of the two levels",
         "G0 Z-5\nG98 G81 X5 Y5 Z-8 R2 F60\nG80\nM30",
         {"G0 0 0 -5", "G0 0 0 2", "G0 5 5 2", "G1 5 5 -8 F60", "G0 5 5 2", "end"}},
        {"G99 below R in a work offset: R and Z are in the offset's coordinates",
         "G55 G0 Z-2\nG99 G81 X1 Y1 Z-2 R1 F60\nG80\nM30",
         {"G0 0 0 -12", "G0 0 0 -9", "G0 51 41 -9", "G1 51 41 -12 F60", "G0 51 41 -9", "end"}},
        {"G91: R from the start level, Z from R, X and Y again on every repeat; G98 back to "
         "the start",
         "G0 Z10\nG91 G98 G81 X5 Y5 Z-3 R-8 F60 L2\nG90 G80\nM30",
         {"G0 0 0 10", "G0 5 5 10", "G0 5 5 2", "G1 5 5 -1 F60", "G0 5 5 10", "G0 10 10 10",
          "G0 10 10 2", "G1 10 10 -1 F60", "G0 10 10 10", "end"}},
        {"G91 in inches started below R: up to R first, G98 ends at R",
         "G20 G0 Z-0.2\nG91 G98 G81 X0.5 Z-0.3 R0.3 F6\nG90 G80\nM30",
         {"G0 0 0 -5.08", "G0 0 0 2.54", "G0 12.7 0 2.54", "G1 12.7 0 -5.08 F152.4",
          "G0 12.7 0 2.54", "end"}},
        {"an arc about its own start is refused, not run as a point",
         "G2 I0 J0 F60\nM30",
         {"error 1: G2: arc radius is zero: the centre is the start point"}},
    };
    for (const Accepted& t : table) EXPECT_EQ(run(t.program), t.ops) << t.name;

    // A machine that counts inches: programs in either unit become inches,
    // offsets and the peck clearance (0.01 inch) included.
    GcodeSetup inch = mill();
    inch.mmPerUnit = 25.4;
    inch.blendTolerance = 0.01 / 25.4;
    inch.workOffsets[1] = {2, 1, -0.5, 0, 0, 0};
    const std::vector<Accepted> inchTable = {
        {"G21 on an inch machine: coordinates, G92 and the feed in inches",
         "G21 G0 X25.4\nG92 X0\nG1 X12.7 F254\nM30",
         {"G0 1 0 0", "G1 1.5 0 0 F10", "end"}},
        {"G55 and G10 L2 under G21 on an inch machine",
         "G21 G55 G0 X0 Y0\nG10 L2 P2 X25.4\nG0 X0\nM30",
         {"G0 2 1 0", "G0 1 1 0", "end"}},
        {"a G21 cycle on an inch machine",
         "G21 G0 Z12.7\nG81 X25.4 Z-2.54 R2.54 F254\nM30",
         {"G0 0 0 0.5", "G0 1 0 0.5", "G0 1 0 0.1", "G1 1 0 -0.1 F10", "G0 1 0 0.1", "end"}},
        {"G83 on an inch machine comes back down to 0.01 inch above the last depth",
         "G20 G0 Z0.5\nG83 Z-0.25 R0.25 Q0.25 F6\nM30",
         {"G0 0 0 0.5", "G0 0 0 0.25", "G1 0 0 0 F6", "G0 0 0 0.25", "G0 0 0 0.01",
          "G1 0 0 -0.25 F6", "G0 0 0 0.25", "end"}},
    };
    for (const Accepted& t : inchTable) EXPECT_EQ(run(t.program, inch), t.ops) << t.name;

    // The spin-up dwell follows M4 as it follows M3, and not M5.
    GcodeSetup spinUp = mill();
    spinUp.spinUpSeconds = 1.5;
    EXPECT_EQ(run("S1000 M3\nM4\nM5\nM30", spinUp),
              (std::vector<std::string>{"spindle 1 1000", "dwell 1.5", "spindle -1 1000",
                                        "dwell 1.5", "spindle 0 1000", "end"}));

    // M6 with a tool change position: rapids only, ending there (Z, X and Y;
    // the slaved A is not programmed), then the change.
    GcodeSetup changer = mill();
    changer.toolChange = Vec6{100, 50, 40, 0, 0, 0};
    Interpreted change = interpret("G0 X10 Y10 Z-1\nT3 M6\nG0 X0\nM30", changer, {});
    ASSERT_TRUE(change.ok()) << formatDiagnostics(change.errors, "change");
    auto at = std::find_if(change.ops.begin(), change.ops.end(),
                           [](const Op& op) { return op.kind == OpKind::ToolChange; });
    ASSERT_NE(at, change.ops.end());
    ASSERT_GE(at - change.ops.begin(), 2);
    EXPECT_EQ(at->tool, 3);
    for (auto op = change.ops.begin() + 1; op != at; ++op) EXPECT_EQ(op->kind, OpKind::Rapid);
    EXPECT_EQ((at - 1)->end, (Vec6{100, 50, 40, 0, 0, 0}));
    EXPECT_EQ((at + 1)->end, (Vec6{0, 50, 40, 0, 0, 0}));
    // With the quill-up option Z first goes to machine 0, straight up.
    changer.toolChangeQuillUp = true;
    EXPECT_EQ(run("G0 X10 Y10 Z-1\nT3 M6\nM30", changer),
              (std::vector<std::string>{"G0 10 10 -1", "G0 10 10 0", "G0 100 50 40", "tool 3",
                                        "end"}));

    // Blending tolerance per move: exact stop, exact path, P, the machine's default.
    Interpreted p = interpret("G61.1 G0 X1\nG61 X2\nG64 P0.05 X3\nG64 X4\nM30", mill(), {});
    ASSERT_TRUE(p.ok());
    EXPECT_LT(p.ops[0].tolerance, 0.0);
    EXPECT_EQ(p.ops[1].tolerance, 0.0);
    EXPECT_DOUBLE_EQ(p.ops[2].tolerance, 0.05);
    EXPECT_DOUBLE_EQ(p.ops[3].tolerance, 0.01);
}

TEST(InterpWords, ProgramFlowEndsWhereTheProgramSays) {
    // Nothing after M30 runs, and that is said.
    Interpreted p = interpret("G0 X1\nM30\n\n(part 2)\nG0 X5\nM30\n", mill(), {});
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(p.ops.size(), 2u);
    ASSERT_EQ(p.notes.size(), 1u);
    EXPECT_EQ(p.notes[0].line, 5);
    EXPECT_NE(p.notes[0].message.find("program ended on line 2"), std::string::npos);
    // Text after the closing % is ignored, with a note.
    p = interpret("%\nG0 X1\n%\nG0 X5 this is not even G-code\n", mill(), {});
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p.ops.size(), 1u);
    ASSERT_EQ(p.notes.size(), 1u);
    EXPECT_EQ(p.notes[0].word, "%");
    // Block delete: '/' lines run unless the option is on.
    GcodeSetup s = mill();
    EXPECT_EQ(run("/G0 X1\nG0 Y1\nM30", s).size(), 3u);
    s.blockDelete = true;
    EXPECT_EQ(run("/G0 X1\nG0 Y1\nM30", s), (std::vector<std::string>{"G0 0 1 0", "end"}));
    // A byte order mark and CRLF line ends are read as nothing.
    EXPECT_EQ(run("\xEF\xBB\xBF%\r\nG0 X1\r\n%\r\n"), (std::vector<std::string>{"G0 1 0 0"}));
    // A program number alone on the first line of code is only a name.
    EXPECT_EQ(run("(part)\nO1001 (FLANGE)\nG0 X1\nM30"),
              (std::vector<std::string>{"G0 1 0 0", "end"}));
    // An S above the spindle's top speed turns at the top speed, with a note.
    s = mill();
    s.maxRpm = 24000;
    p = interpret("S30000 M3\nM30", s, {});
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(p.ops.size(), 2u);
    EXPECT_EQ(p.ops[0].rpm, 24000.0);
    ASSERT_EQ(p.notes.size(), 1u);
    EXPECT_EQ(p.notes[0].word, "S30000");
    // Operations waiting behind a compensated move are bounded: the line
    // that overflows the wait is refused once, and nothing after it is read.
    s = mill();
    s.maxHeld = 100;
    std::string waits = "T3 M6\nG41 G1 X10 F60\n";
    for (int k = 0; k < 150; ++k) waits += k % 2 ? "Z0\n" : "Z-1\n";
    p = interpret(waits + "G1 X2 Y\nM30", s, {});
    ASSERT_EQ(p.errors.size(), 1u);
    EXPECT_EQ(p.errors[0].line, 102);
    EXPECT_NE(p.errors[0].message.find("more than 100 operations wait"), std::string::npos);
    // A program without M2, M30 or a closing % is refused, as LinuxCNC does,
    // at its last line; one that only holds comments is nothing to run.
    p = interpret("G0 X1\n(done)\n", mill(), {});
    ASSERT_EQ(p.errors.size(), 1u);
    EXPECT_EQ(p.errors[0].line, 2);
    EXPECT_NE(p.errors[0].message.find("without M2, M30"), std::string::npos);
    EXPECT_TRUE(interpret("%\nG0 X1\n%\n", mill(), {}).ok());
    EXPECT_TRUE(interpret("(nothing)\n", mill(), {}).ok());
}

TEST(InterpWords, EveryWrongLineIsRefusedWithItsWordAndReason) {
    const std::vector<Refused> table = {
        {"G1 X10", 1, "G1", "feed move with no feed rate"},
        {"G0 X1 #1", 1, "#", "parameters (#) are not supported"},
        {"G0 X[1+2]", 1, "X[", "expressions ([ ]) are not supported"},
        {"O100 sub", 1, "O", "O-word subroutines and loops"},
        {"O1001 G0 X1", 1, "O", "O-word subroutines and loops"},
        {"G0 X1\nO1001", 2, "O", "O-word subroutines and loops"},
        {"G0 X1 *55", 1, "*", "checksums"},
        {"G33 Z-1 K1", 1, "G33", "spindle-synchronised"},
        {"G76 Z-1", 1, "G76", "spindle-synchronised"},
        {"G95", 1, "G95", "feed per revolution"},
        {"G38.2 Z-5 F10", 1, "G38.2", "probing moves"},
        {"G87 Z-1 R1 F10", 1, "G87", "back boring (G87)"},
        {"G88 Z-1 R1 F10", 1, "G88", "manual boring (G88)"},
        {"G89 Z-1 R1 F10", 1, "G89", "needs P"},
        {"G86 Z-1 R1 P1 F10", 1, "G86", "start it first"},
        {"M3 S100\nG86 Z-1 R1 F10", 2, "G86", "needs P"},
        {"M3 S1\nG82 Z-1 R1 P1 F10\nG86 X1 Z-1 R1", 3, "G86", "needs P"},
        {"G81 Z-1 R1 F10\nG83 X1 R1 Q0.5", 2, "G83", "needs Z"},
        {"G81 Z-1 R1 F10\nG82 X1 Z-1 P1", 2, "G82", "needs R"},
        {"G81 Z-1 R1 F10 L3000000", 1, "L3000000", "from 1 to 10000"},
        {"G1 X1 F10\nG94\nG1 X2", 3, "G1", "no feed rate"},
        {"G1 X1 F10\nG93 G1 X2 F1\nG94 G1 X3", 3, "G1", "no feed rate"},
        {"G5.2", 1, "G5.2", "NURBS"},
        {"G12", 1, "G12", "is not supported"},
        {"G0 G1 X1 F10", 1, "G1", "same modal group"},
        {"G20 G21", 1, "G21", "same modal group"},
        {"G90 G91", 1, "G91", "same modal group"},
        {"M3 M5", 1, "M5", "same modal group"},
        {"M9 M8", 1, "M9", "cannot share a line"},
        {"G0 X1 X2", 1, "X2", "appears twice"},
        {"N1 N2 G0 X1", 1, "N2", "one N word"},
        {"G0 X1 G28 Y1", 1, "G0", "both use the axis words"},
        {"X1", 1, "G80", "no motion mode"},
        {"G80 X1", 1, "G80", "no motion mode"},
        {"G0 X1 I1", 1, "I1", "no G2 or G3"},
        {"G0 X1 R1", 1, "R1", "no arc or drilling cycle"},
        {"G0 X1 P1", 1, "P1", "no G4, G10, G64"},
        {"G0 X1 H1", 1, "H1", "no G43"},
        {"G4", 1, "G4", "dwell needs P"},
        {"G4 P-1", 1, "P-1", "cannot be negative"},
        {"G2 X10 F10", 1, "G2", "needs I or J"},
        {"G2 X10 I5 R5 F10", 1, "R5", "either R or the centre offsets"},
        {"G2 X10 R2 F10", 1, "R2", "too small"},
        {"G2 X0 Y0 R5 F10", 1, "R5", "end point other than its start"},
        {"G0 X10\nG3 X0 Y10.02 I-10 J0 F60", 2, "G3", "end point is not on the arc"},
        {"G0 X10\nG3 X0 Y10.6 I-10 J0 F60", 2, "G3", "end point is not on the arc"},
        {"G2 X10 Y10 J5 K5 F60", 1, "K5", "is not an offset of the G17 plane"},
        {"G18 G81 Z-1 R1 F10", 1, "G81", "needs Y"},
        {"G81 X1 Z-1 F10", 1, "G81", "needs R"},
        {"G83 X1 Z-1 R1 F10", 1, "G83", "needs Q above 0"},
        {"G81 X1 Z2 R1 F10", 1, "Z2", "above the retract plane"},
        {"G53 G0 G91 X1", 1, "G53", "incremental"},
        {"G53 G2 X1 I1 F10", 1, "G53", "needs a G0 or G1"},
        {"G93 G1 X1", 1, "G1", "needs its own F"},
        {"G10 L3 P1 Z2", 1, "L3", "only G10 L1 (tool table) and G10 L2 and L20"},
        {"G10 L2 P10 X1", 1, "P10", "P must be 0..9"},
        {"G10 L1 P4 Z2", 1, "P4", "not in the machine file's tool table"},
        {"G10 L1 P3 X2", 1, "X2", "tool length (Z) and radius (R) only"},
        {"G10 L1 P3 R-1", 1, "R-1", "cannot be negative"},
        {"G92", 1, "G92", "needs at least one axis"},
        {"T7", 1, "T7", "not in the machine file's tool table"},
        {"G43 H9", 1, "H9", "not in the machine file's tool table"},
        {"G0 B1", 1, "B1", "axis B is not configured"},
        {"G0 A1", 1, "A1", "follows axis Y"},
        {"G0 U1", 1, "U1", "axes U, V and W"},
        {"M62 P1", 1, "M62", "output and input codes"},
        {"M60", 1, "M60", "pallet"},
        {"M123", 1, "M123", "user M-codes"},
        {"M3.5", 1, "M3.5", "no decimal part"},
        {"G1.25 X1", 1, "G1.25", "not a valid code"},
        {"G0 X1.2.3", 1, "X1.2.3", "malformed number"},
        {"G0 X", 1, "X", "has no number"},
        {"G0 X1 (open", 1, "(", "not closed"},
        {"G0 X1 (a (b) c)", 1, "(", "nested"},
        {"G0 X1 !", 1, "!", "unexpected character"},
        {"G0 X1 %", 1, "%", "alone on its line"},
        {"F-5", 1, "F-5", "cannot be negative"},
        {"S-5", 1, "S-5", "cannot be negative"},
        {"G64 P-1", 1, "P-1", "cannot be negative"},
    };
    expectRefused(table);
    // A machine without a spindle or coolant mapping refuses their words.
    GcodeSetup bare = mill();
    bare.spindleConfigured = bare.coolantConfigured = false;
    EXPECT_EQ(run("S100 M3\nM8", bare),
              (std::vector<std::string>{"error 1: M3: this machine has no spindle mapping",
                                        "error 2: M8: this machine has no coolant outputs"}));
}

TEST(InterpWords, AllProblemsAreListedUpToTheLimit) {
    std::string program;
    for (int i = 0; i < 30; ++i) program += "G0 X1 #" + std::to_string(i) + "\n";
    program += "G1 X5\n";
    Interpreted p = interpret(program, mill(), {});
    EXPECT_EQ(p.errors.size(), 20u);
    EXPECT_TRUE(p.errorsTruncated);
    EXPECT_EQ(p.errors[19].line, 20);
    std::string text = formatDiagnostics(p.errors, "f.nc", true);
    EXPECT_EQ(
        text.substr(0, text.find('\n')),
        "f.nc:1: #: parameters (#) are not supported (post-process with numeric values only)");
    EXPECT_NE(text.find("f.nc: more problems follow"), std::string::npos);
    // A missing feed is reported once, not on every following line.
    p = interpret("G1 X1\nX2\nX3\nG0 B1\n", mill(), {});
    ASSERT_EQ(p.errors.size(), 2u);
    EXPECT_EQ(p.errors[1].line, 4);
}

TEST(InterpWords, TheTableNamesEveryRefusal) {
    // Every refused code carries the feature in its message, every code one group.
    for (const GWordInfo& g : gWordTable()) {
        EXPECT_GE(g.group, 0);
        EXPECT_LT(g.group, kGroupCount);
        EXPECT_EQ(findGWord(g.code), &g);
        if (g.refusal) {
            EXPECT_GT(std::string(g.refusal).size(), 15u) << g.code;
        }
    }
    EXPECT_EQ(findGWord(-1), nullptr);
    EXPECT_EQ(findGWord(1000000), nullptr);
}

// Cutter radius compensation: tool 3 has a 6 mm diameter (radius 3).
TEST(InterpCutterComp, ContoursRunBesideTheProgrammedPath) {
    const std::vector<Accepted> table = {
        {"G41 inside a counterclockwise square: the entry ends the radius from its end square "
         "to the programmed line, turns round the programmed point onto the first side; inside "
         "corners end at the crossings, the last side beside its own end, the exit goes back",
         "T3 M6\nG0 X-10 Y-10\nG41 D3 G1 X0 Y0 F600\nX20\nY20\nX0\nY0\nG40 G0 X-10 Y-10\nM30",
         {"tool 3", "G0 -10 -10 0", "G1 -2.12132 2.12132 0 F600", "G2 0 3 0 C0,0 A01 T0",
          "G1 17 3 0 F600", "G1 17 17 0 F600", "G1 3 17 0 F600", "G1 3 0 0 F600", "G0 -10 -10 0",
          "end"}},
        {"G42 outside it: outside corners go around the programmed corner at the radius",
         "T3 M6\nG0 X-10 Y-10\nG42 G1 X0 Y0 F600\nX20\nY20\nX0\nY0\nG40 G0 X-10 Y-10\nM30",
         {"tool 3", "G0 -10 -10 0", "G1 1.24264 -3 0 F600", "G1 20 -3 0 F600",
          "G3 23 0 0 C20,0 A01 T0", "G1 23 20 0 F600", "G3 20 23 0 C20,20 A01 T0",
          "G1 0 23 0 F600", "G3 -3 20 0 C0,20 A01 T0", "G1 -3 0 0 F600", "G0 -10 -10 0", "end"}},
        {"G41.1 D takes the diameter; in inches",
         "G20 G0 X-1 Y-1\nG41.1 D0.5 G1 X0 Y0 F10\nX1\nG40 G0 X2 Y-1\nM30",
         {"G0 -25.4 -25.4 0", "G1 -4.49013 4.49013 0 F254", "G2 0 6.35 0 C0,0 A01 T0",
          "G1 25.4 6.35 0 F254", "G0 50.8 -25.4 0", "end"}},
        {"D0 and G42.1 D0: radius 0 follows the programmed path",
         "G41 D0 G1 X10 F60\nY10\nG40\nG42.1 D0 X0\nG40 Y0\nM30",
         {"G1 10 0 0 F60", "G1 10 10 0 F60", "G1 0 10 0 F60", "G1 0 0 0 F60", "end"}},
        {"arcs: G41 on G2 grows the radius, on G3 shrinks it; tangent joins make no corner",
         "T3 M6\nG0 X-10 Y10\nG41 G1 X0 Y10 F600\nG2 X10 Y0 I0 J-10\nG3 X20 Y-10 I10 J0\nG1 "
         "X30\nG40 G0 X40\nM30",
         {"tool 3", "G0 -10 10 0", "G1 0 13 0 F600", "G2 13 0 0 C0,0 A01 T0",
          "G3 20 -7 0 C20,0 A01 T0", "G1 30 -7 0 F600", "G0 40 -10 0", "end"}},
        {"and G42 the other way round",
         "T3 M6\nG0 X-10 Y10\nG42 G1 X0 Y10 F600\nG2 X10 Y0 I0 J-10\nG3 X20 Y-10 I10 J0\nG1 "
         "X30\nG40 G0 X40\nM30",
         {"tool 3", "G0 -10 10 0", "G1 0 7 0 F600", "G2 7 0 0 C0,0 A01 T0",
          "G3 20 -13 0 C20,0 A01 T0", "G1 30 -13 0 F600", "G0 40 -10 0", "end"}},
        {"a full circle inside a bore keeps its turn",
         "T3 M6\nG0 X30 Y20\nG41 G1 X38 F600\nG3 X38 Y20 I-8 J0\nG40 G1 X30\nM30",
         {"tool 3", "G0 30 20 0", "G1 34 23 0 F600", "G3 35 20 0 C30,20 A01 T0",
          "G1 30 20 0 F600", "end"}},
        {"an inside corner between a line and an arc ends where their offsets cross",
         "T3 M6\nG41 G1 X10 F600\nX20\nG2 X30 Y10 I10 J0\nG40 G1 X40\nM30",
         {"tool 3", "G1 10 3 0 F600", "G1 17.3509 3 0 F600", "G2 30 13 0 C30,0 A01 T0",
          "G1 40 10 0 F600", "end"}},
        {"an inside corner after an arc: the crossing near the corner, not across the circle",
         "T3 M6\nG0 X-20\nG41 G1 X-10 F600\nG2 X0 Y10 I10 J0\nG1 X10 Y20\nG40 G1 X20\nM30",
         {"tool 3", "G0 -20 0 0", "G1 -12.6491 3 0 F600", "G2 -1.30868 12.934 0 C0,0 A01 T0",
          "G1 7.87868 22.1213 0 F600", "G1 20 20 0 F600", "end"}},
        {"two arcs meeting in a cusp: above it the crossing of their offsets",
         "G0 X-10\nG41 D2 G1 X0 F100\nG2 X20 I10\nG2 X40 I10\nG40 G1 X50\nM30",
         {"G0 -10 0 0", "G1 -2.64911 3 0 F100", "G2 20 8.30662 0 C10,0 A01 T0",
          "G2 43 0 0 C30,0 A01 T0", "G1 50 0 0 F100", "end"}},
        {"and below it around the cusp",
         "G0 X-10\nG42 D2 G1 X0 F100\nG2 X20 I10\nG2 X40 I10\nG40 G1 X50\nM30",
         {"G0 -10 0 0", "G1 0 -3 0 F100", "G3 3 0 0 C0,0 A01 T0", "G2 17 0 0 C10,0 A01 T0",
          "G3 23 0 0 C20,0 A01 T0", "G2 37 0 0 C30,0 A01 T0", "G1 50 0 0 F100", "end"}},
        {"Z moves, dwells and spindle changes wait behind the held move; the corner follows "
         "them",
         "T3 M6\nG0 X-10 Y-10\nG42 G1 X0 Y0 F600\nX20\nZ-1\nG4 P0.5\nS500 M3\nY20\nG40\nG0 "
         "X30 Y30\nM30",
         {"tool 3", "G0 -10 -10 0", "G1 1.24264 -3 0 F600", "G1 20 -3 0 F600",
          "G1 20 -3 -1 F600", "dwell 0.5", "spindle 1 500", "G3 23 0 -1 C20,0 A01 T0",
          "G1 23 20 -1 F600", "G0 30 30 -1", "end"}},
        {"rapids go around outside corners on straight rapids outside the radius",
         "T3 M6\nG0 X-10\nG42 X0 Y0\nX20\nY20\nG40 X30\nM30",
         {"tool 3", "G0 -10 0 0", "G0 0 -3 0", "G0 20 -3 0", "G0 23 -3 0", "G0 23 0 0",
          "G0 23 20 0", "G0 30 20 0", "end"}},
        {"M30 ends compensation: the held move ends beside its end",
         "T3 M6\nG41 G1 X10 F60\nY10\nM30",
         {"tool 3", "G1 7 3 0 F60", "G1 7 10 0 F60", "end"}},
        {"after G40 a move without X or Y keeps the tool beside the contour",
         "T3 M6\nG41 G1 X10 F60\nG40 G0 Z5\nG91 X5\nM30",
         {"tool 3", "G1 10 3 0 F60", "G0 10 3 5", "G0 15 3 5", "end"}},
        {"an arc entry (G42 inside a circle): the entry arc ends on the radius of its end, "
         "tangent to the compensated circle, about a centre equally far from both its ends",
         "T3 M6\nG0 X-10 Y90\nG42 G2 X0 Y100 I10 J0 F500\nG2 X0 Y100 I0 J-100\nG40 G0 X0 "
         "Y0\nM30",
         {"tool 3", "G0 -10 90 0", "G2 0 97 0 C0,86.3571 A01 T0", "G2 0 97 0 C0,0 A01 T0",
          "G0 0 0 0", "end"}},
        {"G10 L1 R sets the radius the next G41 takes",
         "G10 L1 P3 R1\nT3 M6\nG41 G1 X10 F60\nG40\nM30",
         {"tool 3", "G1 10 1 0 F60", "end"}},
    };
    for (const Accepted& t : table) EXPECT_EQ(run(t.program), t.ops) << t.name;
}

TEST(InterpCutterComp, WhatCannotBeCompensatedIsRefusedWithItsLine) {
    const std::vector<Refused> table = {
        {"G41 G0 X1", 1, "G41", "no tool is loaded"},
        {"G41 D7", 1, "D7", "tool 7 is not in the machine file's tool table"},
        {"G41 D2.5", 1, "D2.5", "must be a tool number"},
        {"G41.1 D-2", 1, "D-2", "cannot be negative"},
        {"G42.1 G0 X1", 1, "G42.1", "needs D"},
        {"D1", 1, "D1", "no G41, G42"},
        {"G18\nG41 D1", 2, "G41", "G17 (XY) plane only"},
        {"G41 D1\nG19", 2, "G19", "plane cannot change"},
        {"G41 D1\nG42 D1", 2, "G42", "already on"},
        {"G41 D1\nG1 X1 F10", 2, "G1", "longer than the tool radius"},
        {"G41 D1\nG2 X1 Y1 R1 F10", 2, "G2", "longer than the tool radius"},
        {"G41 D1\nG28", 2, "G28", "cannot run under cutter compensation"},
        {"G41 D1\nG53 G0 X1", 2, "G53", "cannot run under cutter compensation"},
        {"G41 D1\nG81 X1 Z-1 R1 F10", 2, "G81", "drilling cycles cannot run"},
        {"G41 D1\nG93", 2, "G93", "inverse-time"},
        {"G93\nG41 D1", 2, "G41", "G93"},
        {"G41 D1 G1 X10 F10\nG40\nG2 X20 I5", 3, "G2", "after G40 must be straight"},
        // Radius 3 in a 4 mm pocket: the second side would run backwards.
        {"G0 X-5 Y-5\nG41 D3 G1 X0 Y0 F60\nX4\nY4\nX0\nY0\nG40", 5, "G1",
         "too large for the inside corners of line 4"},
        // G41 on a counterclockwise arc of radius 2 (the tool inside it).
        {"G41 D3 G1 X10 F60\nG3 X6 Y0 I-2 J0", 2, "G3", "is not smaller than the arc's radius"},
        // An arc the offset line cannot meet: the tool does not fit the corner.
        {"G41 D3 G1 X10 F60\nG3 X20 Y0 I5 J0\nG1 X10 Y1\nG40", 3, "G1",
         "too large for the inside corner at the end of line 2"},
    };
    expectRefused(table);
    // The tool table must give the tool's diameter, and not a negative one.
    GcodeSetup s = mill();
    s.tools[5] = {1.0, std::nullopt};
    s.tools[6] = {1.0, -2.0};
    EXPECT_EQ(run("G41 D5\nG42 D6", s),
              (std::vector<std::string>{"error 1: D5: tool 5 has no diameter in the tool table",
                                        "error 2: D6: tool 6 has a negative diameter"}));
    // No tool change under compensation (as LinuxCNC), with or without a
    // tool-change position.
    EXPECT_EQ(run("G41 D3\nT2 M6", s),
              (std::vector<std::string>{"error 2: M6: tools cannot be changed under cutter "
                                        "compensation"}));
    s.toolChange = Vec6{0, 0, 50, 0, 0, 0};
    EXPECT_EQ(run("G41 D3\nT2 M6", s),
              (std::vector<std::string>{"error 2: M6: tools cannot be changed under cutter "
                                        "compensation"}));
    // An error settling the last move at M30 still ends the program there.
    Interpreted end =
        interpret("G0 X-5 Y-5\nG41 D3 G1 X0 Y0 F60\nX4\nY2\nM30\nG0 X1\n", mill(), {});
    ASSERT_EQ(end.errors.size(), 1u);
    EXPECT_EQ(end.errors[0].line, 5);
    EXPECT_EQ(end.errors[0].word, "M30");
    EXPECT_NE(end.errors[0].message.find("inside corners of line 4"), std::string::npos);
    ASSERT_EQ(end.notes.size(), 1u);
    EXPECT_EQ(end.notes[0].line, 6);
    // One error under compensation does not bring a cascade after it.
    Interpreted p =
        interpret("G41 D3 G1 X10 F60\nG3 X6 Y0 I-2 J0\nG2 X4 Y0 R1\nG40\nM30", mill(), {});
    ASSERT_EQ(p.errors.size(), 1u);
    EXPECT_EQ(p.errors[0].line, 2);
}

// Random outlines, counterclockwise, both sides: every point the
// compensated path passes between its entry and exit lies at the tool's
// radius from the outline. Convex ones (corners on a circle) always fit
// outside; star-shaped ones have corners of both kinds on both sides.
TEST(InterpCutterComp, CompensatedOutlinesKeepTheRadiusFromTheContour) {
    std::mt19937 random(12345);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int accepted[2][2] = {{0, 0}, {0, 0}};  // [star][side]
    for (int trial = 0; trial < 400; ++trial) {
        bool star = trial % 2;
        // Corners at least 40 degrees apart around the origin.
        std::vector<std::array<double, 2>> corner;
        double a = unit(random) * 2.0 * std::numbers::pi;
        double end = a + 2.0 * std::numbers::pi - 0.7;
        double r = 20.0 + 20.0 * unit(random);
        while (a < end) {
            if (star) r = 6.0 + 34.0 * unit(random);
            // As the program will give it: six decimals.
            char text[64];
            std::snprintf(text, sizeof text, "%.6f %.6f", r * std::cos(a), r * std::sin(a));
            char* rest = nullptr;
            double x = std::strtod(text, &rest);
            corner.push_back({x, std::strtod(rest, nullptr)});
            a += 0.7 + 0.8 * unit(random);
        }
        if (corner.size() < 3) continue;
        // The tool goes on and off halfway along a side (six decimals of
        // its middle: a corner that hardly turns), as a program should.
        {
            char text[64];
            std::snprintf(text, sizeof text, "%.6f %.6f", (corner.back()[0] + corner[0][0]) / 2.0,
                          (corner.back()[1] + corner[0][1]) / 2.0);
            char* rest = nullptr;
            double x = std::strtod(text, &rest);
            corner.insert(corner.begin(), {x, std::strtod(rest, nullptr)});
        }
        // Tool radius 1 to 15 (diameters to three decimals).
        double radius = std::round(2000.0 + 28000.0 * unit(random)) / 2000.0;
        char buf[128];
        for (int side = 0; side < 2; ++side) {
            // The lead-in comes square to the side from the tool's side of
            // it, a millimetre beyond the radius (G42 outside, G41 inside the
            // counterclockwise outline).
            const double ux = corner[1][0] - corner[0][0], uy = corner[1][1] - corner[0][1];
            const double len = std::hypot(ux, uy);
            const double nx = (side ? uy : -uy) / len, ny = (side ? -ux : ux) / len;
            const double sx = corner[0][0] + (radius + 1.0) * nx;
            const double sy = corner[0][1] + (radius + 1.0) * ny;
            std::snprintf(buf, sizeof buf, "G0 X%.6f Y%.6f\n%s D%.3f", sx, sy,
                          side ? "G42.1" : "G41.1", 2.0 * radius);
            std::string p = buf;
            for (size_t k = 0; k <= corner.size(); ++k) {
                const auto& c = corner[k % corner.size()];
                std::snprintf(buf, sizeof buf, " G1 X%.6f Y%.6f F600\n", c[0], c[1]);
                p += buf;
            }
            p += "G40 G0 X60 Y60\nM30\n";
            Interpreted out = interpret(p, mill(), {});
            if (!out.ok()) {
                // Refused only as too large: inside a star or a small outline,
                // or (LinuxCNC's entry ends the radius along the first side)
                // when the radius is more than the half side it enters on.
                EXPECT_NE(out.errors[0].message.find("too large"), std::string::npos) << p;
                continue;
            }
            ++accepted[star][side];
            auto distance = [&](double x, double y) {
                double best = 1e9;
                for (size_t k = 0; k < corner.size(); ++k) {
                    const auto& s = corner[k];
                    const auto& e = corner[(k + 1) % corner.size()];
                    double dx = e[0] - s[0], dy = e[1] - s[1];
                    double t = ((x - s[0]) * dx + (y - s[1]) * dy) / (dx * dx + dy * dy);
                    t = std::clamp(t, 0.0, 1.0);
                    best = std::min(best, std::hypot(x - s[0] - t * dx, y - s[1] - t * dy));
                }
                return best;
            };
            // ops: rapid, entry, [its turn round the first point], ..., exit rapid, end.
            // Turning round the first point (an outside corner), the entry ends
            // at the radius from it, square to its own path; otherwise it ends
            // where its path crosses the first side's offset.
            ASSERT_GE(out.ops.size(), 5u);
            const Vec6& entry = out.ops[1].end;
            size_t first = 2;
            if (out.ops[2].kind == OpKind::Arc && out.ops[2].center0 == corner[0][0] &&
                out.ops[2].center1 == corner[0][1]) {
                ++first;
                EXPECT_NEAR(std::hypot(entry[0] - corner[0][0], entry[1] - corner[0][1]), radius,
                            1e-9)
                    << p;
                EXPECT_NEAR((entry[0] - out.ops[0].end[0]) * (entry[0] - corner[0][0]) +
                                (entry[1] - out.ops[0].end[1]) * (entry[1] - corner[0][1]),
                            0.0, 1e-6)
                    << p;
            } else {
                EXPECT_NEAR(distance(entry[0], entry[1]), radius, 1e-9) << p;
            }
            Vec6 from = out.ops[first - 1].end;
            for (size_t k = first; k + 2 < out.ops.size(); ++k) {
                const Op& op = out.ops[k];
                EXPECT_NEAR(distance(op.end[0], op.end[1]), radius, 1e-9) << p << " op " << k;
                // Halfway along the piece: on a straight one inside corners
                // keep it at the radius; corner arcs stay on it too.
                double mx = (from[0] + op.end[0]) / 2.0, my = (from[1] + op.end[1]) / 2.0;
                if (op.kind == OpKind::Arc) {
                    double arcR = std::hypot(op.end[0] - op.center0, op.end[1] - op.center1);
                    double mr = std::hypot(mx - op.center0, my - op.center1);
                    mx = op.center0 + (mx - op.center0) * arcR / mr;
                    my = op.center1 + (my - op.center1) * arcR / mr;
                    // Convex outlines have arcs only outside; the tool goes
                    // around counterclockwise under G42, clockwise under G41.
                    EXPECT_TRUE(star || side == 1) << p;
                    EXPECT_EQ(op.ccw, side == 1) << p;
                }
                EXPECT_NEAR(distance(mx, my), radius, 1e-9) << p << " op " << k;
                from = op.end;
            }
        }
    }
    // Both sides of both kinds were exercised, not only refused.
    EXPECT_GT(accepted[0][1], 150);
    EXPECT_GT(accepted[0][0], 100);
    EXPECT_LT(accepted[0][0], 200);
    EXPECT_GT(accepted[1][0], 60);
    EXPECT_LT(accepted[1][0], 200);
    EXPECT_GT(accepted[1][1], 150);
}
