// G-code subset reader; see gcode.h for the subset.
#include "gcode.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <optional>
#include <string>

namespace telvo::tool {
namespace {

constexpr double kMmPerInch = 25.4;
// Start and end radius of an I/J arc may differ by this much (in mm) or by
// this fraction of the radius, whichever is larger, before the arc is refused.
constexpr double kArcRadiusToleranceMm = 0.002;
constexpr double kArcRadiusToleranceRelative = 0.001;

const char* const kSubset = "G0 G1 G2 G3 G17 G20 G21 G90 G91 F N X Y Z A B C I J R";

struct Words {
    std::array<std::optional<double>, kAxisCount> axis;
    std::optional<double> i, j, r, f;
    std::optional<int> motion;    // 0..3
    std::optional<int> units;     // 20 or 21
    std::optional<int> distance;  // 90 or 91
    bool plane = false;
};

std::string formatNumber(double v) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    (void)ec;
    return std::string(buf, end);
}

// Removes comments; throws on an unclosed parenthesis.
std::string stripComments(std::string_view line, int lineNo) {
    std::string out;
    for (size_t k = 0; k < line.size(); ++k) {
        char c = line[k];
        if (c == ';') break;
        if (c == '(') {
            size_t close = line.find(')', k + 1);
            if (close == std::string_view::npos)
                throw LineError(lineNo, "comment '(' is not closed on its line");
            out.push_back(' ');
            k = close;
            continue;
        }
        if (c == ')') throw LineError(lineNo, "')' without '('");
        out.push_back(c);
    }
    return out;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

Words parseWords(const std::string& text, int lineNo) {
    Words w;
    size_t k = 0;
    auto skipSpace = [&] {
        while (k < text.size() && isSpace(text[k])) ++k;
    };
    bool sawN = false;
    while (true) {
        skipSpace();
        if (k >= text.size()) break;
        char raw = text[k];
        if (!std::isalpha(static_cast<unsigned char>(raw))) {
            throw LineError(lineNo, std::string("unexpected character '") + raw + "'");
        }
        char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(raw)));
        ++k;
        skipSpace();
        // A number: optional sign, digits, optional fraction.
        size_t begin = k;
        if (k < text.size() && (text[k] == '+' || text[k] == '-')) ++k;
        size_t digits = k;
        while (k < text.size() &&
               (std::isdigit(static_cast<unsigned char>(text[k])) || text[k] == '.'))
            ++k;
        if (k == digits) throw LineError(lineNo, std::string("word ") + letter + " has no number");
        std::string number(text, begin, k - begin);
        if (number[0] == '+') number.erase(0, 1);
        double value = 0.0;
        auto [ptr, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
        if (ec != std::errc() || ptr != number.data() + number.size() || !std::isfinite(value)) {
            throw LineError(
                lineNo, std::string("word ") + letter + " has a malformed number '" + number + "'");
        }
        std::string word = std::string(1, letter) + number;
        auto once = [&](std::optional<double>& slot) {
            if (slot) throw LineError(lineNo, std::string("word ") + letter + " appears twice");
            slot = value;
        };
        int axis = axisIndex(letter);
        if (axis >= 0) {
            once(w.axis[axis]);
            continue;
        }
        switch (letter) {
            case 'I':
                once(w.i);
                break;
            case 'J':
                once(w.j);
                break;
            case 'R':
                once(w.r);
                break;
            case 'F':
                once(w.f);
                break;
            case 'N':
                if (sawN) throw LineError(lineNo, "word N appears twice");
                if (value != std::floor(value) || value < 0)
                    throw LineError(lineNo, "line number " + word + " is not a whole number");
                sawN = true;
                break;
            case 'G': {
                if (value != std::floor(value))
                    throw LineError(lineNo,
                                    word + " is not supported (supported: " + kSubset + ")");
                int g = static_cast<int>(value);
                auto modal = [&](std::optional<int>& slot, const char* group) {
                    if (slot)
                        throw LineError(lineNo, std::string("two ") + group + " codes on one line");
                    slot = g;
                };
                if (g >= 0 && g <= 3)
                    modal(w.motion, "motion");
                else if (g == 17)
                    w.plane = true;
                else if (g == 20 || g == 21)
                    modal(w.units, "unit");
                else if (g == 90 || g == 91)
                    modal(w.distance, "distance mode");
                else if (g == 18 || g == 19)
                    throw LineError(lineNo,
                                    "G" + std::to_string(g) +
                                        " is not supported: arcs run in the XY plane (G17) only");
                else
                    throw LineError(lineNo, "G" + std::to_string(g) +
                                                " is not supported (supported: " + kSubset + ")");
                break;
            }
            default:
                throw LineError(lineNo, word + " is not supported (supported: " + kSubset + ")");
        }
    }
    return w;
}

double distance2(double x0, double y0, double x1, double y1) {
    return std::hypot(x1 - x0, y1 - y0);
}

}  // namespace

