// G-code reader: the subset's semantics and the refusal of everything else.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "host/gcode.h"

using namespace telvo::tool;

namespace {

GcodeContext millContext(double mmPerUnit = 1.0) {
    GcodeContext c;
    c.mmPerUnit = mmPerUnit;
    c.configured = {true, true, true, true, false, false};
    c.slaveOf = {0, 0, 0, 2, 0, 0};  // A follows Y
    return c;
}

void expectEnd(const Move& m, double x, double y, double z) {
    EXPECT_NEAR(m.end[0], x, 1e-12) << "line " << m.line;
    EXPECT_NEAR(m.end[1], y, 1e-12) << "line " << m.line;
    EXPECT_NEAR(m.end[2], z, 1e-12) << "line " << m.line;
}

}  // namespace

TEST(Gcode, SubsetBecomesAbsoluteMovesInMachineUnits) {
    const char* program =
        "%\n"
        "( header comment )\n"
        "N10 G21 G90 G17 ; set up\n"
        "N20 G0 X10 Y5\n"
        "N30 g1 z-1 f600\n"           // lower case, F in mm/min
        "N40 X20 (modal G1) Y5\n"
        "N50 G91 X-5 Y+2.5\n"          // incremental
        "N60 G90 G20 X1 Y1\n"          // inches
        "N70 G21 G3 X35.4 Y35.4 I0 J10\n"
        "N80 G2 X45.4 Y35.4 R5\n"
        "N90 F1200\n"                   // modal change only
        "N100 G0 Z5\n"
        "%\n";
    GcodeContext c = millContext();
    c.start = {1.0, 2.0, 3.0, 0.0, 0.0, 0.0};
    Program p = parseGcode(program, c);
    EXPECT_EQ(p.start, c.start);
    ASSERT_EQ(p.moves.size(), 8u);

    EXPECT_EQ(p.moves[0].kind, MoveKind::Rapid);
    EXPECT_EQ(p.moves[0].line, 4);
    expectEnd(p.moves[0], 10, 5, 3);
    EXPECT_EQ(p.moves[0].feed, 0.0);

    EXPECT_EQ(p.moves[1].kind, MoveKind::Linear);
    expectEnd(p.moves[1], 10, 5, -1);
    EXPECT_DOUBLE_EQ(p.moves[1].feed, 10.0);  // 600 mm/min

    EXPECT_EQ(p.moves[2].kind, MoveKind::Linear);
    expectEnd(p.moves[2], 20, 5, -1);
    expectEnd(p.moves[3], 15, 7.5, -1);
    expectEnd(p.moves[4], 25.4, 25.4, -1);
    EXPECT_EQ(p.moves[4].line, 8);

    const Move& ccw = p.moves[5];
    EXPECT_EQ(ccw.kind, MoveKind::ArcCcw);
    expectEnd(ccw, 35.4, 35.4, -1);
    EXPECT_NEAR(ccw.centerX, 25.4, 1e-12);
    EXPECT_NEAR(ccw.centerY, 35.4, 1e-12);

    const Move& cw = p.moves[6];
    EXPECT_EQ(cw.kind, MoveKind::ArcCw);
    // A clockwise R arc of 5 over a chord of 10: the centre is the midpoint.
    EXPECT_NEAR(cw.centerX, 40.4, 1e-9);
    EXPECT_NEAR(cw.centerY, 35.4, 1e-6);

    EXPECT_EQ(p.moves[7].kind, MoveKind::Rapid);
    EXPECT_EQ(p.moves[7].line, 12);
    expectEnd(p.moves.back(), 45.4, 35.4, 5);
    EXPECT_EQ(p.end(), p.moves.back().end);
}

