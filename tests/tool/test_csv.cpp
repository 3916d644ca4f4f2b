// CSV targets: layout, slaves, and the per-millisecond velocity check.
#include <gtest/gtest.h>

#include <string>

#include "files/csv.h"

using namespace telvo::tool;

namespace {

MotionLimits limits() {
    MotionLimits l{};
    l[0] = {true, 800, 40000, 400000, 0};  // 40 steps per ms
    l[1] = {true, 800, 40000, 400000, 0};
    l[2] = {true, 1600, 16000, 160000, 0};  // 16 steps per ms
    l[3] = {true, 800, 40000, 400000, 2};   // A follows Y
    return l;
}

void expectLineError(const std::string& text, int line, const char* message, const Vec6& start = {}) {
    try {
        csvTrajectory(parseCsvTargets(text, limits()), start, limits());
        ADD_FAILURE() << "accepted:\n" << text;
    } catch (const LineError& e) {
        EXPECT_EQ(e.line(), line) << text;
        EXPECT_NE(e.message().find(message), std::string::npos) << text << " -> " << e.message();
    }
}

}  // namespace

TEST(Csv, RowsBecomeTargetsFromTheControllersPosition) {
    // Header in its own order, comments and blank lines, Z left out.
    const char* text = "# two axes\ny, x\n\n1,2\n# mid\n 2.5 , 3\n40,-37\n";
    CsvTargets csv = parseCsvTargets(text, limits());
    ASSERT_EQ(csv.rows.size(), 3u);
    EXPECT_EQ(csv.lines, (std::vector<int>{4, 6, 7}));
    EXPECT_EQ(csv.column[0], 1);
    EXPECT_EQ(csv.column[1], 0);
    EXPECT_EQ(csv.column[2], -1);

    Vec6 start{0, 0, 77, 500, 9, 9};
    Trajectory t = csvTrajectory(csv, start, limits());
    ASSERT_EQ(t.targets.size(), 3u);
    EXPECT_EQ(t.targets[0], (Vec6{2, 1, 77, 501, 9, 9}));
    EXPECT_EQ(t.targets[1], (Vec6{3, 2.5, 77, 502.5, 9, 9}));
    EXPECT_EQ(t.targets[2], (Vec6{-37, 40, 77, 540, 9, 9}));

    // Without a header the columns are X, Y, Z in order.
    CsvTargets plain = parseCsvTargets("1,2,3\n2,3,4\n", limits());
    EXPECT_EQ(plain.column[2], 2);
    EXPECT_EQ(plain.rows[1], (Vec6{2, 3, 4, 0, 0, 0}));
}

TEST(Csv, ProblemsAreRefusedWithTheirLine) {
    expectLineError("0\n40\n81\n", 3, "axis X moves 41 steps in 1 ms from the row before; its max_velocity allows 40");
    expectLineError("0,0,0\n0,0,17\n", 2, "axis Z moves 17 steps");
    expectLineError("x,y\n1,2\n3\n", 3, "expected 2 values, found 1");
    expectLineError("1,2\n1,abc\n", 2, "'abc' is not a number");
    expectLineError("1,\n", 1, "'' is not a number");
    expectLineError("x,w\n", 1, "column 'w' is not an axis letter");
    expectLineError("x,x\n", 1, "column 'x' appears twice");
    expectLineError("x,b\n", 1, "axis B is not configured");
    expectLineError("x,a\n", 1, "axis A follows axis Y");
    expectLineError("1,2,3,4,5,6,7\n", 1, "at most 6 columns");
    expectLineError("# nothing\n", 1, "no targets");
    expectLineError("1e12\n", 1, "outside the controller's step range");
    // The first row is checked against where the controller is.
    expectLineError("\n\n100\n", 3, "from the controller's position", Vec6{});
    EXPECT_NO_THROW(csvTrajectory(parseCsvTargets("100\n", limits()), Vec6{70, 0, 0, 0, 0, 0}, limits()));
}
