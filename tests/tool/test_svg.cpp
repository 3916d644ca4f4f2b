// SVG writer and plot: escaping, numbers, simplification, ticks, layout.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <string>

#include "files/plot.h"
#include "files/svg.h"

using namespace telvo::tool;

namespace {

double distanceToSegment(const Point& p, const Point& a, const Point& b) {
    double dx = b.x - a.x, dy = b.y - a.y;
    double len2 = dx * dx + dy * dy;
    double t = len2 > 0 ? std::clamp(((p.x - a.x) * dx + (p.y - a.y) * dy) / len2, 0.0, 1.0) : 0.0;
    return std::hypot(p.x - (a.x + t * dx), p.y - (a.y + t * dy));
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

}  // namespace

TEST(Svg, TextAndNumbersAreWrittenSafely) {
    EXPECT_EQ(xmlEscape("a<b & \"c\" 'd'>"), "a&lt;b &amp; &quot;c&quot; &apos;d&apos;&gt;");
    EXPECT_EQ(svgNumber(12.5), "12.5");
    EXPECT_EQ(svgNumber(-3.0), "-3");
    EXPECT_EQ(svgNumber(0.004), "0");
    EXPECT_EQ(svgNumber(-0.004), "0");
    EXPECT_EQ(svgNumber(1.005), "1");  // 1.00499... in binary
    EXPECT_EQ(svgNumber(2.336), "2.34");
    EXPECT_EQ(svgNumber(NAN), "0");

    SvgDocument doc(100, 50);
    doc.text(1, 2, "x < y & z", 10, "middle");
    doc.polyline({{0, 0}, {1.25, 2}}, "#123456", 2, "4 2", 0.5);
    doc.polyline({}, "red");  // nothing for no points
    std::string s = doc.str();
    EXPECT_EQ(s.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" height=\"50\"", 0), 0u);
    EXPECT_NE(s.find(">x &lt; y &amp; z</text>"), std::string::npos) << s;
    EXPECT_NE(s.find("stroke=\"#123456\" stroke-width=\"2\" stroke-linejoin=\"round\" stroke-dasharray=\"4 2\" stroke-opacity=\"0.5\" points=\"0,0 1.25,2\""),
              std::string::npos)
        << s;
    EXPECT_EQ(count(s, "<polyline"), 1u);
    EXPECT_EQ(s.substr(s.size() - 7), "</svg>\n");
}

TEST(Svg, SimplifiedPolylinesStayWithinTheirTolerance) {
    // A quarter circle sampled finely, a straight run and a corner.
    std::vector<Point> pts;
    for (int i = 0; i <= 1000; ++i) {
        double a = i * 0.0015707963267948967;
        pts.push_back({100 * std::cos(a), 100 * std::sin(a)});
    }
    for (int i = 1; i <= 500; ++i) pts.push_back({-0.2 * i, 100});
    pts.push_back({-100, 0});
    const double tolerance = 0.25;
    std::vector<Point> out = simplifyPolyline(pts, tolerance);
    EXPECT_LT(out.size(), 60u);
    EXPECT_EQ(out.front(), pts.front());
    EXPECT_EQ(out.back(), pts.back());
    EXPECT_NE(std::find(out.begin(), out.end(), Point{-100, 100}), out.end()) << "corner dropped";
    // Every input point lies within the tolerance of the simplified line.
    for (const Point& p : pts) {
        double best = 1e300;
        for (size_t k = 1; k < out.size(); ++k) best = std::min(best, distanceToSegment(p, out[k - 1], out[k]));
        ASSERT_LE(best, tolerance + 1e-9);
    }
    EXPECT_EQ(simplifyPolyline({{1, 1}}, 1).size(), 1u);
    std::vector<Point> still(100, Point{3, 4});
    EXPECT_EQ(simplifyPolyline(still, 0.1).size(), 2u);
}