Program parseGcode(std::string_view text, const GcodeContext& context) {
    Program program;
    program.start = context.start;
    Vec6 position = context.start;
    int motion = -1;
    bool absolute = true;
    bool programMm = context.mmPerUnit == 1.0;
    double feed = 0.0;  // machine units per second

    int lineNo = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        std::string_view raw =
            text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        pos = nl == std::string_view::npos ? text.size() + 1 : nl + 1;
        ++lineNo;

        std::string line = stripComments(raw, lineNo);
        size_t first = line.find_first_not_of(" \t\r\v\f");
        if (first == std::string::npos) continue;
        size_t last = line.find_last_not_of(" \t\r\v\f");
        if (line.substr(first, last - first + 1) == "%") continue;

        Words w = parseWords(line, lineNo);
        if (w.units) programMm = *w.units == 21;
        if (w.distance) absolute = *w.distance == 90;
        double scale = (programMm ? 1.0 : kMmPerInch) / context.mmPerUnit;
        if (w.f) {
            if (*w.f <= 0.0) throw LineError(lineNo, "feed rate F must be above 0");
            feed = *w.f * scale / 60.0;
        }
        if (w.motion) motion = *w.motion;

        bool anyAxis = false;
        for (auto& a : w.axis) anyAxis = anyAxis || a.has_value();
        bool arcWords = w.i || w.j || w.r;
        if (!anyAxis && !arcWords) continue;
        if (motion < 0)
            throw LineError(lineNo, "coordinates without a motion mode (G0, G1, G2 or G3)");
        if (arcWords && motion < 2) {
            throw LineError(
                lineNo, std::string(w.r ? "R" : (w.i ? "I" : "J")) + " is only used with G2 or G3");
        }

        Move move;
        move.line = lineNo;
        move.end = position;
        for (int a = 0; a < kAxisCount; ++a) {
            if (!w.axis[a]) continue;
            if (!context.configured[a]) {
                throw LineError(lineNo, std::string("axis ") + kAxisLetters[a] +
                                            " is not configured on this machine");
            }
            if (context.slaveOf[a] != 0) {
                throw LineError(lineNo, std::string("axis ") + kAxisLetters[a] + " follows axis " +
                                            kAxisLetters[context.slaveOf[a] - 1] +
                                            " and cannot be programmed");
            }
            double v = *w.axis[a] * scale;
            move.end[a] = absolute ? v : position[a] + v;
        }
        if (motion >= 1 && feed <= 0.0) {
            throw LineError(lineNo, "G" + std::to_string(motion) +
                                        " needs a feed rate, and no F was given yet");
        }

        if (motion <= 1) {
            move.kind = motion == 0 ? MoveKind::Rapid : MoveKind::Linear;
            move.feed = motion == 0 ? 0.0 : feed;
            if (move.end == position) continue;  // nothing moves
        } else {
            if (!context.configured[0] || !context.configured[1]) {
                throw LineError(lineNo, "arcs need both X and Y configured on this machine");
            }
            move.kind = motion == 2 ? MoveKind::ArcCw : MoveKind::ArcCcw;
            move.feed = feed;
            double x0 = position[0], y0 = position[1], x1 = move.end[0], y1 = move.end[1];
            double tolerance = kArcRadiusToleranceMm / context.mmPerUnit;
            if (w.r) {
                if (w.i || w.j) throw LineError(lineNo, "an arc takes either I/J or R, not both");
                double r = *w.r * scale;
                double d = distance2(x0, y0, x1, y1);
                if (d == 0.0)
                    throw LineError(lineNo,
                                    "an R arc needs an end point other than its start in XY");
                double h2 = r * r - d * d / 4.0;
                if (h2 < 0.0) {
                    if (std::fabs(r) < d / 2.0 - tolerance) {
                        throw LineError(lineNo, "radius R" + formatNumber(*w.r) +
                                                    " is too small to reach the end point");
                    }
                    h2 = 0.0;
                }
                double h = std::sqrt(h2);
                // The centre lies left of the chord for a counterclockwise
                // short arc; a clockwise arc or a negative R (long arc) flips it.
                double mx = (x0 + x1) / 2.0, my = (y0 + y1) / 2.0;
                double nx = -(y1 - y0) / d, ny = (x1 - x0) / d;
                double side = (motion == 3 ? 1.0 : -1.0) * (r < 0.0 ? -1.0 : 1.0);
                move.centerX = mx + side * h * nx;
                move.centerY = my + side * h * ny;
            } else {
                move.centerX = x0 + w.i.value_or(0.0) * scale;
                move.centerY = y0 + w.j.value_or(0.0) * scale;
                double r0 = distance2(move.centerX, move.centerY, x0, y0);
                double r1 = distance2(move.centerX, move.centerY, x1, y1);
                if (r0 == 0.0)
                    throw LineError(lineNo,
                                    "arc radius is zero (I and J give the start point as centre)");
                double diff = std::fabs(r0 - r1);
                if (diff > tolerance && diff > kArcRadiusToleranceRelative * r0) {
                    throw LineError(lineNo, "arc end point is not on the circle: radius " +
                                                formatNumber(r0) + " at the start, " +
                                                formatNumber(r1) + " at the end");
                }
            }
        }
        program.moves.push_back(move);
        position = move.end;
    }
    return program;
}

}  // namespace telvo::tool
