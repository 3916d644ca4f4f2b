// SVG writer.
#include "svg.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace telvo::tool {

std::string xmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

std::string svgNumber(double value) {
    if (!std::isfinite(value)) return "0";
    double rounded = std::round(value * 100.0) / 100.0;
    if (rounded == 0.0) return "0";  // also turns -0 into 0
    std::string s = fmt::format("{:.2f}", rounded);
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s;
}

SvgDocument::SvgDocument(double width, double height) : width_(width), height_(height) {}

void SvgDocument::rect(double x, double y, double w, double h, std::string_view fill, std::string_view stroke,
                       double strokeWidth) {
    body_ += fmt::format("<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"{}\" stroke=\"{}\" stroke-width=\"{}\"/>\n",
                         svgNumber(x), svgNumber(y), svgNumber(w), svgNumber(h), xmlEscape(fill), xmlEscape(stroke),
                         svgNumber(strokeWidth));
}

void SvgDocument::line(double x1, double y1, double x2, double y2, std::string_view stroke, double width,
                       std::string_view dash) {
    body_ += fmt::format("<line x1=\"{}\" y1=\"{}\" x2=\"{}\" y2=\"{}\" stroke=\"{}\" stroke-width=\"{}\"{}/>\n",
                         svgNumber(x1), svgNumber(y1), svgNumber(x2), svgNumber(y2), xmlEscape(stroke), svgNumber(width),
                         dash.empty() ? "" : fmt::format(" stroke-dasharray=\"{}\"", xmlEscape(dash)));
}

void SvgDocument::polyline(const std::vector<Point>& points, std::string_view stroke, double width,
                           std::string_view dash, double opacity) {
    if (points.empty()) return;
    std::string coords;
    coords.reserve(points.size() * 12);
    for (size_t i = 0; i < points.size(); ++i) {
        if (i) coords.push_back(' ');
        coords += svgNumber(points[i].x);
        coords.push_back(',');
        coords += svgNumber(points[i].y);
    }
    body_ += fmt::format("<polyline fill=\"none\" stroke=\"{}\" stroke-width=\"{}\" stroke-linejoin=\"round\"{}{} points=\"{}\"/>\n",
                         xmlEscape(stroke), svgNumber(width),
                         dash.empty() ? "" : fmt::format(" stroke-dasharray=\"{}\"", xmlEscape(dash)),
                         opacity < 1.0 ? fmt::format(" stroke-opacity=\"{}\"", svgNumber(opacity)) : "", coords);
}

void SvgDocument::circle(double cx, double cy, double r, std::string_view fill, std::string_view stroke) {
    body_ += fmt::format("<circle cx=\"{}\" cy=\"{}\" r=\"{}\" fill=\"{}\" stroke=\"{}\"/>\n", svgNumber(cx),
                         svgNumber(cy), svgNumber(r), xmlEscape(fill), xmlEscape(stroke));
}

void SvgDocument::text(double x, double y, std::string_view content, double size, std::string_view anchor,
                       std::string_view fill) {
    body_ += fmt::format("<text x=\"{}\" y=\"{}\" font-size=\"{}\" text-anchor=\"{}\" fill=\"{}\">{}</text>\n",
                         svgNumber(x), svgNumber(y), svgNumber(size), xmlEscape(anchor), xmlEscape(fill),
                         xmlEscape(content));
}

std::string SvgDocument::str() const {
    return fmt::format(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{0}\" height=\"{1}\" viewBox=\"0 0 {0} {1}\" "
        "font-family=\"sans-serif\">\n{2}</svg>\n",
        svgNumber(width_), svgNumber(height_), body_);
}

std::vector<Point> simplifyPolyline(const std::vector<Point>& input, double tolerance) {
    if (input.size() <= 2) return input;
    // First, in one pass, drop points closer than the tolerance to the last
    // one kept: a long run has far more points than the drawing has room
    // for, and the line search below is quadratic on long straight runs.
    std::vector<Point> points;
    points.reserve(std::min<size_t>(input.size(), 1 << 16));
    points.push_back(input.front());
    double t2 = tolerance * tolerance;
    for (size_t i = 1; i + 1 < input.size(); ++i) {
        double dx = input[i].x - points.back().x, dy = input[i].y - points.back().y;
        if (dx * dx + dy * dy >= t2) points.push_back(input[i]);
    }
    points.push_back(input.back());
    if (points.size() <= 2) return points;
    std::vector<char> keep(points.size(), 0);
    keep.front() = keep.back() = 1;
    // Iterative: a recursion per point would overflow on long straight runs.
    std::vector<std::pair<size_t, size_t>> stack = {{0, points.size() - 1}};
    while (!stack.empty()) {
        auto [first, last] = stack.back();
        stack.pop_back();
        if (last <= first + 1) continue;
        const Point& a = points[first];
        const Point& b = points[last];
        double dx = b.x - a.x, dy = b.y - a.y;
        double len = std::hypot(dx, dy);
        double worst = -1.0;
        size_t index = first;
        for (size_t i = first + 1; i < last; ++i) {
            const Point& p = points[i];
            double d = len > 0.0 ? std::fabs(dy * (p.x - a.x) - dx * (p.y - a.y)) / len : std::hypot(p.x - a.x, p.y - a.y);
            if (d > worst) {
                worst = d;
                index = i;
            }
        }
        if (worst > tolerance) {
            keep[index] = 1;
            stack.push_back({first, index});
            stack.push_back({index, last});
        }
    }
    std::vector<Point> out;
    for (size_t i = 0; i < points.size(); ++i) {
        if (keep[i]) out.push_back(points[i]);
    }
    return out;
}

std::vector<double> niceTicks(double lo, double hi, int target) {
    std::vector<double> ticks;
    if (!(hi > lo) || target < 1 || !std::isfinite(lo) || !std::isfinite(hi)) return ticks;
    double raw = (hi - lo) / target;
    double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    double step = magnitude;
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        step = m * magnitude;
        if (step >= raw) break;
    }
    // Integer multiples of the step: no drift from repeated additions.
    auto first = static_cast<long long>(std::ceil(lo / step - 1e-9));
    auto last = static_cast<long long>(std::floor(hi / step + 1e-9));
    for (long long k = first; k <= last; ++k) {
        double v = static_cast<double>(k) * step;
        ticks.push_back(std::fabs(v) < step * 1e-9 ? 0.0 : v);
    }
    return ticks;
}

}  // namespace telvo::tool
