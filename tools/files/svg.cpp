// SVG writer.
#include "files/svg.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace telvo::tool {

std::string xmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out.push_back(c);
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

void SvgDocument::rect(double x, double y, double w, double h, std::string_view fill,
                       std::string_view stroke, double strokeWidth) {
    body_ += fmt::format(
        "<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"{}\" stroke=\"{}\" "
        "stroke-width=\"{}\"/>\n",
        svgNumber(x), svgNumber(y), svgNumber(w), svgNumber(h), xmlEscape(fill), xmlEscape(stroke),
        svgNumber(strokeWidth));
}

void SvgDocument::line(double x1, double y1, double x2, double y2, std::string_view stroke,
                       double width, std::string_view dash) {
    body_ += fmt::format(
        "<line x1=\"{}\" y1=\"{}\" x2=\"{}\" y2=\"{}\" stroke=\"{}\" stroke-width=\"{}\"{}/>\n",
        svgNumber(x1), svgNumber(y1), svgNumber(x2), svgNumber(y2), xmlEscape(stroke),
        svgNumber(width),
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
    body_ += fmt::format(
        "<polyline fill=\"none\" stroke=\"{}\" stroke-width=\"{}\" stroke-linejoin=\"round\"{}{} "
        "points=\"{}\"/>\n",
        xmlEscape(stroke), svgNumber(width),
        dash.empty() ? "" : fmt::format(" stroke-dasharray=\"{}\"", xmlEscape(dash)),
        opacity < 1.0 ? fmt::format(" stroke-opacity=\"{}\"", svgNumber(opacity)) : "", coords);
}

void SvgDocument::circle(double cx, double cy, double r, std::string_view fill,
                         std::string_view stroke) {
    body_ +=
        fmt::format("<circle cx=\"{}\" cy=\"{}\" r=\"{}\" fill=\"{}\" stroke=\"{}\"/>\n",
                    svgNumber(cx), svgNumber(cy), svgNumber(r), xmlEscape(fill), xmlEscape(stroke));
}

void SvgDocument::text(double x, double y, std::string_view content, double size,
                       std::string_view anchor, std::string_view fill) {
    body_ += fmt::format(
        "<text x=\"{}\" y=\"{}\" font-size=\"{}\" text-anchor=\"{}\" fill=\"{}\">{}</text>\n",
        svgNumber(x), svgNumber(y), svgNumber(size), xmlEscape(anchor), xmlEscape(fill),
        xmlEscape(content));
}

std::string SvgDocument::str() const {
    return fmt::format(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{0}\" height=\"{1}\" viewBox=\"0 0 {0} "
        "{1}\" "
        "font-family=\"sans-serif\">\n{2}</svg>\n",
        svgNumber(width_), svgNumber(height_), body_);
}

std::vector<Point> simplifyPolyline(const std::vector<Point>& points, double tolerance) {
    if (points.size() <= 2) return points;
    // One pass: from the last point kept, a run goes on while one direction
    // passes within half the tolerance of all its points (the cone of such
    // directions narrows with each point) and no point falls back behind the
    // farthest one. Every dropped point then lies within the tolerance of the
    // line drawn. Linear in the number of points, whatever the path.
    const double h = tolerance / 2.0;
    std::vector<Point> out;
    out.push_back(points.front());
    Point anchor = points.front();
    bool open = false;
    double base = 0.0, lo = 0.0, hi = 0.0, farthest = 0.0;
    size_t last = 0;
    for (size_t i = 1; i < points.size(); ++i) {
        double dx = points[i].x - anchor.x, dy = points[i].y - anchor.y;
        double d = std::hypot(dx, dy);
        if (d <= h) continue;  // near the anchor: on every line from it
        double angle = std::atan2(dy, dx);
        double half = std::asin(std::min(1.0, h / d));
        if (!open) {
            open = true;
            base = angle;
            lo = -half;
            hi = half;
            farthest = d;
            last = i;
            continue;
        }
        double rel = std::remainder(angle - base, 2.0 * std::numbers::pi);
        double nlo = std::max(lo, rel - half), nhi = std::min(hi, rel + half);
        if (nlo > nhi || d < farthest - h || std::fabs(rel) > std::numbers::pi / 2.0) {
            anchor = points[last];
            out.push_back(anchor);
            open = false;
            i = last;  // the point after the new anchor comes next
            continue;
        }
        lo = nlo;
        hi = nhi;
        farthest = std::max(farthest, d);
        last = i;
    }
    if (open && last + 1 != points.size()) out.push_back(points[last]);
    out.push_back(points.back());
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
