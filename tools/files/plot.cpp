// Plot layout: two panels, toolpath on top (equal scale on both axes),
// buffer level below.
#include "files/plot.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "core/common.h"

namespace telvo::tool {
namespace {

constexpr double kWidth = 960.0;
constexpr double kMargin = 60.0;
constexpr double kPathTop = 70.0;
constexpr double kPathHeight = 560.0;
constexpr double kBufferTop = kPathTop + kPathHeight + 70.0;
constexpr double kBufferHeight = 220.0;
constexpr double kHeight = kBufferTop + kBufferHeight + 60.0;
// Points closer than this (pixels) to the simplified line are dropped.
constexpr double kSimplifyPixels = 0.25;

const char* const kCommandedColour = "#1f77b4";
const char* const kRapidColour = "#ff7f0e";
const char* const kExecutedColour = "#d62728";
const char* const kBufferColour = "#2ca02c";
const char* const kGridColour = "#dddddd";

struct Bounds {
    double x0 = std::numeric_limits<double>::infinity(),
           x1 = -std::numeric_limits<double>::infinity();
    double y0 = std::numeric_limits<double>::infinity(),
           y1 = -std::numeric_limits<double>::infinity();
    void add(const Point& p) {
        x0 = std::min(x0, p.x);
        x1 = std::max(x1, p.x);
        y0 = std::min(y0, p.y);
        y1 = std::max(y1, p.y);
    }
    bool empty() const { return !(x1 >= x0); }
};

std::string tickLabel(double v) {
    std::string s = fmt::format("{:.3f}", v);
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s == "-0" ? "0" : s;
}

void toolpathPanel(SvgDocument& svg, const PlotData& d) {
    double left = kMargin, top = kPathTop, width = kWidth - 2 * kMargin, height = kPathHeight;
    svg.rect(left, top, width, height, "#ffffff", "#888888");
    svg.text(left, top - 10, fmt::format("Toolpath in XY ({})", d.units), 15);

    Bounds b;
    for (const Point& p : d.commanded) b.add(p);
    for (const Point& p : d.executed) b.add(p);
    if (d.probe) b.add(*d.probe);
    if (b.empty()) {
        svg.text(left + width / 2, top + height / 2, "no motion", 14, "middle");
        return;
    }
    // Equal scale on both axes, some room around the path.
    double spanX = std::max(b.x1 - b.x0, 1e-6), spanY = std::max(b.y1 - b.y0, 1e-6);
    double span = std::max(spanX, spanY);
    double pad = 0.06 * span;
    double scale = std::min((width - 60) / (spanX + 2 * pad), (height - 40) / (spanY + 2 * pad));
    double cx = (b.x0 + b.x1) / 2, cy = (b.y0 + b.y1) / 2;
    double px = left + 30 + (width - 60) / 2, py = top + 20 + (height - 40) / 2;
    auto map = [&](const Point& p) {
        return Point{px + (p.x - cx) * scale, py - (p.y - cy) * scale};
    };

    double vx0 = cx - (width - 60) / 2 / scale, vx1 = cx + (width - 60) / 2 / scale;
    double vy0 = cy - (height - 40) / 2 / scale, vy1 = cy + (height - 40) / 2 / scale;
    for (double t : niceTicks(vx0, vx1, 10)) {
        double x = map({t, 0}).x;
        svg.line(x, top, x, top + height, kGridColour);
        svg.text(x, top + height + 16, tickLabel(t), 11, "middle");
    }
    for (double t : niceTicks(vy0, vy1, 8)) {
        double y = map({0, t}).y;
        svg.line(left, y, left + width, y, kGridColour);
        svg.text(left - 6, y + 4, tickLabel(t), 11, "end");
    }

    auto mapped = [&](const std::vector<Point>& pts) {
        std::vector<Point> out;
        out.reserve(pts.size());
        for (const Point& p : pts) out.push_back(map(p));
        return simplifyPolyline(out, kSimplifyPixels);
    };
    // Cuts and rapids as separate runs of the commanded path.
    bool anyRapid = false;
    for (size_t i = 0; i < d.commanded.size();) {
        bool rapid = i < d.commandedRapid.size() && d.commandedRapid[i];
        size_t j = i + 1;
        while (j < d.commanded.size() &&
               (j < d.commandedRapid.size() && d.commandedRapid[j]) == rapid)
            ++j;
        // Each run starts where the previous one ended.
        std::vector<Point> run(d.commanded.begin() + static_cast<std::ptrdiff_t>(i > 0 ? i - 1 : 0),
                               d.commanded.begin() + static_cast<std::ptrdiff_t>(j));
        if (rapid)
            svg.polyline(mapped(run), kRapidColour, 1.5, "6 4", 0.9);
        else
            svg.polyline(mapped(run), kCommandedColour, 3.0, "", 0.45);
        anyRapid = anyRapid || rapid;
        i = j;
    }
    svg.polyline(mapped(d.executed), kExecutedColour, 1.2);
    if (!d.commanded.empty()) {
        Point s = map(d.commanded.front());
        svg.circle(s.x, s.y, 4, "#ffffff", kCommandedColour);
    }
    if (d.probe) {
        Point p = map(*d.probe);
        svg.circle(p.x, p.y, 5, "#ff7f0e", "#000000");
        svg.text(p.x + 8, p.y - 8, d.probeLabel, 11);
    }

    // Legend, in one row above the panel's right end.
    double ly = top - 14;
    double lx = left + width - (d.probe ? 590 : 440) - (anyRapid ? 110 : 0);
    svg.line(lx, ly - 4, lx + 24, ly - 4, kCommandedColour, 3.0);
    svg.text(lx + 30, ly, "commanded (1 ms targets)", 12);
    lx += 200;
    if (anyRapid) {
        svg.line(lx, ly - 4, lx + 24, ly - 4, kRapidColour, 1.5);
        svg.text(lx + 30, ly, "rapids", 12);
        lx += 110;
    }
    svg.line(lx, ly - 4, lx + 24, ly - 4, kExecutedColour, 1.2);
    svg.text(lx + 30, ly, "executed (status positions)", 12);
    if (d.probe) {
        lx += 220;
        svg.circle(lx + 12, ly - 4, 5, "#ff7f0e", "#000000");
        svg.text(lx + 24, ly, "probe trigger", 12);
    }
}

void bufferPanel(SvgDocument& svg, const PlotData& d) {
    double left = kMargin, top = kBufferTop, width = kWidth - 2 * kMargin, height = kBufferHeight;
    svg.rect(left, top, width, height, "#ffffff", "#888888");
    svg.text(left, top - 10, "Controller buffer level (segments) over time (s)", 15);
    double t1 = d.bufferLevel.empty() ? 1.0 : std::max(d.bufferLevel.back().x, 1e-3);
    double t0 = d.bufferLevel.empty() ? 0.0 : std::min(d.bufferLevel.front().x, t1 - 1e-3);
    double levelMax = std::max(d.bufferSize, 1.0);
    auto map = [&](const Point& p) {
        return Point{left + (p.x - t0) / (t1 - t0) * width, top + height - p.y / levelMax * height};
    };
    for (double t : niceTicks(t0, t1, 10)) {
        double x = map({t, 0}).x;
        svg.line(x, top, x, top + height, kGridColour);
        svg.text(x, top + height + 16, tickLabel(t), 11, "middle");
    }
    for (double v : niceTicks(0, levelMax, 5)) {
        double y = map({t0, v}).y;
        svg.line(left, y, left + width, y, kGridColour);
        svg.text(left - 6, y + 4, tickLabel(v), 11, "end");
    }
    double full = map({t0, d.bufferSize}).y;
    svg.line(left, full, left + width, full, "#999999", 1.0, "6 4");
    svg.text(left + width - 4, full - 4, fmt::format("buffer size {}", tickLabel(d.bufferSize)), 11,
             "end", "#666666");
    std::vector<Point> pts;
    pts.reserve(d.bufferLevel.size());
    for (const Point& p : d.bufferLevel) pts.push_back(map(p));
    svg.polyline(simplifyPolyline(pts, kSimplifyPixels), kBufferColour, 1.2);
}

}  // namespace

std::string renderPlot(const PlotData& data) {
    SvgDocument svg(kWidth, kHeight);
    svg.rect(0, 0, kWidth, kHeight, "#fafafa");
    svg.text(kMargin, 32, data.title, 20);
    toolpathPanel(svg, data);
    bufferPanel(svg, data);
    return svg.str();
}

void writeTextFile(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw ToolError("cannot create " + path);
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok) throw ToolError("could not write " + path);
}

}  // namespace telvo::tool
