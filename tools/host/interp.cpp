// RS274/NGC interpreter; see interp.h.
#include "interp.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "gcodewords.h"

namespace telvo::tool {
namespace {

constexpr double kMmPerInch = 25.4;
// Arc end points may miss the start radius by this much, as LinuxCNC allows:
// refused beyond 0.5 mm, or beyond 0.005 mm when that is also more than
// 0.1 % of the radius.
constexpr double kArcAbsoluteMm = 0.5;
constexpr double kArcSmallMm = 0.005;
constexpr double kArcRelative = 0.001;
// Peck drilling comes back down to this far above the last depth.
constexpr double kPeckClearanceMm = 0.254;
constexpr double kMaxPecks = 10000.0;

struct Failure {
    std::string word, message, hint;
};

[[noreturn]] void fail(std::string word, std::string message, std::string hint = {}) {
    throw Failure{std::move(word), std::move(message), std::move(hint)};
}

std::string number(double v) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    if (ec != std::errc()) return "?";
    return std::string(buf, end);
}

std::string gName(int code10) {
    return code10 % 10 ? "G" + std::to_string(code10 / 10) + "." + std::to_string(code10 % 10)
                       : "G" + std::to_string(code10 / 10);
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// ASCII only: a program's words are ASCII whatever the locale.
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// A number of digits and at most one point, optionally signed: whole digits
// up to 2^53 over a power of ten up to 10^22 are both exact, so one division
// rounds correctly and gives what from_chars gives. Anything else (long
// mantissas, malformed text) goes to from_chars.
bool parseNumber(std::string_view s, double& out) {
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    size_t k = 0;
    bool negative = false;
    if (k < s.size() && s[k] == '-') negative = true, ++k;
    uint64_t mantissa = 0;
    int digits = 0, fraction = 0;
    bool point = false;
    for (; k < s.size(); ++k) {
        char c = s[k];
        if (c == '.') {
            if (point) return false;
            point = true;
            continue;
        }
        if (!isDigit(c) || digits >= 19) return false;
        mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
        ++digits;
        fraction += point;
    }
    if (digits == 0 || mantissa > (uint64_t{1} << 53) || fraction > 22) return false;
    double v = static_cast<double>(mantissa) / kPow10[fraction];
    out = negative ? -v : v;
    return true;
}

// The words of one line.
struct Words {
    std::array<int, 16> g{};
    int gCount = 0;
    std::array<int, 8> m{};
    int mCount = 0;
    std::array<double, 26> value{};
    uint32_t present = 0;  // bit per letter A..Z (G and M not used)
    bool has(char c) const { return (present >> (c - 'A')) & 1u; }
    double operator[](char c) const { return value[static_cast<size_t>(c - 'A')]; }
    bool anyAxis() const {
        for (char c : {'X', 'Y', 'Z', 'A', 'B', 'C'}) {
            if (has(c)) return true;
        }
        return false;
    }
};

class Interpreter {
public:
    Interpreter(const GcodeSetup& setup, const Vec6& start, Interpreted& out)
        : s_(setup), out_(out), pos_(start) {
        out_.start = start;
    }

    // Returns false once the program has ended.
    void run(std::string_view text);

private:
    void line(std::string_view raw, int lineNo);
    void tokenize(std::string_view text, Words& w, int lineNo);
    void execute(Words& w, int lineNo);
    void checkGroups(const Words& w, std::array<int, kGroupCount>& byGroup) const;

    // Coordinates.
    double scale() const { return (mm_ ? 1.0 : kMmPerInch) / s_.mmPerUnit; }
    double offset(int a) const {
        return workOffsets_[static_cast<size_t>(cs_)][a] + g92_[a] + tlo_[a];
    }
    Vec6 target(const Words& w, bool machine) const;
    void requireAxes(const Words& w) const;

    // Emitting operations.
    Op& emit(OpKind kind, int lineNo) {
        if (out_.ops.size() >= s_.maxOps) {
            full_ = true;
            fail("",
                 "the program expands to more than " + std::to_string(s_.maxOps) +
                     " moves and actions, more than one run can hold",
                 "split it into several files");
        }
        Op& op = out_.ops.emplace_back();
        op.kind = kind;
        op.line = lineNo;
        return op;
    }
    void rapid(const Vec6& end, int lineNo);
    void linear(const Vec6& end, int lineNo, const Words& w);
    void arc(const Words& w, int lineNo, bool ccw);
    void cycle(const Words& w, int lineNo);
    double feedFor(double length, const Words& w, const char* what);
    double tolerance() const { return path_ == 2 ? -1.0 : (path_ == 1 ? 0.0 : tolerance_); }
    void spindleOp(int lineNo);
    void coolantOp(int lineNo);
    void dwell(double seconds, int lineNo);
    void toolData(const Words& w);

    const GcodeSetup& s_;
    Interpreted& out_;
    Vec6 pos_{};
    // Modal state.
    int motion_ = -1;  // G code x10, -1 none (as after G80)
    int plane_ = 170;
    bool absolute_ = true;
    bool arcAbsolute_ = false;
    bool inverseTime_ = false;
    bool mm_ = true;
    int cs_ = 0;
    int path_ = 0;  // 0 G64, 1 G61, 2 G61.1
    double tolerance_ = 0.0;
    bool retractToR_ = false;  // G99
    Vec6 g92_{}, tlo_{};
    std::optional<double> feed_;  // program units per minute (or 1/min under G93)
    double rpm_ = 0.0;
    int spindleDir_ = 0;
    bool mist_ = false, flood_ = false;
    int selectedTool_ = 0, loadedTool_ = 0;
    std::optional<double> cycleR_, cycleZ_, cycleP_, cycleQ_;
    Vec6 g28_{}, g30_{};
    std::array<Vec6, 9> workOffsets_{};  // G10 changes them for this run only
    std::map<int, ToolEntry> tools_;     // G10 L1 changes them for this run only
    // Program flow.
    bool ended_ = false;
    int endLine_ = 0;
    bool percentOpen_ = false;
    bool codeSeen_ = false;
    bool feedMissingReported_ = false;
    bool full_ = false;  // maxOps reached: nothing more is read
};

// The canned cycles this reader runs (G code x10).
bool isCycle(int motion) {
    switch (motion) {
        case 730:
        case 810:
        case 820:
        case 830:
        case 850:
        case 860:
        case 890:
            return true;
        default:
            return false;
    }
}

void Interpreter::run(std::string_view text) {
    g28_ = s_.g28;
    g30_ = s_.g30;
    workOffsets_ = s_.workOffsets;
    tools_ = s_.tools;
    tolerance_ = s_.blendTolerance;
    mm_ = s_.mmPerUnit == 1.0;
    int lineNo = 0;
    size_t at = 0;
    // Some CAM systems write a UTF-8 byte order mark first.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") at = 3;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        std::string_view raw =
            text.substr(at, nl == std::string_view::npos ? std::string_view::npos : nl - at);
        at = nl == std::string_view::npos ? text.size() : nl + 1;
        ++lineNo;
        // '%' alone: the first opens the program (when nothing came before),
        // the next one closes it and everything after is ignored.
        size_t first = raw.find_first_not_of(" \t\r");
        if (first != std::string_view::npos && raw[first] == '%') {
            size_t rest = raw.find_first_not_of(" \t\r", first + 1);
            if (rest == std::string_view::npos || raw[rest] == '(' || raw[rest] == ';') {
                if (!percentOpen_ && !codeSeen_) {
                    percentOpen_ = true;
                    continue;
                }
                if (!ended_) {
                    ended_ = true;
                    endLine_ = lineNo;
                }
                if (text.find_first_not_of(" \t\r\n", at) != std::string_view::npos) {
                    out_.notes.push_back(
                        {lineNo, "%", "text after the closing '%' is ignored", ""});
                }
                return;
            }
        }
        if (ended_) {
            // Only comments and blank lines may follow the end.
            Words w;
            bool content = false;
            try {
                tokenize(raw, w, lineNo);
                content = w.gCount || w.mCount || w.present;
            } catch (const Failure&) {
                content = true;
            }
            if (content) {
                out_.notes.push_back({lineNo, "",
                                      "program ended on line " + std::to_string(endLine_) +
                                          "; this line and everything after it are not run",
                                      ""});
                return;
            }
            continue;
        }
        try {
            line(raw, lineNo);
        } catch (const Failure& f) {
            if (static_cast<int>(out_.errors.size()) >= s_.maxErrors) {
                out_.errorsTruncated = true;
                return;
            }
            out_.errors.push_back({lineNo, f.word, f.message, f.hint});
            if (full_) return;
        }
    }
    if (!ended_ && out_.errors.empty()) {
        out_.notes.push_back(
            {lineNo, "", "the program has no M2 or M30; it ends at its last line", ""});
    }
}

void Interpreter::line(std::string_view raw, int lineNo) {
    size_t first = raw.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return;
    if (raw[first] == '/') {
        if (s_.blockDelete) return;
        raw.remove_prefix(first + 1);
    }
    Words w;
    tokenize(raw, w, lineNo);
    if (w.gCount || w.mCount || w.present) codeSeen_ = true;
    execute(w, lineNo);
}

void Interpreter::tokenize(std::string_view t, Words& w, int lineNo) {
    size_t k = 0;
    bool sawN = false;
    bool programNumber = false;
    while (k < t.size()) {
        char c = t[k];
        if (isBlank(c)) {
            ++k;
            continue;
        }
        if (c == ';') break;
        if (c == '(') {
            size_t close = t.find(')', k + 1);
            if (close == std::string_view::npos)
                fail("(", "comment is not closed on its line", "close it with ')'");
            std::string_view body = t.substr(k + 1, close - k - 1);
            if (body.find('(') != std::string_view::npos) fail("(", "comments cannot be nested");
            size_t b = body.find_first_not_of(" \t");
            if (b != std::string_view::npos && body.size() - b >= 4) {
                std::string head(body.substr(b, 4));
                for (char& h : head) h = upper(h);
                if (head == "MSG,") {
                    Op& op = emit(OpKind::Message, lineNo);
                    op.text = static_cast<int>(out_.texts.size());
                    std::string_view msg = body.substr(b + 4);
                    size_t lead = msg.find_first_not_of(" \t");
                    out_.texts.emplace_back(lead == std::string_view::npos ? std::string_view{}
                                                                           : msg.substr(lead));
                }
            }
            k = close + 1;
            continue;
        }
        if (c == ')') fail(")", "')' without '('");
        if (c == '#')
            fail("#", "parameters (#) are not supported", "post-process with numeric values only");
        if (c == '[')
            fail("[", "expressions ([ ]) are not supported",
                 "post-process with numeric values only");
        if (c == '*')
            fail("*", "checksums (*) are not supported", "post-process without line checksums");
        if (c == '%') fail("%", "'%' must stand alone on its line");
        if (!isLetter(c)) fail(std::string(1, c), "unexpected character");
        char letter = upper(c);
        ++k;
        while (k < t.size() && isBlank(t[k])) ++k;
        if (programNumber)
            fail("O", "O-word subroutines and loops are not supported",
                 "post-process without subroutines");
        if (letter == 'O') {
            // A program number (Fanuc-style "O1001" alone on a line before
            // any code) names the program and is otherwise ignored; any other
            // O-word is a subroutine or loop.
            size_t d = k;
            while (d < t.size() && isDigit(t[d])) ++d;
            if (d == k || codeSeen_ || sawN || w.gCount || w.mCount || w.present)
                fail("O", "O-word subroutines and loops are not supported",
                     "post-process without subroutines");
            programNumber = true;
            k = d;
            continue;
        }
        size_t begin = k;
        if (k < t.size() && (t[k] == '+' || t[k] == '-')) ++k;
        size_t digits = k;
        while (k < t.size() && (isDigit(t[k]) || t[k] == '.')) ++k;
        std::string_view num = t.substr(begin, k - begin);
        if (k == digits) {
            if (k < t.size() && (t[k] == '#' || t[k] == '[')) {
                fail(std::string(1, letter) + t[k],
                     t[k] == '#' ? "parameters (#) are not supported"
                                 : "expressions ([ ]) are not supported",
                     "post-process with numeric values only");
            }
            fail(std::string(1, letter), "word has no number");
        }
        std::string_view parse = num;
        if (parse[0] == '+') parse.remove_prefix(1);
        double v = 0.0;
        bool parsed = parseNumber(parse, v);
        if (!parsed) {
            auto [ptr, ec] = std::from_chars(parse.data(), parse.data() + parse.size(), v);
            parsed = ec == std::errc() && ptr == parse.data() + parse.size();
        }
        if (!parsed || !std::isfinite(v) || std::fabs(v) > 1e9) {
            fail(std::string(1, letter) + std::string(num), "malformed number");
        }
        auto wordText = [&] { return std::string(1, letter) + std::string(num); };
        if (letter == 'G' || letter == 'M') {
            double tenth = v * 10.0;
            auto code = static_cast<long long>(std::llround(tenth));
            if (std::fabs(tenth - static_cast<double>(code)) > 1e-6 || code < 0)
                fail(wordText(), "is not a valid code");
            if (letter == 'G') {
                if (w.gCount >= static_cast<int>(w.g.size()))
                    fail(wordText(), "too many G words on one line");
                w.g[static_cast<size_t>(w.gCount++)] = static_cast<int>(std::min(code, 100000LL));
            } else {
                if (code % 10) fail(wordText(), "M-codes have no decimal part");
                if (w.mCount >= static_cast<int>(w.m.size()))
                    fail(wordText(), "too many M words on one line");
                w.m[static_cast<size_t>(w.mCount++)] =
                    static_cast<int>(std::min(code / 10, 100000LL));
            }
            continue;
        }
        if (letter == 'N') {
            if (sawN) fail(wordText(), "a line has one N word");
            if (v < 0 || v != std::floor(v)) fail(wordText(), "line number is not a whole number");
            sawN = true;
            continue;
        }
        switch (letter) {
            case 'U':
            case 'V':
            case 'W':
                fail(wordText(), "axes U, V and W are not supported (axes are X Y Z A B C)");
            case 'D':
                fail(wordText(), "D words (cutter compensation) are not supported",
                     "G41/G42 are not built: compensate in the CAM system");
            case 'E':
                fail(wordText(), "E words are not supported");
            default:
                break;
        }
        if (w.has(letter)) fail(wordText(), "appears twice on one line");
        w.present |= 1u << (letter - 'A');
        w.value[static_cast<size_t>(letter - 'A')] = v;
    }
}

void Interpreter::checkGroups(const Words& w, std::array<int, kGroupCount>& byGroup) const {
    byGroup.fill(-1);
    for (int i = 0; i < w.gCount; ++i) {
        int code = w.g[static_cast<size_t>(i)];
        const GWordInfo* info = findGWord(code);
        if (!info) fail(gName(code), "is not supported");
        if (info->refusal) fail(gName(code), info->refusal, info->hint ? info->hint : "");
        int group = info->group;
        if (group == kGroupNonModal) {
            // Several non-modal codes may share a line unless they both use
            // axis words; G53 goes with any.
            if (code == 530) continue;
            if (byGroup[static_cast<size_t>(group)] >= 0) {
                fail(gName(code), gName(byGroup[static_cast<size_t>(group)]) + " and " +
                                      gName(code) +
                                      " are in the same group and cannot share a line");
            }
        } else if (byGroup[static_cast<size_t>(group)] >= 0) {
            fail(gName(code), gName(byGroup[static_cast<size_t>(group)]) + " and " + gName(code) +
                                  " are in the same modal group and cannot share a line");
        }
        byGroup[static_cast<size_t>(group)] = code;
    }
}

Vec6 Interpreter::target(const Words& w, bool machine) const {
    Vec6 out = pos_;
    double k = scale();
    for (int a = 0; a < kAxisCount; ++a) {
        char letter = kAxisLetters[a];
        if (!w.has(letter)) continue;
        double v = w[letter] * k;
        if (machine)
            out[a] = v;
        else
            out[a] = absolute_ ? v + offset(a) : pos_[a] + v;
    }
    return out;
}

void Interpreter::requireAxes(const Words& w) const {
    for (int a = 0; a < kAxisCount; ++a) {
        char letter = kAxisLetters[a];
        if (!w.has(letter)) continue;
        if (s_.configured[a] && !s_.slaveOf[a]) continue;
        std::string word = std::string(1, letter) + number(w[letter]);
        if (!s_.configured[a])
            fail(word, std::string("axis ") + letter + " is not configured on this machine");
        fail(word, std::string("axis ") + letter + " follows axis " +
                       kAxisLetters[s_.slaveOf[a] - 1] + " and cannot be programmed");
    }
}

double Interpreter::feedFor(double length, const Words& w, const char* what) {
    if (inverseTime_) {
        if (!w.has('F')) fail(what, "under G93 (inverse time) every feed move needs its own F");
        if (!(w['F'] > 0.0)) fail("F" + number(w['F']), "inverse-time feed must be above 0");
        return length * w['F'] / 60.0;
    }
    if (!feed_ || !(*feed_ > 0.0)) {
        if (feedMissingReported_) return 1.0;
        feedMissingReported_ = true;
        fail(what, "feed move with no feed rate",
             "give F, in units per minute, on this line or before it");
    }
    return *feed_ * scale() / 60.0;
}

void Interpreter::rapid(const Vec6& end, int lineNo) {
    if (end == pos_) return;
    Op& op = emit(OpKind::Rapid, lineNo);
    op.end = end;
    op.tolerance = tolerance();
    pos_ = end;
}

void Interpreter::linear(const Vec6& end, int lineNo, const Words& w) {
    double length2 = 0.0;
    for (int a = 0; a < kAxisCount; ++a) length2 += (end[a] - pos_[a]) * (end[a] - pos_[a]);
    double feed = feedFor(std::sqrt(length2), w, "G1");
    if (end == pos_) return;
    Op& op = emit(OpKind::Linear, lineNo);
    op.end = end;
    op.feed = feed;
    op.tolerance = tolerance();
    pos_ = end;
}

void Interpreter::arc(const Words& w, int lineNo, bool ccw) {
    const char* name = ccw ? "G3" : "G2";
    int a0 = 0, a1 = 1;
    char o0 = 'I', o1 = 'J';
    if (plane_ == 180) {
        a0 = 2, a1 = 0, o0 = 'K', o1 = 'I';
    } else if (plane_ == 190) {
        a0 = 1, a1 = 2, o0 = 'J', o1 = 'K';
    }
    if (!s_.configured[a0] || !s_.configured[a1]) {
        fail(name, std::string("arcs in this plane need axes ") + kAxisLetters[a0] + " and " +
                       kAxisLetters[a1] + " configured");
    }
    for (char c : {'I', 'J', 'K'}) {
        if (w.has(c) && c != o0 && c != o1) {
            fail(std::string(1, c) + number(w[c]), std::string("is not an offset of the ") +
                                                       gName(plane_) + " plane (use " + o0 +
                                                       " and " + o1 + ")");
        }
    }
    Vec6 end = target(w, false);
    double k = scale();
    double x0 = pos_[a0], y0 = pos_[a1], x1 = end[a0], y1 = end[a1];
    double cx = 0.0, cy = 0.0;
    double mm = 1.0 / s_.mmPerUnit;  // machine units per mm
    if (w.has('R')) {
        if (w.has(o0) || w.has(o1))
            fail("R" + number(w['R']), "an arc takes either R or the centre offsets, not both");
        double r = w['R'] * k;
        double d = std::hypot(x1 - x0, y1 - y0);
        if (d < 1e-9)
            fail("R" + number(w['R']), "a radius arc needs an end point other than its start",
                 "use I/J/K for a full circle");
        double h2 = r * r - d * d / 4.0;
        if (h2 < 0.0) {
            if (std::fabs(r) < d / 2.0 - kArcSmallMm * mm) {
                fail("R" + number(w['R']), "radius is too small to reach the end point (" +
                                               number(d / 2.0 / k) + " needed)");
            }
            h2 = 0.0;
        }
        double h = std::sqrt(h2);
        double mx = (x0 + x1) / 2.0, my = (y0 + y1) / 2.0;
        double nx = -(y1 - y0) / d, ny = (x1 - x0) / d;
        double side = (ccw ? 1.0 : -1.0) * (r < 0.0 ? -1.0 : 1.0);
        cx = mx + side * h * nx;
        cy = my + side * h * ny;
    } else {
        if (!w.has(o0) && !w.has(o1)) {
            fail(name, std::string("arc needs ") + o0 + " or " + o1 + " (centre offsets) or R",
                 "in this plane the offsets are " + std::string(1, o0) + " and " + o1);
        }
        double i = w.has(o0) ? w[o0] * k : 0.0, j = w.has(o1) ? w[o1] * k : 0.0;
        if (arcAbsolute_) {
            cx = w.has(o0) ? i + offset(a0) : x0;
            cy = w.has(o1) ? j + offset(a1) : y0;
        } else {
            cx = x0 + i;
            cy = y0 + j;
        }
        double r0 = std::hypot(x0 - cx, y0 - cy), r1 = std::hypot(x1 - cx, y1 - cy);
        if (r0 < 1e-9) fail(name, "arc radius is zero: the centre is the start point");
        double diff = std::fabs(r0 - r1);
        if (diff > kArcAbsoluteMm * mm || (diff > kArcSmallMm * mm && diff > kArcRelative * r0)) {
            fail(name,
                 "end point is not on the arc: radius " + number(r0 / k) + " at the start, " +
                     number(r1 / k) + " at the end",
                 arcAbsolute_ ? "G90.1 is active: offsets are absolute centre coordinates"
                              : "offsets are relative to the start point under G91.1");
        }
    }
    int turns = 1;
    if (w.has('P')) {
        double p = w['P'];
        if (p < 1 || p != std::floor(p) || p > 1000)
            fail("P" + number(p), "arc turns must be a whole number from 1");
        turns = static_cast<int>(p);
    }
    // Path length for inverse time: planar sweep and the linear rest.
    double t0 = std::atan2(y0 - cy, x0 - cx), t1 = std::atan2(y1 - cy, x1 - cx);
    double sweep = ccw ? t1 - t0 : t0 - t1;
    while (sweep <= 1e-12) sweep += 2.0 * std::numbers::pi;
    while (sweep > 2.0 * std::numbers::pi + 1e-12) sweep -= 2.0 * std::numbers::pi;
    sweep += 2.0 * std::numbers::pi * (turns - 1);
    double planar = sweep * std::hypot(x0 - cx, y0 - cy);
    double rest2 = 0.0;
    for (int a = 0; a < kAxisCount; ++a) {
        if (a != a0 && a != a1) rest2 += (end[a] - pos_[a]) * (end[a] - pos_[a]);
    }
    double feed = feedFor(std::sqrt(planar * planar + rest2), w, name);
    Op& op = emit(OpKind::Arc, lineNo);
    op.end = end;
    op.feed = feed;
    op.tolerance = tolerance();
    op.axis0 = a0;
    op.axis1 = a1;
    op.center0 = cx;
    op.center1 = cy;
    op.ccw = ccw;
    op.extraTurns = turns - 1;
    pos_ = end;
}

void Interpreter::dwell(double seconds, int lineNo) {
    Op& op = emit(OpKind::Dwell, lineNo);
    op.seconds = seconds;
}

void Interpreter::spindleOp(int lineNo) {
    Op& op = emit(OpKind::Spindle, lineNo);
    op.rpm = rpm_;
    op.direction = spindleDir_;
    if (spindleDir_ != 0 && s_.spinUpSeconds > 0.0) dwell(s_.spinUpSeconds, lineNo);
}

// G10 L1 P<tool> [Z<length>] [R<radius>]: changes a tool table entry for
// this run. A length in use takes effect at the next G43.
void Interpreter::toolData(const Words& w) {
    if (!w.has('P')) fail("G10", "G10 L1 needs P (the tool number)");
    double p = w['P'];
    if (p < 1 || p != std::floor(p) || p > 1e6)
        fail("P" + number(p), "the tool number must be a whole number from 1");
    int tool = static_cast<int>(p);
    if (!tools_.empty() && !tools_.count(tool)) {
        fail("P" + number(p),
             "tool " + std::to_string(tool) + " is not in the machine file's tool table",
             "add it as [[tool]] number = " + std::to_string(tool));
    }
    for (int a = 0; a < kAxisCount; ++a) {
        char letter = kAxisLetters[a];
        if (a != 2 && w.has(letter))
            fail(std::string(1, letter) + number(w[letter]),
                 "G10 L1 sets the tool length (Z) and radius (R) only");
    }
    ToolEntry& entry = tools_[tool];
    if (w.has('Z')) entry.length = w['Z'] * scale();
    if (w.has('R')) {
        if (w['R'] < 0.0) fail("R" + number(w['R']), "the tool radius cannot be negative");
        entry.diameter = 2.0 * w['R'] * scale();
    }
}

void Interpreter::coolantOp(int lineNo) {
    Op& op = emit(OpKind::Coolant, lineNo);
    op.mist = mist_;
    op.flood = flood_;
}

void Interpreter::cycle(const Words& w, int lineNo) {
    std::string name = gName(motion_);
    if (plane_ != 170) fail(name, "drilling cycles run in the G17 plane only");
    if (!s_.configured[2]) fail(name, "drilling cycles need a Z axis");
    if (w.has('R')) cycleR_ = w['R'];
    if (w.has('Z')) cycleZ_ = w['Z'];
    if (w.has('P')) cycleP_ = w['P'];
    if (w.has('Q')) cycleQ_ = w['Q'];
    if (!cycleR_) fail(name, "drilling cycle needs R (the retract plane)");
    if (!cycleZ_) fail(name, "drilling cycle needs Z (the hole bottom)");
    if ((motion_ == 830 || motion_ == 730) && (!cycleQ_ || !(*cycleQ_ > 0.0)))
        fail(name, "peck drilling needs Q above 0 (the peck depth)");
    if ((motion_ == 820 || motion_ == 890) && (!cycleP_ || *cycleP_ < 0.0))
        fail(name, name + " needs P (the dwell at the bottom, seconds)");
    if (motion_ == 860 && spindleDir_ == 0)
        fail(name, "G86 stops and restarts the spindle: start it first (M3 or M4)");
    int repeats = 1;
    if (w.has('L')) {
        double l = w['L'];
        if (l < 1 || l != std::floor(l) || l > 10000)
            fail("L" + number(l), "repeat count must be a whole number from 1");
        repeats = static_cast<int>(l);
    }
    double k = scale();
    double oldZ = pos_[2];
    double rLevel = absolute_ ? *cycleR_ * k + offset(2) : pos_[2] + *cycleR_ * k;
    double bottom = absolute_ ? *cycleZ_ * k + offset(2) : rLevel + *cycleZ_ * k;
    if (bottom > rLevel)
        fail("Z" + number(*cycleZ_), "the hole bottom is above the retract plane R");
    double clearZ = retractToR_ ? rLevel : std::max(oldZ, rLevel);
    double feed = feedFor(rLevel - bottom, w, name.c_str());
    double clearance = kPeckClearanceMm / s_.mmPerUnit;
    auto moveZ = [&](double z, bool fast) {
        Vec6 p = pos_;
        p[2] = z;
        if (fast) {
            rapid(p, lineNo);
        } else if (p != pos_) {
            Op& op = emit(OpKind::Linear, lineNo);
            op.end = p;
            op.feed = feed;
            op.tolerance = tolerance();
            pos_ = p;
        }
    };
    for (int n = 0; n < repeats; ++n) {
        if (pos_[2] < rLevel) moveZ(rLevel, true);
        Vec6 hole = pos_;
        for (int a : {0, 1}) {
            char letter = kAxisLetters[a];
            if (!w.has(letter)) continue;
            double v = w[letter] * k;
            hole[a] = absolute_ ? v + offset(a) : pos_[a] + v;
        }
        rapid(hole, lineNo);
        moveZ(rLevel, true);
        if (motion_ == 810 || motion_ == 820) {
            moveZ(bottom, false);
            if (motion_ == 820 && *cycleP_ > 0.0) dwell(*cycleP_, lineNo);
        } else if (motion_ == 850 || motion_ == 890) {
            // Boring: feed in, (G89: dwell,) feed back out to R.
            moveZ(bottom, false);
            if (motion_ == 890 && *cycleP_ > 0.0) dwell(*cycleP_, lineNo);
            moveZ(rLevel, false);
        } else if (motion_ == 860) {
            // Boring: feed in, stop the spindle, rapid out, start it again
            // the way it turned (with its spin-up dwell).
            moveZ(bottom, false);
            int direction = spindleDir_;
            spindleDir_ = 0;
            spindleOp(lineNo);
            moveZ(clearZ, true);
            spindleDir_ = direction;
            spindleOp(lineNo);
        } else {
            double q = *cycleQ_ * k;
            if ((rLevel - bottom) / q > kMaxPecks ||
                (rLevel - bottom) / q * repeats > 100 * kMaxPecks) {
                fail("Q" + number(*cycleQ_), "peck depth is too small: more than " +
                                                 std::to_string(static_cast<int>(kMaxPecks)) +
                                                 " pecks per hole");
            }
            double depth = rLevel;
            while (depth > bottom) {
                double next = std::max(depth - q, bottom);
                moveZ(next, false);
                depth = next;
                if (depth <= bottom) break;
                if (motion_ == 830) {
                    moveZ(rLevel, true);
                    moveZ(std::min(rLevel, depth + clearance), true);
                } else {
                    moveZ(std::min(rLevel, depth + clearance), true);
                }
            }
        }
        moveZ(clearZ, true);
    }
}

void Interpreter::execute(Words& w, int lineNo) {
    std::array<int, kGroupCount> g{};
    checkGroups(w, g);
    auto group = [&](int i) { return g[static_cast<size_t>(i)]; };
    // M words: groups of stopping, tool change, spindle, coolant.
    int mStop = -1, mTool = -1, mSpindle = -1;
    bool m7 = false, m8 = false, m9 = false;
    for (int i = 0; i < w.mCount; ++i) {
        int m = w.m[static_cast<size_t>(i)];
        std::string word = "M" + std::to_string(m);
        auto single = [&](int& slot) {
            if (slot >= 0)
                fail(word, "M" + std::to_string(slot) + " and " + word +
                               " are in the same modal group and cannot share a line");
            slot = m;
        };
        switch (m) {
            case 0:
            case 1:
            case 2:
            case 30:
                single(mStop);
                break;
            case 6:
                single(mTool);
                break;
            case 3:
            case 4:
            case 5:
                single(mSpindle);
                break;
            case 7:
                m7 = true;
                break;
            case 8:
                m8 = true;
                break;
            case 9:
                m9 = true;
                break;
            case 48:
            case 49:
                break;  // overrides: nothing to switch in a streamed run
            case 60:
                fail(word, "pallet change (M60) is not supported");
            default:
                if (m >= 62 && m <= 68)
                    fail(word, "M62-M68 output and input codes are not supported",
                         "coolant outputs are M7, M8 and M9");
                if (m >= 100 && m <= 199) fail(word, "user M-codes (M100-M199) are not supported");
                fail(word, "is not supported");
        }
    }
    if (m9 && (m7 || m8)) fail("M9", "M9 cannot share a line with M7 or M8");

    // Which code takes this line's axis words.
    int nonModal = group(kGroupNonModal);
    bool g53 = false;
    for (int i = 0; i < w.gCount; ++i) g53 = g53 || w.g[static_cast<size_t>(i)] == 530;
    bool axisUser0 = nonModal == 100 || nonModal == 280 || nonModal == 300 || nonModal == 920 ||
                     group(kGroupLength) == 431;
    if (axisUser0 && group(kGroupMotion) >= 0 && group(kGroupMotion) != 800 && w.anyAxis()) {
        fail(gName(group(kGroupMotion)), gName(group(kGroupMotion)) + " and " +
                                             gName(nonModal >= 0 ? nonModal : 431) +
                                             " both use the axis words and cannot share a line");
    }
    if (w.anyAxis()) requireAxes(w);

    // Words that only some codes use.
    int motionNow = group(kGroupMotion) >= 0 ? group(kGroupMotion) : motion_;
    bool motionHere =
        !axisUser0 && motionNow >= 0 && motionNow != 800 &&
        (w.anyAxis() || (group(kGroupMotion) >= 0 && (motionNow == 20 || motionNow == 30)));
    bool arcHere = motionHere && (motionNow == 20 || motionNow == 30);
    bool cycleMode = isCycle(motionNow);
    bool cycleHere = motionHere && cycleMode;
    for (char c : {'I', 'J', 'K'}) {
        if (w.has(c) && !arcHere)
            fail(std::string(1, c) + number(w[c]), "arc offset with no G2 or G3 move to use it");
    }
    if (w.has('R') && !arcHere && !cycleMode && nonModal != 100)
        fail("R" + number(w['R']), "R with no arc or drilling cycle to use it");
    if (w.has('Q') && !cycleMode && group(kGroupPath) != 640)
        fail("Q" + number(w['Q']), "Q with no peck drilling cycle to use it");
    if (w.has('P') &&
        !(nonModal == 40 || nonModal == 100 || arcHere || cycleMode || group(kGroupPath) == 640)) {
        fail("P" + number(w['P']), "P with no G4, G10, G64, arc or drilling cycle to use it");
    }
    if (w.has('H') && group(kGroupLength) != 430)
        fail("H" + number(w['H']), "H with no G43 to use it");
    if (w.has('L') && !(nonModal == 100 || cycleMode))
        fail("L" + number(w['L']), "L with no G10 or drilling cycle to use it");
    if (w.anyAxis() && !axisUser0 && (motionNow < 0 || motionNow == 800)) {
        fail(gName(motionNow < 0 ? 800 : motionNow), "coordinates with no motion mode active",
             "give G0 or G1 first");
    }
    if (g53 && (!motionHere || (motionNow != 0 && motionNow != 10)))
        fail("G53", "G53 needs a G0 or G1 move on its line");
    bool absoluteHere = group(kGroupDistance) >= 0 ? group(kGroupDistance) == 900 : absolute_;
    if (g53 && !absoluteHere) fail("G53", "G53 cannot be used in incremental mode (G91)");

    // The standard order of execution.
    if (group(kGroupFeedMode) >= 0) inverseTime_ = group(kGroupFeedMode) == 930;
    if (w.has('F')) {
        if (w['F'] < 0.0) fail("F" + number(w['F']), "feed rate cannot be negative");
        if (!inverseTime_) feed_ = w['F'];
    }
    bool spindleChanged = false;
    if (w.has('S')) {
        if (w['S'] < 0.0) fail("S" + number(w['S']), "spindle speed cannot be negative");
        spindleChanged = w['S'] != rpm_;
        rpm_ = w['S'];
        if (s_.maxRpm > 0.0 && rpm_ > s_.maxRpm) {
            rpm_ = s_.maxRpm;
            out_.notes.push_back({lineNo, "S" + number(w['S']),
                                  "S" + number(w['S']) +
                                      " is above the spindle's top speed: it turns at " +
                                      number(rpm_) + " rpm",
                                  ""});
        }
    }
    if (w.has('T')) {
        double t = w['T'];
        if (t < 0 || t != std::floor(t) || t > 1e6)
            fail("T" + number(t), "tool number must be a whole number from 0");
        int tool = static_cast<int>(t);
        if (tool != 0 && !tools_.empty() && !tools_.count(tool)) {
            fail("T" + number(t),
                 "tool " + std::to_string(tool) + " is not in the machine file's tool table",
                 "add it as [[tool]] number = " + std::to_string(tool));
        }
        selectedTool_ = tool;
    }
    if (mTool == 6) {
        if (s_.toolChange) {
            Vec6 up = pos_;
            up[2] = (*s_.toolChange)[2];
            if (s_.configured[2]) rapid(up, lineNo);
            Vec6 there = pos_;
            for (int a = 0; a < kAxisCount; ++a) {
                if (s_.configured[a] && !s_.slaveOf[a]) there[a] = (*s_.toolChange)[a];
            }
            rapid(there, lineNo);
        }
        Op& op = emit(OpKind::ToolChange, lineNo);
        op.tool = selectedTool_;
        loadedTool_ = selectedTool_;
    }
    if (mSpindle >= 0) {
        if (!s_.spindleConfigured)
            fail("M" + std::to_string(mSpindle), "this machine has no spindle mapping",
                 "add a [spindle] table to the machine file");
        spindleDir_ = mSpindle == 3 ? 1 : (mSpindle == 4 ? -1 : 0);
        spindleOp(lineNo);
    } else if (spindleChanged && spindleDir_ != 0) {
        spindleOp(lineNo);
    }
    if (m7 || m8 || m9) {
        if (!s_.coolantConfigured)
            fail(m9 ? "M9" : (m7 ? "M7" : "M8"), "this machine has no coolant outputs",
                 "add a [coolant] table to the machine file");
        if (m9) mist_ = flood_ = false;
        if (m7) mist_ = true;
        if (m8) flood_ = true;
        coolantOp(lineNo);
    }
    if (nonModal == 40) {
        if (!w.has('P')) fail("G4", "dwell needs P (seconds)");
        if (w['P'] < 0.0) fail("P" + number(w['P']), "dwell time cannot be negative");
        dwell(w['P'], lineNo);
    }
    if (group(kGroupPlane) >= 0) plane_ = group(kGroupPlane);
    if (group(kGroupUnits) >= 0) mm_ = group(kGroupUnits) == 210;
    if (group(kGroupLength) == 430) {
        int h = loadedTool_;
        if (w.has('H')) {
            double hv = w['H'];
            if (hv < 0 || hv != std::floor(hv) || hv > 1e6)
                fail("H" + number(hv), "H must be a tool number");
            h = static_cast<int>(hv);
        }
        tlo_ = Vec6{};
        if (h != 0) {
            auto it = tools_.find(h);
            if (it == tools_.end())
                fail("H" + std::to_string(h),
                     "tool " + std::to_string(h) + " is not in the machine file's tool table",
                     "add it as [[tool]] number = " + std::to_string(h));
            tlo_[2] = it->second.length;
        }
    } else if (group(kGroupLength) == 431) {
        tlo_ = Vec6{};
        for (int a = 0; a < kAxisCount; ++a) {
            if (w.has(kAxisLetters[a])) tlo_[a] = w[kAxisLetters[a]] * scale();
        }
    } else if (group(kGroupLength) == 490) {
        tlo_ = Vec6{};
    }
    if (group(kGroupCoords) >= 0) {
        int code = group(kGroupCoords);  // 540..590 step 10, then 591..593
        cs_ = code > 590 ? 6 + (code - 591) : (code - 540) / 10;
    }
    if (group(kGroupPath) >= 0) {
        int p = group(kGroupPath);
        path_ = p == 610 ? 1 : (p == 611 ? 2 : 0);
        if (p == 640) {
            tolerance_ = s_.blendTolerance;
            if (w.has('P')) {
                if (w['P'] < 0.0)
                    fail("P" + number(w['P']), "blending tolerance cannot be negative");
                tolerance_ = w['P'] * scale();
            }
        }
    }
    if (group(kGroupDistance) >= 0) absolute_ = group(kGroupDistance) == 900;
    if (group(kGroupArcDistance) >= 0) arcAbsolute_ = group(kGroupArcDistance) == 901;
    if (group(kGroupRetract) >= 0) retractToR_ = group(kGroupRetract) == 990;

    // Reference points, coordinate data and axis offsets.
    switch (nonModal) {
        case 100: {
            if (!w.has('L')) fail("G10", "G10 needs L1, L2 or L20");
            double l = w['L'];
            if (l != 1 && l != 2 && l != 20)
                fail("L" + number(l),
                     "only G10 L1 (tool table) and G10 L2 and L20 (work offsets) are supported");
            if (l == 1) {
                toolData(w);
                break;
            }
            if (!w.has('P'))
                fail("G10", "G10 needs P (0 for the current system, 1..9 for G54..G59.3)");
            double p = w['P'];
            if (p < 0 || p > 9 || p != std::floor(p)) fail("P" + number(p), "P must be 0..9");
            if (w.has('R'))
                fail("R" + number(w['R']), "coordinate system rotation is not supported");
            int sys = p == 0 ? cs_ : static_cast<int>(p) - 1;
            Vec6 offsets = workOffsets_[static_cast<size_t>(sys)];
            for (int a = 0; a < kAxisCount; ++a) {
                char letter = kAxisLetters[a];
                if (!w.has(letter)) continue;
                double v = w[letter] * scale();
                offsets[a] = l == 2 ? v : pos_[a] - v - g92_[a] - tlo_[a];
            }
            workOffsets_[static_cast<size_t>(sys)] = offsets;
            break;
        }
        case 280:
        case 300: {
            const Vec6& stored = nonModal == 280 ? g28_ : g30_;
            if (w.anyAxis()) {
                rapid(target(w, false), lineNo);
                Vec6 p = pos_;
                for (int a = 0; a < kAxisCount; ++a) {
                    if (w.has(kAxisLetters[a])) p[a] = stored[a];
                }
                rapid(p, lineNo);
            } else {
                Vec6 p = pos_;
                for (int a = 0; a < kAxisCount; ++a) {
                    if (s_.configured[a] && !s_.slaveOf[a]) p[a] = stored[a];
                }
                rapid(p, lineNo);
            }
            break;
        }
        case 281:
            g28_ = pos_;
            break;
        case 301:
            g30_ = pos_;
            break;
        case 920: {
            if (!w.anyAxis()) fail("G92", "G92 needs at least one axis word");
            for (int a = 0; a < kAxisCount; ++a) {
                char letter = kAxisLetters[a];
                if (w.has(letter))
                    g92_[a] = pos_[a] - w[letter] * scale() -
                              workOffsets_[static_cast<size_t>(cs_)][a] - tlo_[a];
            }
            break;
        }
        case 921:
            g92_ = Vec6{};
            break;
        default:
            break;
    }

    // Motion.
    if (group(kGroupMotion) >= 0) motion_ = group(kGroupMotion);
    if (group(kGroupMotion) >= 0 && !cycleMode)
        cycleR_.reset(), cycleZ_.reset(), cycleP_.reset(), cycleQ_.reset();
    if (motionHere) {
        switch (motion_) {
            case 0:
                rapid(target(w, g53), lineNo);
                break;
            case 10:
                linear(target(w, g53), lineNo, w);
                break;
            case 20:
                arc(w, lineNo, false);
                break;
            case 30:
                arc(w, lineNo, true);
                break;
            default:
                if (cycleHere) cycle(w, lineNo);
                break;
        }
    }

    // Stopping.
    if (mStop == 0 || mStop == 1) {
        Op& op = emit(OpKind::Pause, lineNo);
        op.optional = mStop == 1;
    } else if (mStop == 2 || mStop == 30) {
        emit(OpKind::End, lineNo);
        ended_ = true;
        endLine_ = lineNo;
    }
}

}  // namespace

Interpreted interpret(std::string_view text, const GcodeSetup& setup, const Vec6& start) {
    Interpreted out;
    // About one operation per line: no regrowth of a large program's list.
    out.ops.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 16);
    Interpreter in(setup, start, out);
    in.run(text);
    if (!out.errors.empty()) out.ops.clear();
    return out;
}

std::string formatDiagnostics(const std::vector<Diagnostic>& list, const std::string& file,
                              bool truncated) {
    std::string s;
    for (const Diagnostic& d : list) {
        s += file + ":" + std::to_string(d.line) + ": ";
        if (!d.word.empty()) s += d.word + ": ";
        s += d.message;
        if (!d.hint.empty()) s += " (" + d.hint + ")";
        s += "\n";
    }
    if (truncated) s += file + ": more problems follow; fix these first\n";
    return s;
}

}  // namespace telvo::tool
