// RS274/NGC interpreter; see interp.h.
#include "gcode/interpreter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <deque>
#include <numbers>

#include "gcode/codes.h"

namespace telvo::tool {
namespace {

constexpr double kMmPerInch = 25.4;
// Arc end points may miss the start radius by this much, as LinuxCNC allows:
// refused beyond 0.5 mm, or beyond 0.005 mm when that is also more than
// 0.1 % of the radius.
constexpr double kArcAbsoluteMm = 0.5;
constexpr double kArcSmallMm = 0.005;
constexpr double kArcRelative = 0.001;
// The same in inch programs: 0.05 in and 0.0005 in, as LinuxCNC's reference.
constexpr double kArcAbsoluteInch = 0.05;
constexpr double kArcSmallInch = 0.0005;
// Peck drilling comes back down to this far above the last depth.
constexpr double kPeckClearanceMm = 0.254;
constexpr double kMaxPecks = 10000.0;
// A cycle's L repeats it at most this often: one line must not expand
// without bound.
constexpr double kMaxRepeats = 10000.0;

struct Failure {
    std::string word, message, hint;
};

[[noreturn]] void fail(std::string word, std::string message, std::string hint = {}) {
    throw Failure{std::move(word), std::move(message), std::move(hint)};
}

std::string number(double v) {
    // Fixed notation: words are at most 1e9, and "L3000000" reads better
    // than "L3e+06".
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
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

// Plane vectors for cutter radius compensation.
struct V2 {
    double x = 0.0, y = 0.0;
};
V2 operator+(V2 a, V2 b) {
    return {a.x + b.x, a.y + b.y};
}
V2 operator-(V2 a, V2 b) {
    return {a.x - b.x, a.y - b.y};
}
V2 operator*(double k, V2 a) {
    return {k * a.x, k * a.y};
}
double dot(V2 a, V2 b) {
    return a.x * b.x + a.y * b.y;
}
double cross(V2 a, V2 b) {
    return a.x * b.y - a.y * b.x;
}
double norm(V2 a) {
    return std::hypot(a.x, a.y);
}
double angle(V2 a) {
    return std::atan2(a.y, a.x);
}
V2 xy(const Vec6& p) {
    return {p[0], p[1]};
}

// A programmed move under compensation, held until the next one is known.
struct CompMove {
    bool arc = false, fast = false, entry = false;
    int line = 0;
    uint64_t op = 0;                          // its operation, whose X and Y end is settled later
    Vec6 from{}, to{};                        // programmed ends
    Vec6 startPos{};                          // where the tool starts it
    double cx = 0.0, cy = 0.0, radius = 0.0;  // arcs: programmed centre and radius
    bool ccw = false;
    double sweep = 0.0;      // arcs: programmed sweep, radians, all turns
    double startTrim = 0.0;  // arcs: radians an inside corner took from its start
    double feed = 0.0, tolerance = -1.0;
    V2 entryTangent;  // the first straight move: the direction the tool really goes
};
}  // namespace

class GcodeInterpreter::Impl {
public:
    Impl(const GcodeSetup& setup, const Vec6& start) : s_(setup), pos_(start), tool_(start) {
        g28_ = s_.g28;
        g30_ = s_.g30;
        workOffsets_ = s_.workOffsets;
        tools_ = s_.tools;
        tolerance_ = s_.blendTolerance;
        mm_ = s_.mmPerUnit == 1.0;
        loadedTool_ = selectedTool_ = s_.loadedTool;
    }

    void feed(std::string_view raw);
    void finish();
    void setPosition(const Vec6& p) { pos_ = tool_ = p; }
    bool done() const { return done_; }
    bool pop(Op& op);
    size_t ready() const {
        return held_ ? static_cast<size_t>(held_->op - base_) : pending_.size();
    }

    // What the program leaves behind, and where it stands.
    GcodeState state() const {
        GcodeState st;
        st.position = pos_;
        st.workOffsets = workOffsets_;
        st.tools = tools_;
        st.loadedTool = loadedTool_;
        st.workSystem = cs_;
        st.g92 = g92_;
        st.toolOffset = tlo_;
        st.spindleDirection = spindleDir_;
        st.rpm = rpm_;
        st.mist = mist_;
        st.flood = flood_;
        st.compensation = compSide_ != 0;
        st.cycle = isCycleCode(motion_);
        st.ended = ended_;
        st.line = lineNo_;
        return st;
    }

    std::vector<Diagnostic> errors, notes;
    bool errorsTruncated = false;

private:
    static bool isCycleCode(int motion);
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

    // Emitting operations. Under cutter compensation the held move's
    // operation and those behind it wait here until its end is settled;
    // that wait is bounded.
    Op& emit(OpKind kind, int lineNo) {
        if (held_ && pending_.size() - (held_->op - base_) >= s_.maxHeld) {
            full_ = true;
            fail("",
                 "more than " + std::to_string(s_.maxHeld) +
                     " operations wait behind one compensated move",
                 "give the next X/Y move sooner, or G40 before the other axes' moves");
        }
        Op& op = pending_.emplace_back();
        op.kind = kind;
        op.line = lineNo;
        return op;
    }
    Op& opAt(uint64_t index) { return pending_[static_cast<size_t>(index - base_)]; }
    uint64_t nextIndex() const { return base_ + pending_.size(); }
    void rapid(const Vec6& end, int lineNo);
    void linear(const Vec6& end, int lineNo, const Words& w);
    void arc(const Words& w, int lineNo, bool ccw);
    void cycle(const Words& w, int lineNo, bool fresh);
    double feedFor(double length, const Words& w, const char* what);
    double tolerance() const { return path_ == 2 ? -1.0 : (path_ == 1 ? 0.0 : tolerance_); }
    void spindleOp(int lineNo);
    void coolantOp(int lineNo);
    void dwell(double seconds, int lineNo);
    void toolData(const Words& w);