TEST(Gcode, RadiusArcCentreSidesAndFullCircles) {
    GcodeContext c = millContext();
    // From (0,0) to (10,0), |R| = 10: the centre is 8.66 off the chord.
    struct Case {
        const char* line;
        double cy;
    } cases[] = {
        {"G3 X10 Y0 R10 F100", 8.660254037844386},    // ccw short arc: centre left of the chord
        {"G2 X10 Y0 R10 F100", -8.660254037844386},   // cw short arc: right
        {"G3 X10 Y0 R-10 F100", -8.660254037844386},  // ccw long arc: right
        {"G2 X10 Y0 R-10 F100", 8.660254037844386},   // cw long arc: left
    };
    for (const Case& k : cases) {
        Program p = parseGcode(k.line, c);
        ASSERT_EQ(p.moves.size(), 1u) << k.line;
        EXPECT_NEAR(p.moves[0].centerX, 5.0, 1e-9) << k.line;
        EXPECT_NEAR(p.moves[0].centerY, k.cy, 1e-9) << k.line;
    }
    // I/J with the end on the start is a full circle and still a move.
    Program full = parseGcode("G2 I5 J0 F100", c);
    ASSERT_EQ(full.moves.size(), 1u);
    EXPECT_EQ(full.moves[0].end, c.start);
    EXPECT_DOUBLE_EQ(full.moves[0].centerX, 5.0);
    // A straight move to where the tool already is moves nothing.
    EXPECT_TRUE(parseGcode("G0 X0 Y0", c).moves.empty());
}

TEST(Gcode, InchMachineConvertsMillimetrePrograms) {
    GcodeContext c = millContext(25.4);
    Program p = parseGcode("G21 G1 X25.4 F254\nG20 X2 F10\n", c);
    ASSERT_EQ(p.moves.size(), 2u);
    EXPECT_NEAR(p.moves[0].end[0], 1.0, 1e-12);
    EXPECT_NEAR(p.moves[0].feed, 10.0 / 60.0, 1e-12);  // 254 mm/min = 10 in/min
    EXPECT_NEAR(p.moves[1].end[0], 2.0, 1e-12);
    EXPECT_NEAR(p.moves[1].feed, 10.0 / 60.0, 1e-12);
}

TEST(Gcode, AnythingOutsideTheSubsetIsRefusedWithItsLine) {
    struct Case {
        std::string program;
        int line;
        const char* message;
    } cases[] = {
        {"G0 X1\nG4 P1\n", 2, "G4 is not supported"},
        {"G0 X1\n\nM3 S1000\n", 3, "M3 is not supported"},
        {"G18\n", 1, "XY plane"},
        {"G1.5 X1\n", 1, "G1.5 is not supported"},
        {"G0 X1 X2\n", 1, "word X appears twice"},
        {"G0 G1 X1\n", 1, "two motion codes"},
        {"G20 G21\n", 1, "two unit codes"},
        {"G1 X5\n", 1, "needs a feed rate"},
        {"X5\n", 1, "without a motion mode"},
        {"G0 I5\n", 1, "only used with G2 or G3"},
        {"G0 X1 (open\n", 1, "not closed"},
        {"G0 X1 )\n", 1, "')' without '('"},
        {"G1 X F100\n", 1, "word X has no number"},
        {"G1 X1.2.3 F100\n", 1, "malformed number"},
        {"G0 X1 #1\n", 1, "unexpected character '#'"},
        {"G0 B1\n", 1, "axis B is not configured"},
        {"G0 A1\n", 1, "axis A follows axis Y"},
        {"G1 F0\n", 1, "F must be above 0"},
        {"G1 X1 F100\nG2 X11 Y0 I3 J0\n", 2, "not on the circle"},
        {"G2 X10 R2 F100\n", 1, "too small"},
        {"G2 X0 Y0 R5 F100\n", 1, "end point other than its start"},
        {"G2 I0 J0 F100\n", 1, "radius is zero"},
        {"G2 X1 I1 R1 F100\n", 1, "either I/J or R"},
        {"N1 N2 G0 X1\n", 1, "N appears twice"},
        {"N1.5 G0 X1\n", 1, "not a whole number"},
    };
    for (const Case& k : cases) {
        try {
            parseGcode(k.program, millContext());
            ADD_FAILURE() << "accepted: " << k.program;
        } catch (const LineError& e) {
            EXPECT_EQ(e.line(), k.line) << k.program;
            EXPECT_NE(e.message().find(k.message), std::string::npos) << k.program << " -> " << e.message();
            EXPECT_EQ(std::string(e.what()).rfind("line " + std::to_string(k.line) + ": ", 0), 0u) << e.what();
        }
    }
}

TEST(Gcode, ArcsNeedXAndY) {
    GcodeContext c = millContext();
    c.configured = {true, false, true, false, false, false};
    c.slaveOf = {};
    try {
        parseGcode("G2 X1 I1 F10", c);
        FAIL() << "arc accepted without Y";
    } catch (const LineError& e) {
        EXPECT_NE(e.message().find("need both X and Y"), std::string::npos) << e.message();
    }
}