TEST(Svg, TicksAreRoundAndCoverTheRange) {
    EXPECT_EQ(niceTicks(0, 10, 5), (std::vector<double>{0, 2, 4, 6, 8, 10}));
    EXPECT_EQ(niceTicks(-7, 23, 3), (std::vector<double>{0, 10, 20}));
    std::vector<double> fine = niceTicks(0.1, 0.35, 5);
    ASSERT_EQ(fine.size(), 6u);
    for (size_t i = 0; i < fine.size(); ++i) EXPECT_NEAR(fine[i], 0.1 + 0.05 * static_cast<double>(i), 1e-12);
    // 100.4 over 10 ticks: steps of 20 (10 would give 11 ticks).
    EXPECT_EQ(niceTicks(-3.3, 97.1, 10), (std::vector<double>{0, 20, 40, 60, 80}));
    EXPECT_TRUE(niceTicks(5, 5, 4).empty());
    EXPECT_TRUE(niceTicks(0, INFINITY, 4).empty());
}

TEST(Svg, PlotDrawsBothPathsAndTheBufferInsideTheirPanels) {
    PlotData d;
    d.title = "run <part.nc>";
    for (int i = 0; i <= 100; ++i) d.commanded.push_back({i * 0.5, 10.0 + 0.1 * i});
    for (int i = 0; i <= 100; ++i) d.executed.push_back({i * 0.5, 10.0 + 0.1 * i + (i == 50 ? 3.0 : 0.0)});
    for (int i = 0; i <= 200; ++i) d.bufferLevel.push_back({i * 0.01, static_cast<double>(i % 2 ? 850 : 925)});
    d.probe = Point{25, 20};
    d.probeLabel = "Z -2.5";
    std::string s = renderPlot(d);
    EXPECT_NE(s.find("run &lt;part.nc&gt;"), std::string::npos);
    EXPECT_EQ(count(s, "<polyline"), 3u);
    EXPECT_NE(s.find("probe trigger"), std::string::npos);
    EXPECT_NE(s.find("buffer size 1000"), std::string::npos);

    // Every polyline point lies inside the drawing.
    std::regex pointsAttr("points=\"([^\"]*)\"");
    std::regex pair("(-?[0-9.]+),(-?[0-9.]+)");
    size_t polylines = 0;
    for (auto it = std::sregex_iterator(s.begin(), s.end(), pointsAttr); it != std::sregex_iterator(); ++it) {
        ++polylines;
        std::string pts = (*it)[1];
        size_t n = 0;
        for (auto p = std::sregex_iterator(pts.begin(), pts.end(), pair); p != std::sregex_iterator(); ++p, ++n) {
            double x = std::stod((*p)[1]), y = std::stod((*p)[2]);
            EXPECT_GE(x, 60);
            EXPECT_LE(x, 900);
            EXPECT_GE(y, 70);
            EXPECT_LE(y, 990);
        }
        EXPECT_GE(n, 2u);
    }
    EXPECT_EQ(polylines, 3u);
    // The executed path keeps its detour while the straight commanded line
    // shrinks to its two ends.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(s, m, pointsAttr));
    EXPECT_EQ(count(m[1], ","), 2u);

    // Rapids are drawn apart from the cuts, each run joined to the last.
    PlotData r;
    for (int i = 0; i <= 30; ++i) {
        r.commanded.push_back({static_cast<double>(i), i < 10 ? 0.0 : (i < 20 ? static_cast<double>(i - 10) : 10.0)});
        r.commandedRapid.push_back(i >= 10 && i < 20);
    }
    std::string rs = renderPlot(r);
    EXPECT_EQ(count(rs, "<polyline"), 3u);  // cut, rapid, cut
    EXPECT_EQ(count(rs, "<polyline fill=\"none\" stroke=\"#ff7f0e\""), 1u);
    EXPECT_NE(rs.find(">rapids<"), std::string::npos);
    // Without flags everything is a cut and there is no rapid legend.
    r.commandedRapid.clear();
    rs = renderPlot(r);
    EXPECT_EQ(count(rs, "<polyline"), 1u);
    EXPECT_EQ(rs.find(">rapids<"), std::string::npos);
    // A long path of many points thins out to what the drawing shows.
    std::vector<Point> zigzag;
    for (int i = 0; i < 200000; ++i) zigzag.push_back({i * 1e-3, (i % 2) * 1e-4});
    std::vector<Point> thin = simplifyPolyline(zigzag, 0.25);
    EXPECT_LT(thin.size(), 10u);
    EXPECT_EQ(thin.back(), zigzag.back());

    PlotData empty;
    std::string e = renderPlot(empty);
    EXPECT_NE(e.find("no motion"), std::string::npos);
    EXPECT_EQ(count(e, "<polyline"), 0u);
}
