// A small SVG writer: just the elements the tool's plots need, with escaped
// text and compact numbers. Debian's SVG-capable drawing library (cairo) has
// no MinGW build there, and the tool builds for Windows too.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace telvo::tool {

struct Point {
    double x = 0.0;
    double y = 0.0;
    bool operator==(const Point&) const = default;
};

// Escapes the five XML special characters.
std::string xmlEscape(std::string_view text);
// A coordinate with at most two decimals and no trailing zeros ("12.5", "-3").
std::string svgNumber(double value);

class SvgDocument {
public:
    SvgDocument(double width, double height);

    void rect(double x, double y, double w, double h, std::string_view fill,
              std::string_view stroke = "none", double strokeWidth = 1.0);
    void line(double x1, double y1, double x2, double y2, std::string_view stroke,
              double width = 1.0, std::string_view dash = "");
    void polyline(const std::vector<Point>& points, std::string_view stroke, double width = 1.0,
                  std::string_view dash = "", double opacity = 1.0);
    void circle(double cx, double cy, double r, std::string_view fill,
                std::string_view stroke = "none");
    void text(double x, double y, std::string_view content, double size = 12.0,
              std::string_view anchor = "start", std::string_view fill = "#222");
    // The finished document.
    std::string str() const;

private:
    double width_, height_;
    std::string body_;
};

// Drops points that lie within `tolerance` of the line through their
// neighbours (Ramer-Douglas-Peucker); keeps the first and the last point.
std::vector<Point> simplifyPolyline(const std::vector<Point>& points, double tolerance);

// Round tick values (1, 2 or 5 times a power of ten) covering [lo, hi] with
// about `target` ticks.
std::vector<double> niceTicks(double lo, double hi, int target);

}  // namespace telvo::tool