    // Cutter radius compensation (G41/G42, G17 plane): see the section below.
    void compOn(int code, const Words& w);
    void compOff(const std::string& word);
    void endCompensation(int lineNo);
    void compMove(CompMove m, const std::string& word);
    void compEntry(CompMove& m, const std::string& word) const;
    double compSettle(const CompMove* next, const std::string& word);
    void compCorner(const CompMove& next, V2 p, V2 a, V2 b);
    double compArcRadius(const CompMove& m) const {
        return m.radius - compSide_ * compRadius_ * (m.ccw ? 1.0 : -1.0);
    }
    V2 compOffset(V2 t) const { return (compSide_ * compRadius_) * V2{-t.y, t.x}; }
    std::string tooLarge(const std::string& where) const;
    bool offPath() const { return tool_[0] != pos_[0] || tool_[1] != pos_[1]; }

    GcodeSetup s_;
    std::deque<Op> pending_;
    uint64_t base_ = 0;  // the index of pending_.front() in the whole program
    Vec6 pos_{};         // the programmed position
    Vec6 tool_{};        // where the tool is: off pos_ in X and Y under compensation
    int compSide_ = 0;   // 0 off, +1 G41 (tool left of the path), -1 G42
    double compRadius_ = 0.0;
    bool compFailed_ = false;  // a compensation error was reported: no more until G40
    std::optional<CompMove> held_;
    // Modal state.
    int motion_ = -1;      // G code x10, -1 none (as after G80)
    int lastMotion_ = -1;  // the motion mode before the current line
    int plane_ = 170;
    bool absolute_ = true;
    bool arcAbsolute_ = false;
    bool inverseTime_ = false;
    bool mm_ = true;
    int cs_ = 0;
    int path_ = 0;  // 0 G64, 1 G61, 2 G61.1
    double tolerance_ = 0.0;
    bool retractToR_ = true;    // G99, where LinuxCNC's interpreter starts
    double seriesLevel_ = 0.0;  // the drilling axis before the current series of cycles
    Vec6 g92_{}, tlo_{};
    std::optional<double> feed_;  // program units per minute (or 1/min under G93)
    double rpm_ = 0.0;
    int spindleDir_ = 0;
    bool mist_ = false, flood_ = false;
    int selectedTool_ = 0, loadedTool_ = 0;
    std::optional<double> cycleR_, cycleZ_, cycleP_, cycleQ_;  // Z: on the drilling axis
    int cyclePlane_ = 170;                                     // the plane they were given in
    Vec6 g28_{}, g30_{};
    std::array<Vec6, 9> workOffsets_{};  // G10 changes them for this run only
    std::map<int, ToolEntry> tools_;     // G10 L1 changes them for this run only
    // Program flow.
    int lineNo_ = 0;
    bool done_ = false;    // nothing more is read
    int percentLine_ = 0;  // the closing '%', when one came
    bool afterNoted_ = false;
    bool ended_ = false;
    int endLine_ = 0;
    bool percentOpen_ = false;
    bool codeSeen_ = false;
    bool feedMissingReported_ = false;
    bool full_ = false;  // the compensation wait overflowed: nothing more is read
};

bool GcodeInterpreter::Impl::isCycleCode(int motion) {
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
namespace {

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
}  // namespace

void GcodeInterpreter::Impl::feed(std::string_view raw) {
    if (done_) return;
    const int lineNo = ++lineNo_;
    // Some CAM systems write a UTF-8 byte order mark first.
    if (lineNo == 1 && raw.substr(0, 3) == "\xEF\xBB\xBF") raw.remove_prefix(3);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    if (percentLine_ > 0) {
        // After the closing '%' nothing is read; a note says so once.
        if (!afterNoted_ && raw.find_first_not_of(" \t\r") != std::string_view::npos) {
            notes.push_back({percentLine_, "%", "text after the closing '%' is ignored", ""});
            afterNoted_ = true;
            done_ = true;
        }
        return;
    }
    // '%' alone: the first opens the program (when nothing came before),
    // the next one closes it and everything after is ignored.
    size_t first = raw.find_first_not_of(" \t\r");
    if (first != std::string_view::npos && raw[first] == '%') {
        size_t rest = raw.find_first_not_of(" \t\r", first + 1);
        if (rest == std::string_view::npos || raw[rest] == '(' || raw[rest] == ';') {
            if (!percentOpen_ && !codeSeen_) {
                percentOpen_ = true;
                return;
            }
            if (!ended_) {
                endCompensation(lineNo);
                ended_ = true;
                endLine_ = lineNo;
            }
            percentLine_ = lineNo;
            return;
        }
    }
    if (ended_) {
        // Only comments and blank lines may follow the end.
        Words w;
        bool content = false;
        try {
            std::deque<Op> keep;
            keep.swap(pending_);
            tokenize(raw, w, lineNo);
            keep.swap(pending_);  // a message after the end is not run
            content = w.gCount || w.mCount || w.present;
        } catch (const Failure&) {
            content = true;
        }
        if (content) {
            notes.push_back({lineNo, "",
                             "program ended on line " + std::to_string(endLine_) +
                                 "; this line and everything after it are not run",
                             ""});
            done_ = true;
        }
        return;
    }
    try {
        line(raw, lineNo);
    } catch (const Failure& f) {
        if (static_cast<int>(errors.size()) >= s_.maxErrors) {
            errorsTruncated = true;
            done_ = true;
            return;
        }
        errors.push_back({lineNo, f.word, f.message, f.hint});
        if (full_) done_ = true;
    }
}

void GcodeInterpreter::Impl::finish() {
    if (!ended_) endCompensation(lineNo_);
    if (!ended_ && errors.empty() && percentLine_ == 0 && codeSeen_) {
        errors.push_back({lineNo_, "", "the program ends without M2, M30 or a closing '%'",
                          "end it with M2 or M30"});
    }
    done_ = true;
}

bool GcodeInterpreter::Impl::pop(Op& op) {
    if (ready() == 0) return false;
    op = std::move(pending_.front());
    pending_.pop_front();
    ++base_;
    return true;
}

void GcodeInterpreter::Impl::line(std::string_view raw, int lineNo) {
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

void GcodeInterpreter::Impl::tokenize(std::string_view t, Words& w, int lineNo) {
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
                    std::string_view msg = body.substr(b + 4);
                    size_t lead = msg.find_first_not_of(" \t");
                    if (lead != std::string_view::npos) op.text = msg.substr(lead);
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
        // The word as written (appended, not concatenated: GCC 12 warns
        // falsely on string + string at -O3).
        auto wordText = [&] {
            std::string text(1, letter);
            text.append(num);
            return text;
        };
        if (!parsed || !std::isfinite(v) || std::fabs(v) > 1e9)
            fail(wordText(), "malformed number");
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

void GcodeInterpreter::Impl::checkGroups(const Words& w,
                                         std::array<int, kGroupCount>& byGroup) const {
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

Vec6 GcodeInterpreter::Impl::target(const Words& w, bool machine) const {
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

void GcodeInterpreter::Impl::requireAxes(const Words& w) const {
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

double GcodeInterpreter::Impl::feedFor(double length, const Words& w, const char* what) {
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

void GcodeInterpreter::Impl::rapid(const Vec6& end, int lineNo) {
    pos_ = end;
    if (end == tool_) return;
    Op& op = emit(OpKind::Rapid, lineNo);
    op.end = end;
    op.tolerance = tolerance();
    tool_ = end;
}

void GcodeInterpreter::Impl::linear(const Vec6& end, int lineNo, const Words& w) {
    double length2 = 0.0;
    for (int a = 0; a < kAxisCount; ++a) length2 += (end[a] - tool_[a]) * (end[a] - tool_[a]);
    double feed = feedFor(std::sqrt(length2), w, "G1");
    if (compSide_ != 0) {
        CompMove m;
        m.line = lineNo;
        m.from = pos_;
        m.to = end;
        m.feed = feed;
        m.tolerance = tolerance();
        compMove(m, "G1");
        return;
    }
    pos_ = end;
    if (end == tool_) return;
    Op& op = emit(OpKind::Linear, lineNo);
    op.end = end;
    op.feed = feed;
    op.tolerance = tolerance();
    tool_ = end;
}

void GcodeInterpreter::Impl::arc(const Words& w, int lineNo, bool ccw) {
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
    if (compSide_ == 0 && offPath()) {
        fail(name, "the move after G40 must be straight (G0 or G1)",
             "the tool is still beside the programmed path; move it back first");
    }
    Vec6 end = target(w, false);
    double k = scale();
    double x0 = pos_[a0], y0 = pos_[a1], x1 = end[a0], y1 = end[a1];
    double cx = 0.0, cy = 0.0;
    // The arc tolerances in machine units, by the program's units.
    const double arcAbsolute = mm_ ? kArcAbsoluteMm / s_.mmPerUnit : kArcAbsoluteInch * k;
    const double arcSmall = mm_ ? kArcSmallMm / s_.mmPerUnit : kArcSmallInch * k;
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
            if (std::fabs(r) < d / 2.0 - arcSmall) {
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
        if (diff > arcAbsolute || (diff > arcSmall && diff > kArcRelative * r0)) {
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
    if (compSide_ != 0) {
        CompMove m;
        m.arc = true;
        m.line = lineNo;
        m.from = pos_;
        m.to = end;
        m.cx = cx;
        m.cy = cy;
        m.radius = std::hypot(x0 - cx, y0 - cy);
        m.ccw = ccw;
        m.sweep = sweep;
        m.feed = feed;
        m.tolerance = tolerance();
        compMove(m, name);
        return;
    }
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
    pos_ = tool_ = end;
}

void GcodeInterpreter::Impl::dwell(double seconds, int lineNo) {
    Op& op = emit(OpKind::Dwell, lineNo);
    op.seconds = seconds;
}

void GcodeInterpreter::Impl::spindleOp(int lineNo) {
    Op& op = emit(OpKind::Spindle, lineNo);
    op.rpm = rpm_;
    op.direction = spindleDir_;
    if (spindleDir_ != 0 && s_.spinUpSeconds > 0.0) dwell(s_.spinUpSeconds, lineNo);
}

// G10 L1 P<tool> [Z<length>] [R<radius>]: changes a tool table entry for
// this run. A length in use takes effect at the next G43.
void GcodeInterpreter::Impl::toolData(const Words& w) {
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
namespace {

// Cutter radius compensation.
//
// Under G41 (G42) the tool runs at its radius to the left (right) of the
// programmed path in the XY plane. Where a move ends depends on the move
// after it, so the last move with X/Y motion is held: its operation is listed
// at once, keeping the order of whatever follows it, and its X/Y end is
// settled when the next X/Y move, G40 or the end of the program comes. Moves
// of other axes and operations without motion wait behind it, at its end.
//
// Outside corners, where the offset paths part, go around the programmed
// corner on an arc of the tool's radius. Inside corners, where they cross,
// end at the crossing; a crossing the tool cannot reach, or one that makes it
// run backwards along a move, means the tool is too large: refused, as
// LinuxCNC does, rather than gouging the part.

constexpr double kTwoPi = 2.0 * std::numbers::pi;
// Machine units: offset points this close meet without a corner; a move
// shorter than this in X and Y has no X/Y direction.
constexpr double kCompNear = 1e-9;
// Radians: compensated arcs shorter than this are listed as straight moves,
// which the planner reads the same (equal ends would be a full circle).
constexpr double kMinSweep = 1e-7;

double wrapPi(double a) {
    while (a > std::numbers::pi) a -= kTwoPi;
    while (a <= -std::numbers::pi) a += kTwoPi;
    return a;
}

V2 arcTangent(const CompMove& m, V2 p) {
    V2 u = p - V2{m.cx, m.cy};
    u = (1.0 / norm(u)) * u;
    return m.ccw ? V2{-u.y, u.x} : V2{u.y, -u.x};
}

// Signed curvature: + turning left (counterclockwise), 0 for lines.
double curvature(const CompMove& m) {
    return m.arc ? (m.ccw ? 1.0 : -1.0) / m.radius : 0.0;
}

// Which way the path turns from a (ending along ta) into b (starting along
// tb): > 0 left, < 0 right. Where it doubles back on itself the tangents
// cannot tell, and the arcs' curvature decides (two lines: a spike, which
// the tool goes around).
double turn(const CompMove& a, V2 ta, const CompMove& b, V2 tb) {
    double c = cross(ta, tb);
    if (std::fabs(c) > 1e-9 || dot(ta, tb) > 0.0) return c;
    return -(curvature(a) + curvature(b));
}

V2 startTangent(const CompMove& m) {
    if (m.arc) return arcTangent(m, xy(m.from));
    V2 d = xy(m.to) - xy(m.from);
    return (1.0 / norm(d)) * d;
}

V2 endTangent(const CompMove& m) {
    if (m.arc) return arcTangent(m, xy(m.to));
    if (m.entry) return m.entryTangent;
    return startTangent(m);
}

// An offset path: a line through p along t, or a circle about c.
struct OffsetPath {
    bool circle = false;
    V2 p, t, c;
    double r = 0.0;
};

// The crossings of two offset paths (0, 1 or 2 of them).
int crossings(const OffsetPath& a, const OffsetPath& b, V2 out[2]) {
    if (!a.circle && !b.circle) {
        double den = cross(a.t, b.t);
        if (std::fabs(den) < 1e-12) return 0;
        out[0] = a.p + (cross(b.p - a.p, b.t) / den) * a.t;
        return 1;
    }
    if (a.circle != b.circle) {
        const OffsetPath& line = a.circle ? b : a;
        const OffsetPath& circle = a.circle ? a : b;
        V2 d = line.p - circle.c;
        double half = dot(d, line.t);
        double disc = half * half - (dot(d, d) - circle.r * circle.r);
        if (disc < 0.0) return 0;
        double root = std::sqrt(disc);
        out[0] = line.p + (-half - root) * line.t;
        out[1] = line.p + (-half + root) * line.t;
        return 2;
    }
    V2 d = b.c - a.c;
    double dist = norm(d);
    if (dist < 1e-12 || dist > a.r + b.r || dist < std::fabs(a.r - b.r)) return 0;
    double along = (a.r * a.r - b.r * b.r + dist * dist) / (2.0 * dist);
    double h = std::sqrt(std::max(0.0, a.r * a.r - along * along));
    V2 u = (1.0 / dist) * d;
    V2 mid = a.c + along * u;
    out[0] = mid + h * V2{-u.y, u.x};
    out[1] = mid - h * V2{-u.y, u.x};
    return 2;
}
}  // namespace

std::string GcodeInterpreter::Impl::tooLarge(const std::string& where) const {
    return "the tool is too large for " + where + " (tool radius " + number(compRadius_ / scale()) +
           ")";
}

// G41/G42 D<tool>, G41.1/G42.1 D<diameter>.
void GcodeInterpreter::Impl::compOn(int code, const Words& w) {
    std::string name = gName(code);
    if (compSide_ != 0)
        fail(name, "cutter compensation is already on", "give G40 before turning it on again");
    if (plane_ != 170)
        fail(name, "cutter compensation works in the G17 (XY) plane only",
             "select G17 before " + name);
    if (!s_.configured[0] || !s_.configured[1] || s_.slaveOf[0] || s_.slaveOf[1])
        fail(name, "cutter compensation needs programmable X and Y axes");
    if (inverseTime_)
        fail(name, "cutter compensation does not run under G93 (inverse time)", "use G94");
    double radius = 0.0;
    std::string dWord = w.has('D') ? "D" + number(w['D']) : name;
    if (code == 411 || code == 421) {
        if (!w.has('D')) fail(name, name + " needs D (the tool diameter)");
        if (w['D'] < 0.0) fail(dWord, "the tool diameter cannot be negative");
        radius = w['D'] * scale() / 2.0;
    } else {
        int tool = loadedTool_;
        if (w.has('D')) {
            double d = w['D'];
            if (d < 0 || d != std::floor(d) || d > 1e6)
                fail(dWord, "D must be a tool number (G41.1/G42.1 take a diameter)");
            tool = static_cast<int>(d);
        } else if (tool == 0) {
            fail(name, name + " without D takes the loaded tool, and no tool is loaded",
                 "give D with the tool number, or load the tool with M6 first");
        }
        if (tool != 0) {
            auto it = tools_.find(tool);
            if (it == tools_.end())
                fail(dWord,
                     "tool " + std::to_string(tool) + " is not in the machine file's tool table",
                     "add it as [[tool]] number = " + std::to_string(tool) + " with a diameter");
            if (!it->second.diameter)
                fail(dWord, "tool " + std::to_string(tool) + " has no diameter in the tool table",
                     "add diameter = ... to its [[tool]] entry, or set it with G10 L1 R");
            if (!(*it->second.diameter >= 0.0))
                fail(dWord, "tool " + std::to_string(tool) + " has a negative diameter");
            radius = *it->second.diameter / 2.0;
        }
    }
    compSide_ = code / 10 == 41 ? 1 : -1;
    compRadius_ = radius;
    compFailed_ = false;
    held_.reset();
}

// G40 (and the program's end): the held move ends beside its own end; the
// next straight move goes from there to its programmed point.
void GcodeInterpreter::Impl::compOff(const std::string& word) {
    if (compSide_ == 0) return;
    try {
        if (held_ && !compFailed_) compSettle(nullptr, word);
    } catch (const Failure&) {
        held_.reset();
        compSide_ = 0;
        throw;
    }
    held_.reset();
    compSide_ = 0;
    compFailed_ = false;
}

void GcodeInterpreter::Impl::endCompensation(int lineNo) {
    try {
        compOff("");
    } catch (const Failure& f) {
        if (static_cast<int>(errors.size()) < s_.maxErrors)
            errors.push_back({lineNo, f.word, f.message, f.hint});
        else
            errorsTruncated = true;
    }
}

// The first move with X/Y motion after G41/G42 starts where the tool stands
// and ends beside its programmed end, as LinuxCNC does. A straight entry
// ends the radius from its programmed end, square to the programmed line
// (the next corner then takes it as any move). An
// arc entry ends at the programmed end moved by the radius along the arc's
// radius (towards the centre when the tool is inside the arc), on an arc
// about a new centre on that radius, equally far from both its ends, so
// that it ends tangent to the programmed arc's offset.
void GcodeInterpreter::Impl::compEntry(CompMove& m, const std::string& word) const {
    const V2 s = xy(tool_), p = xy(m.to);
    const double r = compRadius_;
    const double dist = norm(p - s);
    if (!(dist > r + kCompNear))
        fail(word,
             "the first move under cutter compensation must be longer than the tool radius (" +
                 number(r / scale()) + ")",
             "start compensation farther from the contour");
    m.entry = true;
    if (!m.arc) {
        // Its end is offset square to the programmed line, as any move's.
        V2 d = p - s;
        m.entryTangent = (1.0 / norm(d)) * d;
        return;
    }
    const V2 c{m.cx, m.cy};
    const bool inside = (compSide_ > 0) == m.ccw;
    V2 radial = p - c;
    radial = (1.0 / norm(radial)) * radial;
    const V2 e = p + (inside ? -r : r) * radial;
    const V2 toward = -1.0 * radial;  // from the end towards the programmed centre
    const double across = dot(toward, s - e);
    if (!(std::fabs(across) > kCompNear))
        fail(word,
             "the compensated entry arc has no centre: its start lies on the radius of its end",
             "start compensation elsewhere, or enter with a straight move");
    const double t = dot(s - e, s - e) / (2.0 * across);
    const V2 nc = e + t * toward;
    const double nr = norm(e - nc);
    if (!(nr > kCompNear)) fail(word, tooLarge("the entry arc"));
    const double dir = m.ccw ? 1.0 : -1.0;
    double sweep = dir * (angle(e - nc) - angle(s - nc));
    while (sweep <= 1e-12) sweep += kTwoPi;
    while (sweep > kTwoPi + 1e-12) sweep -= kTwoPi;
    // Whole turns (P) as programmed.
    double programmed = m.sweep;
    double base = dir * (angle(p - c) - angle(xy(m.from) - c));
    while (base <= 1e-12) base += kTwoPi;
    while (base > kTwoPi + 1e-12) base -= kTwoPi;
    sweep += kTwoPi * std::max(0.0, std::round((programmed - base) / kTwoPi));
    m.cx = nc.x;
    m.cy = nc.y;
    // compArcRadius() gives the radius the tool runs at: the new one.
    m.radius = nr + compSide_ * r * dir;
    m.sweep = sweep;
}

void GcodeInterpreter::Impl::compMove(CompMove m, const std::string& word) {
    if (compFailed_) {
        // An error was reported: nothing will run; keep reading plainly.
        pos_ = tool_ = m.to;
        return;
    }
    if (!m.arc && norm(xy(m.to) - xy(m.from)) <= kCompNear) {
        // No X/Y motion: waits behind the held move, at its end.
        Vec6 end = m.to;
        end[0] = tool_[0];
        end[1] = tool_[1];
        pos_ = m.to;
        if (end == tool_) return;
        Op& op = emit(m.fast ? OpKind::Rapid : OpKind::Linear, m.line);
        op.end = end;
        op.feed = m.feed;
        op.tolerance = m.tolerance;
        tool_ = end;
        return;
    }
    try {
        if (m.arc && !(std::hypot(m.to[0] - m.cx, m.to[1] - m.cy) > kCompNear))
            fail(word, "the arc ends on its centre: it has no direction to compensate");
        if (m.arc && !(compArcRadius(m) > kCompNear)) {
            fail(word, "the tool radius (" + number(compRadius_ / scale()) +
                           ") is not smaller than the arc's radius (" + number(m.radius / scale()) +
                           "): the tool cannot follow it on this side");
        }
        if (!held_) {
            compEntry(m, word);
        } else {
            m.startTrim = compSettle(&m, word);
        }
        m.startPos = tool_;
        Op& op = emit(m.arc ? OpKind::Arc : (m.fast ? OpKind::Rapid : OpKind::Linear), m.line);
        op.end = m.to;  // X and Y are settled with the next move
        op.feed = m.feed;
        op.tolerance = m.tolerance;
        if (m.arc) {
            op.center0 = m.cx;
            op.center1 = m.cy;
            op.ccw = m.ccw;
        }
        m.op = nextIndex() - 1;
        held_ = m;
        pos_ = tool_ = m.to;
    } catch (const Failure&) {
        held_.reset();
        compFailed_ = true;
        pos_ = tool_ = m.to;
        throw;
    }
}

// Settles the held move's end for the move that follows it (none: G40 or the
// end), lists the corner between them, and returns how far into its arc the
// next move starts (radians; 0 for lines and outside corners).
double GcodeInterpreter::Impl::compSettle(const CompMove* next, const std::string& word) {
    const CompMove h = *held_;
    held_.reset();
    V2 p = xy(h.to);
    V2 ta = endTangent(h);
    V2 a = p + compOffset(ta);
    V2 x = a, b = a;
    bool corner = false;
    std::string at = "the inside corner at the end of line " + std::to_string(h.line);
    if (next) {
        V2 tb = startTangent(*next);
        b = p + compOffset(tb);
        if (norm(b - a) <= kCompNear) {
            // A tangent continuation has no corner.
            x = b;
        } else if (compSide_ * turn(h, ta, *next, tb) > 0.0) {
            OffsetPath pa, pb;
            pa.circle = h.arc, pa.p = a, pa.t = ta, pa.c = {h.cx, h.cy}, pa.r = compArcRadius(h);
            pb.circle = next->arc, pb.p = b, pb.t = tb, pb.c = {next->cx, next->cy},
            pb.r = compArcRadius(*next);
            V2 found[2];
            int n = crossings(pa, pb, found);
            // The crossing is where the held move's offset path, followed
            // back from its end, first meets the next one's.
            double best = 0.0;
            bool any = false;
            for (int k = 0; k < n; ++k) {
                double back = dot(a - found[k], ta);
                if (h.arc) {
                    V2 c{h.cx, h.cy};
                    back = pa.r * (h.ccw ? 1.0 : -1.0) * wrapPi(angle(a - c) - angle(found[k] - c));
                }
                if (back < -kCompNear || (any && back >= best)) continue;
                best = back;
                x = found[k];
                any = true;
            }
            if (!any) fail(word, tooLarge(at));
        } else {
            corner = true;
        }
    }
    Op& op = opAt(h.op);
    if (h.arc) {
        V2 c{h.cx, h.cy};
        double dir = h.ccw ? 1.0 : -1.0;
        double endTrim = dir * wrapPi(angle(a - c) - angle(x - c));
        double sweep = h.sweep - h.startTrim - endTrim;
        if (sweep < -1e-9)
            fail(word, tooLarge("the inside corners of line " + std::to_string(h.line)));
        if (sweep < kMinSweep) {
            op.kind = OpKind::Linear;
        } else {
            // Whole turns beyond the one the planner reads from the ends.
            double base = dir * (angle(x - c) - angle(xy(h.startPos) - c));
            while (base <= 1e-9) base += kTwoPi;
            while (base > kTwoPi + 1e-9) base -= kTwoPi;
            op.extraTurns = std::max(0, static_cast<int>(std::lround((sweep - base) / kTwoPi)));
        }
    } else if (dot(x - xy(h.startPos), ta) < -kCompNear) {
        fail(word, tooLarge("the inside corners of line " + std::to_string(h.line)));
    }
    // The held move and everything waiting behind it end at x.
    for (uint64_t k = h.op; k < nextIndex(); ++k) {
        Op& o = opAt(k);
        if (o.kind == OpKind::Rapid || o.kind == OpKind::Linear || o.kind == OpKind::Arc)
            o.end[0] = x.x, o.end[1] = x.y;
    }
    tool_[0] = x.x;
    tool_[1] = x.y;
    // Inside corners can take a whole straight move away.
    if (op.kind != OpKind::Arc) {
        double length2 = 0.0;
        for (int k = 0; k < kAxisCount; ++k)
            length2 += (op.end[k] - h.startPos[k]) * (op.end[k] - h.startPos[k]);
        if (length2 <= kCompNear * kCompNear)
            pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(h.op - base_));
    }
    if (!next) return 0.0;
    if (corner) compCorner(*next, p, a, b);
    if (!next->arc) return 0.0;
    V2 c{next->cx, next->cy};
    return (next->ccw ? 1.0 : -1.0) * wrapPi(angle(xy(tool_) - c) - angle(b - c));
}

// An outside corner: around the programmed corner p from a to b at the
// tool's radius, taking the next move's feed; the tool turns clockwise
// about p under G41 and counterclockwise under G42.
void GcodeInterpreter::Impl::compCorner(const CompMove& next, V2 p, V2 a, V2 b) {
    if (!next.fast) {
        Op& op = emit(OpKind::Arc, next.line);
        op.end = tool_;
        op.end[0] = b.x;
        op.end[1] = b.y;
        op.center0 = p.x;
        op.center1 = p.y;
        op.ccw = compSide_ < 0;
        op.feed = next.feed;
        op.tolerance = next.tolerance;
        tool_ = op.end;
        return;
    }
    // Rapids have no arcs: straight rapids touching the arc from outside,
    // at most a quarter turn each, so the tool never comes nearer p than its
    // radius.
    double dir = compSide_ > 0 ? -1.0 : 1.0;
    double start = angle(a - p);
    double sweep = dir * (angle(b - p) - start);
    while (sweep <= 0.0) sweep += kTwoPi;
    while (sweep > kTwoPi) sweep -= kTwoPi;
    int pieces = std::max(1, static_cast<int>(std::ceil(sweep / (std::numbers::pi / 2.0) - 1e-9)));
    double step = sweep / pieces;
    double reach = compRadius_ / std::cos(step / 2.0);
    for (int k = 0; k <= pieces; ++k) {
        Vec6 end = tool_;
        if (k < pieces) {
            double t = start + dir * (k + 0.5) * step;
            end[0] = p.x + reach * std::cos(t);
            end[1] = p.y + reach * std::sin(t);
        } else {
            end[0] = b.x;
            end[1] = b.y;
        }
        Op& op = emit(OpKind::Rapid, next.line);
        op.end = end;
        op.tolerance = next.tolerance;
        tool_ = end;
    }
}

void GcodeInterpreter::Impl::coolantOp(int lineNo) {
    Op& op = emit(OpKind::Coolant, lineNo);
    op.mist = mist_;
    op.flood = flood_;
}

// Drilling cycles, as LinuxCNC runs them: in G17 the hole is positioned in
// X and Y and drilled along Z; in G18 positioned in Z and X and drilled
// along Y; in G19 positioned in Y and Z and drilled along X. R, the bottom
// and the retract level are on the drilling axis. Every move of a cycle
// runs in exact-path mode (exact stop under G61.1), whatever G64 says.
// `fresh`: the cycle was not in effect before this line. As in LinuxCNC,
// such a line must give R, the bottom, and the cycle's own P or Q; later
// lines of the same cycle may leave them out.
void GcodeInterpreter::Impl::cycle(const Words& w, int lineNo, bool fresh) {
    std::string name = gName(motion_);
    int d = 2, p0 = 0, p1 = 1;
    if (plane_ == 180) {
        d = 1, p0 = 2, p1 = 0;
    } else if (plane_ == 190) {
        d = 0, p0 = 1, p1 = 2;
    }
    const char drill = kAxisLetters[d];
    if (!s_.configured[d] || s_.slaveOf[d])
        fail(name, std::string("drilling cycles in ") + gName(plane_) + " need a programmable " +
                       drill + " axis");
    if (fresh) cycleR_.reset(), cycleZ_.reset(), cycleP_.reset(), cycleQ_.reset();
    cyclePlane_ = plane_;
    if (w.has('R')) cycleR_ = w['R'];
    if (w.has(drill)) cycleZ_ = w[drill];
    if (w.has('P')) cycleP_ = w['P'];
    if (w.has('Q')) cycleQ_ = w['Q'];
    if (!cycleR_) fail(name, "drilling cycle needs R (the retract plane)");
    if (!cycleZ_) fail(name, std::string("drilling cycle needs ") + drill + " (the hole bottom)");
    if ((motion_ == 830 || motion_ == 730) && (!cycleQ_ || !(*cycleQ_ > 0.0)))
        fail(name, "peck drilling needs Q above 0 (the peck depth)");
    if ((motion_ == 820 || motion_ == 860 || motion_ == 890) && (!cycleP_ || *cycleP_ < 0.0))
        fail(name, name + " needs P (the dwell at the bottom, seconds)");
    if (motion_ == 860 && spindleDir_ == 0)
        fail(name, "G86 stops and restarts the spindle: start it first (M3 or M4)");
    int repeats = 1;
    if (w.has('L')) {
        double l = w['L'];
        if (l < 1 || l != std::floor(l) || l > kMaxRepeats)
            fail("L" + number(l), "repeat count L must be a whole number from 1 to " +
                                      std::to_string(static_cast<int>(kMaxRepeats)));
        repeats = static_cast<int>(l);
    }
    double k = scale();
    double oldLevel = pos_[d];
    double rLevel = absolute_ ? *cycleR_ * k + offset(d) : pos_[d] + *cycleR_ * k;
    double bottom = absolute_ ? *cycleZ_ * k + offset(d) : rLevel + *cycleZ_ * k;
    if (bottom > rLevel)
        fail(std::string(1, drill) + number(*cycleZ_),
             "the hole bottom is above the retract plane R");
    // G98 goes back to where the drilling axis stood before the series of
    // cycles began (changing the cycle type keeps the series).
    if (!isCycle(lastMotion_)) seriesLevel_ = oldLevel;
    double clearLevel = retractToR_ ? rLevel : std::max(seriesLevel_, rLevel);
    double feed = feedFor(rLevel - bottom, w, name.c_str());
    double clearance = kPeckClearanceMm / s_.mmPerUnit;
    const double exact = path_ == 2 ? -1.0 : 0.0;
    auto moveTo = [&](const Vec6& p, bool fast) {
        if (p == tool_) {
            pos_ = p;
            return;
        }
        Op& op = emit(fast ? OpKind::Rapid : OpKind::Linear, lineNo);
        op.end = p;
        op.feed = fast ? 0.0 : feed;
        op.tolerance = exact;
        pos_ = tool_ = p;
    };
    auto moveD = [&](double level, bool fast) {
        Vec6 p = pos_;
        p[d] = level;
        moveTo(p, fast);
    };
    for (int n = 0; n < repeats; ++n) {
        if (pos_[d] < rLevel) moveD(rLevel, true);
        Vec6 hole = pos_;
        for (int a : {p0, p1}) {
            char letter = kAxisLetters[a];
            if (!w.has(letter)) continue;
            double v = w[letter] * k;
            hole[a] = absolute_ ? v + offset(a) : pos_[a] + v;
        }
        moveTo(hole, true);
        moveD(rLevel, true);
        if (motion_ == 810 || motion_ == 820) {
            moveD(bottom, false);
            if (motion_ == 820 && *cycleP_ > 0.0) dwell(*cycleP_, lineNo);
        } else if (motion_ == 850 || motion_ == 890) {
            // Boring: feed in, (G89: dwell,) feed back out to the clear level.
            moveD(bottom, false);
            if (motion_ == 890 && *cycleP_ > 0.0) dwell(*cycleP_, lineNo);
            moveD(clearLevel, false);
        } else if (motion_ == 860) {
            // Boring: feed in, dwell, stop the spindle, rapid out, start it
            // again the way it turned (with its spin-up dwell).
            moveD(bottom, false);
            if (*cycleP_ > 0.0) dwell(*cycleP_, lineNo);
            int direction = spindleDir_;
            spindleDir_ = 0;
            spindleOp(lineNo);
            moveD(clearLevel, true);
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
                moveD(next, false);
                depth = next;
                if (depth <= bottom) break;
                if (motion_ == 830) {
                    moveD(rLevel, true);
                    moveD(std::min(rLevel, depth + clearance), true);
                } else {
                    moveD(std::min(rLevel, depth + clearance), true);
                }
            }
        }
        moveD(clearLevel, true);
    }
}

void GcodeInterpreter::Impl::execute(Words& w, int lineNo) {
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
    int cutter = group(kGroupCutter);
    if (w.has('D') && cutter <= 400)
        fail("D" + number(w['D']), "D with no G41, G42, G41.1 or G42.1 to use it");
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
    if (compSide_ != 0 && group(kGroupFeedMode) == 930)
        fail("G93", "inverse-time feed cannot start under cutter compensation",
             "give G40 first, or keep G94");
    if (group(kGroupFeedMode) >= 0) {
        // Every G93 or G94 word clears the feed rate, as LinuxCNC does: the
        // next feed move needs an F of its own (this line's F counts).
        inverseTime_ = group(kGroupFeedMode) == 930;
        feed_.reset();
        feedMissingReported_ = false;
    }
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
            notes.push_back({lineNo, "S" + number(w['S']),
                             "S" + number(w['S']) +
                                 " is above the spindle's top speed: it turns at " + number(rpm_) +
                                 " rpm",
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
        if (compSide_ != 0)
            fail("M6", "tools cannot be changed under cutter compensation",
                 "give G40 on a line before it");
        if (s_.toolChange) {
            // As LinuxCNC: one straight rapid to the tool-change position,
            // or with the quill-up option Z to machine zero first.
            if (s_.toolChangeQuillUp && s_.configured[2] && !s_.slaveOf[2]) {
                Vec6 up = tool_;
                up[2] = 0.0;
                rapid(up, lineNo);
            }
            Vec6 there = tool_;
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
    if (compSide_ != 0 && group(kGroupPlane) >= 0 && group(kGroupPlane) != plane_)
        fail(gName(group(kGroupPlane)), "the plane cannot change under cutter compensation",
             "give G40 first");
    if (group(kGroupPlane) >= 0) plane_ = group(kGroupPlane);
    if (group(kGroupUnits) >= 0) {
        bool mm = group(kGroupUnits) == 210;
        // The feed rate keeps its speed across a change of units (LinuxCNC
        // converts it), unless this line gives a new one.
        if (mm != mm_ && feed_ && !w.has('F'))
            *feed_ = mm ? *feed_ * kMmPerInch : *feed_ / kMmPerInch;
        mm_ = mm;
    }
    if (cutter == 400) compOff("G40");
    if (cutter > 400) compOn(cutter, w);
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

    if (compSide_ != 0) {
        if (nonModal == 280 || nonModal == 300)
            fail(gName(nonModal), gName(nonModal) + " cannot run under cutter compensation",
                 "give G40 first");
        if (g53) fail("G53", "G53 cannot run under cutter compensation", "give G40 first");
        if (cycleHere)
            fail(gName(motionNow), "drilling cycles cannot run under cutter compensation",
                 "give G40 first");
    }

    // After G40 the tool stands beside the programmed point: a move that
    // gives neither X nor Y keeps it there (a retract does not swing back
    // onto the contour); the first one that gives X or Y ends compensation's
    // exit.
    if (compSide_ == 0 && offPath() && !w.has('X') && !w.has('Y') &&
        (motionHere || nonModal == 280 || nonModal == 300)) {
        pos_[0] = tool_[0];
        pos_[1] = tool_[1];
    }

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
    const bool motionChanged = group(kGroupMotion) >= 0 && group(kGroupMotion) != motion_;
    lastMotion_ = motion_;
    if (group(kGroupMotion) >= 0) motion_ = group(kGroupMotion);
    if (group(kGroupMotion) >= 0 && !cycleMode)
        cycleR_.reset(), cycleZ_.reset(), cycleP_.reset(), cycleQ_.reset();
    if (motionHere) {
        switch (motion_) {
            case 0:
                if (compSide_ != 0) {
                    CompMove m;
                    m.fast = true;
                    m.line = lineNo;
                    m.from = pos_;
                    m.to = target(w, false);
                    m.tolerance = tolerance();
                    compMove(m, "G0");
                } else {
                    rapid(target(w, g53), lineNo);
                }
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
                if (cycleHere) cycle(w, lineNo, motionChanged || !cycleZ_ || plane_ != cyclePlane_);
                break;
        }
    }

    // Stopping.
    if (mStop == 0 || mStop == 1) {
        Op& op = emit(OpKind::Pause, lineNo);
        op.optional = mStop == 1;
    } else if (mStop == 2 || mStop == 30) {
        try {
            compOff("M" + std::to_string(mStop));
        } catch (const Failure&) {
            ended_ = true;  // the program still ends here
            endLine_ = lineNo;
            throw;
        }
        emit(OpKind::End, lineNo);
        ended_ = true;
        endLine_ = lineNo;
    }
}

GcodeInterpreter::GcodeInterpreter(const GcodeSetup& setup, const Vec6& start)
    : impl_(std::make_unique<Impl>(setup, start)) {}
GcodeInterpreter::~GcodeInterpreter() = default;
GcodeInterpreter::GcodeInterpreter(GcodeInterpreter&&) noexcept = default;
GcodeInterpreter& GcodeInterpreter::operator=(GcodeInterpreter&&) noexcept = default;

void GcodeInterpreter::line(std::string_view text) {
    impl_->feed(text);
}
void GcodeInterpreter::finish() {
    impl_->finish();
}
bool GcodeInterpreter::done() const {
    return impl_->done();
}
bool GcodeInterpreter::pop(Op& op) {
    return impl_->pop(op);
}
const std::vector<Diagnostic>& GcodeInterpreter::errors() const {
    return impl_->errors;
}
const std::vector<Diagnostic>& GcodeInterpreter::notes() const {
    return impl_->notes;
}
bool GcodeInterpreter::errorsTruncated() const {
    return impl_->errorsTruncated;
}
GcodeState GcodeInterpreter::state() const {
    return impl_->state();
}
void GcodeInterpreter::setPosition(const Vec6& position) {
    impl_->setPosition(position);
}

Interpreted interpret(std::string_view text, const GcodeSetup& setup, const Vec6& start) {
    Interpreted out;
    out.start = start;
    GcodeInterpreter in(setup, start);
    Op op;
    size_t at = 0;
    while (at < text.size() && !in.done()) {
        size_t nl = text.find('\n', at);
        in.line(text.substr(at, nl == std::string_view::npos ? std::string_view::npos : nl - at));
        at = nl == std::string_view::npos ? text.size() : nl + 1;
        while (in.pop(op)) out.ops.push_back(std::move(op));
    }
    in.finish();
    while (in.pop(op)) out.ops.push_back(std::move(op));
    out.errors = in.errors();
    out.notes = in.notes();
    out.errorsTruncated = in.errorsTruncated();
    if (!out.errors.empty()) out.ops.clear();
    return out;
}

}  // namespace telvo::tool
