// The `telvo` binary run as a process, the way a person runs it: the demo,
// part programs good and bad, machine files, every subcommand, and decoding
// a recorded trace. The simulated clock is stepped (--speed 0).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "files/decode.h"
#include "files/trace.h"
#include "telvo_wire.h"

namespace {

using telvo::tool::TraceKind;

namespace fs = std::filesystem;

const std::string kTool = TELVO_TOOL_PATH;
const std::string kData = TELVO_TOOL_TEST_DATA;

struct Result {
    int code = -1;
    std::string out, err;
};

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t lines(const std::string& s) {
    size_t n = 0;
    for (char c : s) n += c == '\n';
    return n;
}

// The value column of a summary row, e.g. row(out, "final position").
std::string row(const std::string& out, const std::string& key) {
    std::smatch m;
    std::regex r("\\n  " + key + " +([^\\n]*)\\n");
    return std::regex_search(out, m, r) ? m[1].str() : std::string("(no row '" + key + "')");
}

class Tool : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/telvo_tool_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override { fs::remove_all(dir_); }

    Result run(const std::string& args) {
        std::string cmd = "cd '" + dir_.string() + "' && '" + kTool + "' " + args + " >out.txt 2>err.txt </dev/null";
        int status = std::system(cmd.c_str());
        Result r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = readAll(dir_ / "out.txt");
        r.err = readAll(dir_ / "err.txt");
        return r;
    }
    fs::path dir_;
};

const std::string kEveryKey = kData + "/every_key.toml";
// every_key.toml's steps per inch: X, Y, Z (B follows Y).
constexpr int kStepsX = 20000, kStepsY = 16000, kStepsZ = 25000;

// A spindle or output command as the controller got it, with where the
// machine stood then (the last status record before it: X Y Z B in steps)
// and how long after it the machine stood still with no other such command.
struct Direct {
    std::string text;
    std::string at;
    double stillSeconds = 0.0;
    // The positions reported after it, up to the next such command.
    std::vector<std::array<int32_t, 7>> path;
};

// The spindle and output commands of a trace, in order; whether every
// status record kept X, Y and Z inside every_key.toml's travel; the last
// position reported.
struct DirectCommands {
    std::vector<Direct> list;
    bool insideTravel = true;
    std::array<int32_t, 7> last{};
    int stops = 0;  // STOP packets after the last spindle or output command
};

DirectCommands directCommands(const fs::path& tracePath) {
    telvo::tool::TraceFile trace = telvo::tool::readTraceFile(tracePath.string());
    DirectCommands out;
    std::string at = "(no status yet)";
    std::array<int32_t, 7> here{};
    std::vector<int64_t> times;
    auto text = [](const std::array<int32_t, 7>& p) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "X %d Y %d Z %d B %d", p[0], p[1], p[2], p[4]);
        return std::string(buf);
    };
    auto settle = [&](int64_t t) {
        // The commands whose still time is open end it here.
        for (size_t k = 0; k < out.list.size(); ++k) {
            if (out.list[k].stillSeconds < 0) out.list[k].stillSeconds = static_cast<double>(t - times[k]) / 1e6;
        }
    };
    for (const telvo::tool::TraceRecord& r : trace.records) {
        if (r.kind == TraceKind::Status) {
            telvo::tool::StatusFields f = telvo::tool::fieldsOf(telvo::tool::decodeStatus(r.data.data()));
            std::array<int32_t, 7> p{};
            for (size_t a = 0; a < 7; ++a) p[a] = f.position[a];
            if (p != here && !out.list.empty()) settle(r.timeUs);
            if (!out.list.empty()) out.list.back().path.push_back(p);
            here = p;
            at = text(p);
            out.insideTravel = out.insideTravel && p[0] >= -2 * kStepsX && p[0] <= 14 * kStepsX &&
                               2 * p[1] >= -3 * kStepsY && p[1] <= 10 * kStepsY &&
                               p[2] >= -4 * kStepsZ && p[2] <= 3 * kStepsZ;
        } else if (r.kind == TraceKind::Command && r.data.size() > 4) {
            if (r.data[0] == 14) ++out.stops;
            if (r.data[0] != 6 && r.data[0] != 7) continue;
            settle(r.timeUs);
            out.list.push_back({telvo::tool::decodeCommand(r.data.data(), r.data.size())[0], at, -1.0, {}});
            times.push_back(r.timeUs);
            out.stops = 0;
        }
    }
    out.last = here;
    return out;
}

std::string spindle(int mode, int value, int speed) {
    return "SPINDLE (7) mode " + std::to_string(mode) + " value " + std::to_string(value) + " speed " +
           std::to_string(speed) + " steps/s byte9 0";
}

std::string outputs(const char* word) {
    return std::string("SET_OUTPUTS (6) outputs ") + word + " word1 0x0000 word2 0x0000";
}

std::string inches(double x, double y, double z) {
    char buf[96];
    auto steps = [](double v, int spu) { return static_cast<int>(std::lround(v * spu)); };
    std::snprintf(buf, sizeof buf, "X %d Y %d Z %d B %d", steps(x, kStepsX), steps(y, kStepsY), steps(z, kStepsZ),
                  steps(y, kStepsY));
    return buf;
}

std::vector<std::string> texts(const DirectCommands& d) {
    std::vector<std::string> out;
    for (const Direct& c : d.list) out.push_back(c.text);
    return out;
}

// A `telvo` process with its standard input and output on pipes (the
// error output in err.txt), for what only a live process shows: signals.
class Child {
public:
    Child(const fs::path& dir, const std::vector<std::string>& args) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(kTool.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const std::string err = (dir / "err.txt").string();
        pid_ = fork();
        if (pid_ == 0) {
            int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (chdir(dir.c_str()) != 0 || e < 0) _exit(127);
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(e, 2);
            close(in[1]);
            close(out[0]);
            execv(kTool.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        outPipe_ = out[0];
    }
    ~Child() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (in_ >= 0) close(in_);
        if (outPipe_ >= 0) close(outPipe_);
    }
    bool started() const { return pid_ > 0 && outPipe_ >= 0; }
    void signal(int sig) { kill(pid_, sig); }
    // Reads the output until it holds `text`; false when the watchdog ran
    // out or the output ended first.
    bool waitFor(const std::string& text, double seconds) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (out_.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline || !readSome()) return false;
        }
        return true;
    }
    // The exit status once the process ended, -1 when the watchdog had to
    // kill it.
    int wait(double seconds) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                exited_ = true;
                return -1;
            }
            readSome();
        }
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::string& output() const { return out_; }

private:
    // Takes what the output pipe holds (waiting at most 50 ms); false at its end.
    bool readSome() {
        pollfd p{outPipe_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) return true;
        char buf[4096];
        ssize_t n = read(outPipe_, buf, sizeof buf);
        if (n <= 0) return false;
        out_.append(buf, static_cast<size_t>(n));
        return true;
    }
    pid_t pid_ = -1;
    bool exited_ = false;
    int in_ = -1;
    int outPipe_ = -1;
    std::string out_;
};

}  // namespace

TEST_F(Tool, DemoEndsOnItsEndPointAndItsTraceDecodes) {
    Result r = run("demo --speed 0 --quiet --trace demo.trace --plot demo.svg");
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("\nSummary\n"), std::string::npos) << r.out;
    EXPECT_EQ(row(r.out, "final position"), "X 36000  Y 28000  Z 8000  A 28000 steps");
    EXPECT_EQ(row(r.out, "program end point"), "X 36000  Y 28000  Z 8000  A 28000 steps");
    EXPECT_EQ(row(r.out, "end point reached"), "yes");
    EXPECT_EQ(row(r.out, "protocol errors"), "0");
    // The part runs through the planner and the checker like `telvo run`:
    // every planned millisecond sent and executed, the check passed.
    std::smatch planned;
    std::string program = row(r.out, "program");
    ASSERT_TRUE(std::regex_match(program, planned, std::regex(R"(built-in demo part \(\d+ moves; planned ([0-9.]+) s, feed-limited bound [0-9.]+ s\))")))
        << program;
    long long segments = std::stoll(row(r.out, "segments executed"));
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", static_cast<double>(segments) / 1000.0);
    EXPECT_EQ(seconds, planned[1].str());
    EXPECT_EQ(row(r.out, "segments sent"), std::to_string(segments) + " of " + std::to_string(segments));
    EXPECT_EQ(row(r.out, "check").rfind("passed: ", 0), 0u) << row(r.out, "check");
    EXPECT_EQ(row(r.out, "firmware"), "01.23");
    EXPECT_EQ(row(r.out, "probe").rfind("triggered at X 45.000  Y 35.000  Z -2.5", 0), 0u) << row(r.out, "probe");

    std::string svg = readAll(dir_ / "demo.svg");
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
    EXPECT_NE(svg.find("<polyline"), std::string::npos);
    EXPECT_NE(svg.find("probe trigger"), std::string::npos);

    Result d = run("decode demo.trace");
    ASSERT_EQ(d.code, 0) << d.err;
    const char* expected[] = {
        "times from the simulated controller's clock",
        "NOTE telvo_Open() = 1",
        "AXIS_CONFIG (9) 262 bytes",
        "axis   A: 800 steps/unit, max velocity 40000 steps/s",
        "slave of Y",
        "IO_CONFIG (11) 112 bytes",
        "low bank: 6:11+f0 12:10+f0",
        "HOME (5) axis Z",
        "HOME (5) axis A",
        "BLOCK 75 segments, slots 0..74",
        "  slot    0 code 0x00 aux 0x00 | X +0.000000@0.500000",
        "PROBE (4) acceleration figures X=0 Y=0 Z=1280",
        "PURGE_END_OF_MOVE (13)",
        "SET_OUTPUTS (6) outputs 0x0000 word1 0x0000 word2 0x0000",
        "STOP (14) mode 3",
        "STATUS state 0 event 0 flags 0x00 pos X 0 Y 0 Z 0 A 0",
        "NOTE telvo_Close() = 1",
    };
    for (const char* e : expected) EXPECT_NE(d.out.find(e), std::string::npos) << e;
    EXPECT_NE(d.out.find(" event 7 "), std::string::npos) << "no probe trigger in the status records";
    EXPECT_NE(d.out.find(" event 5 "), std::string::npos) << "no homing event in the status records";

    Result brief = run("decode --brief demo.trace");
    ASSERT_EQ(brief.code, 0);
    EXPECT_NE(brief.out.find("BLOCK 75 segments, slots 0..74, travel X +0.000 Y +0.000 Z +"), std::string::npos);
    EXPECT_LT(lines(brief.out), lines(d.out));

    // A machine the part does not fit: every line said before the
    // controller is opened.
    std::ofstream(dir_ / "x.toml") << "[axis.x]\nsteps_per_unit = 100\nmax_velocity = 1000\nacceleration = 5000\n";
    Result xOnly = run("demo -m x.toml --speed 0 --trace x.trace");
    EXPECT_EQ(xOnly.code, 1);
    EXPECT_EQ(xOnly.out, "");
    EXPECT_EQ(xOnly.err.rfind("built-in demo part:4: Z5: axis Z is not configured on this machine\n", 0), 0u) << xOnly.err;
    EXPECT_NE(xOnly.err.find("\ntelvo: error: the built-in demo part does not fit this machine; nothing was run\n"), std::string::npos)
        << xOnly.err;
    EXPECT_FALSE(fs::exists(dir_ / "x.trace"));
}

TEST_F(Tool, RunsAProgramWithArcs) {
    Result r = run("run " + kData + "/arcs.nc --speed 0 --plot arcs.svg --trace arcs.trace");
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(row(r.out, "program end point"), "X 16000  Y 8000  Z 8000  A 8000 steps");
    EXPECT_EQ(row(r.out, "final position"), row(r.out, "program end point"));
    EXPECT_EQ(row(r.out, "end point reached"), "yes");
    EXPECT_EQ(row(r.out, "protocol errors"), "0");
    // Not a terminal: the progress comes as lines, ending at 100 %.
    EXPECT_NE(r.err.find("run [100.0%]"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(dir_ / "arcs.svg"));
    EXPECT_GT(fs::file_size(dir_ / "arcs.trace"), 16u);
}

// --targets writes each target as it was sent: every row, read back, gives
// the wire segment the library made of it (per axis the start phase and the
// travel, in millionths of a step, from the target before), and carries the
// line of the move it runs along.
TEST_F(Tool, TargetsFileHoldsWhatWasSent) {
    Result r = run("run " + kData + "/arcs.nc --speed 0 --quiet --trace t.trace --targets t.txt");
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(row(r.out, "targets"), "t.txt");
    std::ifstream in(dir_ / "t.txt");
    std::string header[5];
    for (std::string& h : header) std::getline(in, h);
    EXPECT_EQ(header[0], "# telvo-targets 1");
    EXPECT_EQ(header[1], "# units mm");
    EXPECT_EQ(header[2], "# steps_per_unit x=800 y=800 z=1600 a=800");
    EXPECT_EQ(header[3], "# start x=0 y=0 z=0 a=0");
    EXPECT_EQ(header[4], "line x y z a");
    std::vector<int> lines;
    std::vector<std::array<double, 4>> rows;
    for (std::string l; std::getline(in, l);) {
        std::istringstream s(l);
        int n = 0;
        std::array<double, 4> v{};
        s >> n >> v[0] >> v[1] >> v[2] >> v[3];
        ASSERT_TRUE(s && s.peek() == EOF) << l;
        lines.push_back(n);
        rows.push_back(v);
    }
    std::vector<const uint8_t*> wire;
    telvo::tool::TraceFile trace = telvo::tool::readTraceFile((dir_ / "t.trace").string());
    for (const telvo::tool::TraceRecord& rec : trace.records) {
        if (rec.kind != telvo::tool::TraceKind::Block) continue;
        for (size_t at = 0; at + tsim::kSegmentBytes <= rec.data.size(); at += tsim::kSegmentBytes)
            wire.push_back(rec.data.data() + at);
    }
    ASSERT_EQ(wire.size(), rows.size());
    // X, Y, Z (A copies Y on the wire); the library tracks target + 0.5.
    std::array<double, 3> tracked = {0.5, 0.5, 0.5};
    for (size_t k = 0; k < rows.size(); ++k) {
        for (size_t a = 0; a < 3; ++a) {
            double base = std::floor(tracked[a]);
            int32_t phase = tsim::getI32(wire[k] + 8 * a) / 250;
            int32_t travel = tsim::getI32(wire[k] + 8 * a + 4);
            ASSERT_NEAR(phase, std::floor((tracked[a] - base) * 1e6), 1.0) << "row " << k << " axis " << a;
            ASSERT_NEAR(base + (phase + travel) * 1e-6, rows[k][a] + 0.5, 2e-6) << "row " << k << " axis " << a;
            tracked[a] = rows[k][a] + 0.5;
        }
        EXPECT_DOUBLE_EQ(rows[k][3], rows[k][1]) << "row " << k;  // A follows Y from 0
    }
    // The moves are on lines 3..11, each in its turn; the last one ends at Z 5.
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end()));
    std::vector<int> seen(lines.begin(), lines.end());
    seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
    EXPECT_EQ(seen, (std::vector<int>{3, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(rows.back()[2], 8000.0);
    EXPECT_EQ(run("run " + kData + "/ramp.csv --speed 0 --quiet --targets c.txt").err,
              "telvo: error: --targets applies to G-code programs, not CSV\n");
}

TEST_F(Tool, RunsCsvTargets) {
    Result r = run("run " + kData + "/ramp.csv --speed 0 --quiet");
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(row(r.out, "segments executed"), "400");
    EXPECT_EQ(row(r.out, "final position"), "X 4000  Y 2000  Z 0  A 2000 steps");
    EXPECT_EQ(row(r.out, "end point reached"), "yes");

    // A malformed file is refused before the controller is opened (no
    // trace), and so is one whose first row the home position cannot reach.
    std::ofstream(dir_ / "bad.csv") << "x,y\n0,0\n0,abc\n";
    std::ofstream(dir_ / "far.csv") << "4000\n4040\n";
    Result bad = run("run bad.csv --speed 0 --trace bad.trace");
    EXPECT_EQ(bad.code, 1);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err, "telvo: error: bad.csv:3: 'abc' is not a number\n");
    EXPECT_FALSE(fs::exists(dir_ / "bad.trace"));
    Result far = run("run far.csv --home --speed 0 --trace far.trace");
    EXPECT_EQ(far.code, 1);
    EXPECT_EQ(far.out, "");
    EXPECT_NE(far.err.find("telvo: error: far.csv:1: axis X moves 4000 steps in 1 ms"), std::string::npos) << far.err;
    EXPECT_FALSE(fs::exists(dir_ / "far.trace"));
    // Without --home the first row is checked from where the controller
    // stands, before anything moves.
    Result here = run("run far.csv --speed 0");
    EXPECT_EQ(here.code, 1);
    EXPECT_NE(here.err.find("far.csv:1: axis X moves 4000 steps in 1 ms from the controller's position"), std::string::npos) << here.err;
    EXPECT_EQ(here.out.find("Summary"), std::string::npos) << here.out;
}

TEST_F(Tool, ProgramErrorsStopBeforeAnythingMoves) {
    // Every problem at once, before the controller is opened: no trace.
    const std::string f = kData + "/bad_program.nc";
    Result r = run("run " + f + " --speed 0 --trace never.trace");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, f + ":4: #: parameters (#) are not supported (post-process with numeric values only)\n" +
                         f + ":5: G1: feed move with no feed rate (give F, in units per minute, on this line or before it)\n" +
                         f + ":6: G41: G41 without D takes the loaded tool, and no tool is loaded (give D with the tool number, or load the tool with M6 first)\n" +
                         f + ":8: G2: end point is not on the arc: radius 3 at the start, 19.72308292331602 at the end (offsets are relative to the start point under G91.1)\n" +
                         f + ":9: O: O-word subroutines and loops are not supported (post-process without subroutines)\n" +
                         f + ":10: Z[: expressions ([ ]) are not supported (post-process with numeric values only)\n" +
                         f + ":11: *: checksums (*) are not supported (post-process without line checksums)\n" +
                         f + ":12: G33: spindle-synchronised motion is not supported\n" +
                         f + ":13: G17: G18 and G17 are in the same modal group and cannot share a line\n" +
                         f + ":14: B5: axis B is not configured on this machine\n" +
                         "telvo: error: " + f + ": 10 problems; nothing was run\n");
    EXPECT_FALSE(fs::exists(dir_ / "never.trace"));
}

TEST_F(Tool, TravelIsCheckedFromTheStartBeforeAnyMotion) {
    std::ofstream(dir_ / "far.nc") << "G21 G90\nG0 X10 Y10\nG1 X390 F3000\nG91 G1 X20\nM30\n";
    // From machine zero the program stays inside; homed elsewhere it would not.
    Result r = run("run far.nc --speed 0 --quiet");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "far.nc:4: X: X 410.0000 is outside the machine's travel (X -100.0000 .. 400.0000)\n"
                     "telvo: error: far.nc: the program leaves the machine's travel from where the machine stands; nothing was run\n");
    EXPECT_EQ(r.out.find("Summary"), std::string::npos) << r.out;
}

TEST_F(Tool, TestProgramsRunEndToEndAndPassTheCheck) {
    for (const auto& entry : fs::directory_iterator(kData + "/programs")) {
        std::string name = entry.path().filename().string();
        Result r = run("run " + entry.path().string() + " --speed 0 --quiet");
        ASSERT_EQ(r.code, 0) << name << "\n" << r.out << r.err;
        EXPECT_EQ(row(r.out, "check").rfind("passed: ", 0), 0u) << name << ": " << row(r.out, "check");
        EXPECT_EQ(row(r.out, "end point reached"), "yes") << name;
        EXPECT_EQ(row(r.out, "protocol errors"), "0") << name;
        EXPECT_TRUE(std::regex_search(row(r.out, "time"), std::regex("^[0-9.]+ s on the controller's clock"))) << row(r.out, "time");
        EXPECT_NE(r.out.find("planned (feed-limited bound"), std::string::npos) << name;
        if (name == "two_parts.nc") {
            EXPECT_NE(r.out.find("two_parts.nc:14: note: program ended on line 12"), std::string::npos) << r.out;
        }
        // Without a controller the same program plans to the same time and
        // passes the same check, target for target.
        Result c = run("check " + entry.path().string());
        ASSERT_EQ(c.code, 0) << name << "\n" << c.out << c.err;
        EXPECT_EQ(row(c.out, "check").rfind("passed: ", 0), 0u) << name << ": " << row(c.out, "check");
        std::smatch planned, machine;
        std::string program = row(r.out, "program"), time = row(c.out, "machine time");
        ASSERT_TRUE(std::regex_search(program, planned, std::regex("planned ([0-9.]+) s"))) << program;
        ASSERT_TRUE(std::regex_search(time, machine, std::regex("^([0-9.]+) s planned"))) << time;
        EXPECT_EQ(planned[1], machine[1]) << name;
        EXPECT_EQ(row(c.out, "targets"), row(r.out, "segments sent")) << name;
    }
    Result bad = run("check " + kData + "/bad_program.nc");
    EXPECT_EQ(bad.code, 1);
    EXPECT_NE(bad.err.find("bad_program.nc:5: G1: feed move with no feed rate"), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find("telvo: error: " + kData + "/bad_program.nc: 10 problems\n"), std::string::npos) << bad.err;
}

TEST_F(Tool, SpindleAndCoolantFollowTheMotionAndGoOffAtTheEnd) {
    Result r = run("run " + kData + "/programs/linuxcnc_tools.nc --speed 0 --quiet --trace t.trace");
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("linuxcnc_tools.nc:4: message: load the stock, zero at the front left corner"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("linuxcnc_tools.nc:5: tool change to T1"), std::string::npos);
    Result d = run("decode t.trace");
    ASSERT_EQ(d.code, 0);
    // S12000 of 24000 rpm is half the value; M8 is bit 1, M7 bit 0.
    size_t on = d.out.find("SPINDLE (7) mode 1 value 32768");
    size_t flood = d.out.find("SET_OUTPUTS (6) outputs 0x0002");
    size_t off = d.out.find("SPINDLE (7) mode 0 value 0");
    size_t mist = d.out.find("SET_OUTPUTS (6) outputs 0x0001");
    ASSERT_NE(on, std::string::npos);
    ASSERT_NE(flood, std::string::npos);
    ASSERT_NE(off, std::string::npos);
    ASSERT_NE(mist, std::string::npos);
    EXPECT_LT(on, flood);
    EXPECT_LT(flood, off);
    EXPECT_LT(off, mist);
    // The spindle turns off only after the motion before M5 ran: blocks come
    // between the first spindle on and its off.
    EXPECT_NE(d.out.substr(on, off - on).find("BLOCK"), std::string::npos);

    // M0 stops the run with --stop-at-pause; the spindle still goes off.
    std::ofstream(dir_ / "pause.nc") << "S5000 M3\nG1 X5 F600\nM0\nG1 X10\nM30\n";
    Result p = run("run pause.nc --speed 0 --quiet --stop-at-pause --trace p.trace");
    ASSERT_EQ(p.code, 0) << p.out << p.err;
    EXPECT_EQ(row(p.out, "stopped"), "stopped at M0 on line 3");
    EXPECT_EQ(row(p.out, "final position"), "X 4000  Y 0  Z 0  A 0 steps");
    EXPECT_NE(run("decode p.trace").out.find("SPINDLE (7) mode 0"), std::string::npos);
    Result go = run("run pause.nc --speed 0 --quiet");
    ASSERT_EQ(go.code, 0) << go.err;
    EXPECT_NE(go.out.find("pause.nc:3: M0 pause: going on"), std::string::npos);
    EXPECT_EQ(row(go.out, "final position"), "X 8000  Y 0  Z 0  A 0 steps");
}

TEST_F(Tool, MachineFileErrorsNameTheKeyAndLine) {
    const std::string expected =
        "telvo: error: " + kData + "/bad_machine.toml:9: axis.y.max_velocity: must be from 1 to 524287 (got 900000)\n";
    Result r = run("run " + kData + "/arcs.nc --speed 0 --machine " + kData + "/bad_machine.toml");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, expected);
    Result check = run("machine " + kData + "/bad_machine.toml");
    EXPECT_EQ(check.code, 1);
    EXPECT_EQ(check.err, expected);

    // The built-in machine prints as a file that loads back.
    Result builtin = run("machine");
    ASSERT_EQ(builtin.code, 0);
    std::ofstream(dir_ / "mine.toml") << builtin.out;
    Result mine = run("machine mine.toml");
    ASSERT_EQ(mine.code, 0) << mine.err;
    EXPECT_NE(mine.out.find("A: 800 steps/mm, max 50 mm/s, acceleration 500 mm/s^2, follows Y"), std::string::npos) << mine.out;
}

TEST_F(Tool, DirectSubcommands) {
    Result info = run("info");
    ASSERT_EQ(info.code, 0) << info.err;
    EXPECT_NE(info.out.find("firmware    01.23"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("controller  simulated"), std::string::npos) << info.out;

    Result home = run("home z --speed 0");
    ASSERT_EQ(home.code, 0) << home.err;
    EXPECT_NE(home.out.find("homed Z; position X 0.000  Y 0.000  Z 0.000  A 0.000 mm"), std::string::npos) << home.out;
    Result all = run("home all --speed 0");
    ASSERT_EQ(all.code, 0) << all.err;
    EXPECT_NE(all.out.find("homed XYZA"), std::string::npos) << all.out;

    Result jog = run("jog y -v -10 --time 0.25 --speed 0");
    ASSERT_EQ(jog.code, 0) << jog.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(jog.out, m, std::regex("jogged Y by (-[0-9.]+) mm"))) << jog.out;
    EXPECT_LT(std::stod(m[1]), -2.0);
    EXPECT_GT(std::stod(m[1]), -3.0);

    Result status = run("status --time 0.05 --every 10 --speed 0");
    ASSERT_EQ(status.code, 0) << status.err;
    EXPECT_GE(std::count(status.out.begin(), status.out.end(), '\n'), 5);
    EXPECT_NE(status.out.find("state 0 event 0 flags 0x00  X     0.000"), std::string::npos) << status.out;

    Result probe = run("probe --start 10,20,0 --end 10,20,-5 -v 2 --speed 0 --quiet");
    ASSERT_EQ(probe.code, 0) << probe.out << probe.err;
    EXPECT_NE(probe.out.find("triggered at X 10.000  Y 20.000  Z -2.5"), std::string::npos) << probe.out;
    Result miss = run("probe --start 10,20,0 --end 10,20,-5 -v 2 --speed 0 --quiet --surface z=-9");
    EXPECT_EQ(miss.code, 1);
    EXPECT_NE(miss.out.find("ended without a trigger"), std::string::npos) << miss.out;
}

TEST_F(Tool, EveryErrorIsOneLineWithANonZeroExit) {
    struct Case {
        std::string args;
        int code;
        const char* message;
    } cases[] = {
        {"", 2, "telvo: error: A subcommand is required"},
        {"fly", 2, "telvo: error: "},
        {"run", 2, "FILE is required"},
        {"run missing.nc", 2, "File does not exist: missing.nc"},
        {"run " + kData + "/arcs.nc --speed -1", 2, "--speed"},
        {"home q --speed 0", 1, "telvo: error: 'q' is not an axis (x, y, z, a, b or c)"},
        {"home b --speed 0", 1, "telvo: error: axis B is not configured on this machine"},
        {"jog x -v 80 --speed 0", 1, "telvo: error: jog velocity 80 units/s is above axis X's max_velocity (50 units/s)"},
        {"jog a -v 1 --speed 0", 1, "telvo: error: axis A follows another axis"},
        {"probe --start 1,1,1 --end 1,1,1 -v 2 --speed 0", 1, "telvo: error: the probing move is empty"},
        {"probe --start 1,x --end 1 -v 2 --speed 0", 1, "telvo: error: --start: 'x' is not a number"},
        {"probe --start 1 --end 2 -v 0 --speed 0", 1, "telvo: error: --velocity must be above 0"},
        {"decode " + kData + "/arcs.nc", 1, "telvo: error: not a telvo trace"},
    };
    for (const Case& k : cases) {
        Result r = run(k.args);
        EXPECT_EQ(r.code, k.code) << k.args << "\n" << r.err;
        EXPECT_EQ(lines(r.err), 1u) << k.args << "\n" << r.err;
        EXPECT_NE(r.err.find(k.message), std::string::npos) << k.args << "\n" << r.err;
    }
}

TEST_F(Tool, RealControllerCommands) {
    Result rule = run("udev-rule 1209:7E10");
    ASSERT_EQ(rule.code, 0) << rule.err;
    EXPECT_NE(rule.out.find("SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"1209\", "
                            "ATTR{idProduct}==\"7e10\", TAG+=\"uaccess\"\n"),
              std::string::npos)
        << rule.out;
    Result shortIds = run("udev-rule 12:345");
    ASSERT_EQ(shortIds.code, 0) << shortIds.err;
    EXPECT_NE(shortIds.out.find("ATTR{idVendor}==\"0012\", ATTR{idProduct}==\"0345\""), std::string::npos);
    for (const char* bad : {"12345:1", "12:", "xyz:1", "1209-7e10"}) {
        Result r = run(std::string("udev-rule ") + bad);
        EXPECT_EQ(r.code, 1) << bad;
        EXPECT_EQ(lines(r.err), 1u) << r.err;
        EXPECT_NE(r.err.find("is not VID:PID"), std::string::npos) << r.err;
    }
    EXPECT_EQ(run("udev-rule").code, 2);

    // The USB backend on a machine without the controller: said plainly.
    Result none = run("info --controller usb");
    EXPECT_EQ(none.code, 1) << none.out;
    EXPECT_NE(none.err.find("telvo: error: no controller found on USB"), std::string::npos) << none.err;
    // A real machine is never driven with the built-in demonstration machine.
    Result demoMachine = run("run " + kData + "/arcs.nc --controller usb");
    EXPECT_EQ(demoMachine.code, 1);
    EXPECT_NE(demoMachine.err.find("a real controller needs its own machine file"), std::string::npos)
        << demoMachine.err;
}

TEST_F(Tool, EverySubcommandHasHelp) {
    for (const char* sub : {"info", "run", "check", "probe", "home", "jog", "status", "demo", "decode", "machine", "udev-rule"}) {
        Result r = run(std::string(sub) + " --help");
        EXPECT_EQ(r.code, 0) << sub;
        EXPECT_NE(r.out.find(std::string("Usage: telvo ") + sub), std::string::npos) << r.out;
    }
    Result top = run("--help");
    EXPECT_EQ(top.code, 0);
    for (const char* sub : {"info", "run", "check", "probe", "home", "jog", "status", "demo", "decode", "machine", "udev-rule"}) {
        EXPECT_NE(top.out.find(std::string("\n  ") + sub), std::string::npos) << sub;
    }
}

// A program on a machine whose every key differs from the built-in one
// (tests/tool/data/every_key.toml, an inch machine): the spindle packets in
// its modes and scale, the spin-up after M3 and after M4, its coolant bits,
// and where it stands at each of them: G54, G28, G30, G55, the tool change
// position, tool lengths under G43 and G43 H, G59.3; M6 raising the quill
// to machine Z 0 first (tool_change_quill_up); nothing leaves the travel.
TEST_F(Tool, AUsersMachineFileDrivesTheSpindleCoolantAndPositions) {
    std::ofstream(dir_ / "every.nc") << "G90 G17 G94\n"
                                        "G0 X1 Y1 Z0.5\n"
                                        "M9\n"
                                        "G28\n"
                                        "M8\n"
                                        "G30\n"
                                        "M7\n"
                                        "G55 G0 X0 Y0 Z0\n"
                                        "M9\n"
                                        "T7 M6\n"
                                        "S1200 M3\n"
                                        "G43 G0 X1 Y1 Z0.5\n"
                                        "M4 S3000\n"
                                        "G43 H2 G0 Z0\n"
                                        "M5\n"
                                        "G59.3 G0 X0 Y0 Z0\n"
                                        "M3 S600\n"
                                        "M8\n"
                                        "G0 X0.5\n"
                                        "M30\n";
    Result r = run("run every.nc -m " + kEveryKey + " --speed 0 --quiet --trace every.trace");
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(row(r.out, "end point reached"), "yes");
    EXPECT_EQ(row(r.out, "final position"), "X 190000  Y 72000  Z -37500  B 72000 steps");
    DirectCommands d = directCommands(dir_ / "every.trace");
    // S / max_rpm 6000 * value_at_max 4000; S / 60 * steps_per_rev 400.
    const std::vector<std::pair<std::string, std::string>> expected = {
        {outputs("0x0000"), inches(1.5, 1.25, 0.75)},              // G54 0.5 0.25 0.25
        {outputs("0x0200"), inches(1, 2, 2.5)},                    // G28; flood bit 9
        {outputs("0x0220"), inches(12, 8, 1.5)},                   // G30; mist bit 5
        {outputs("0x0000"), inches(2, 1, -1)},                     // G55
        {spindle(3, 800, 8000), inches(13, 0.5, 2.75)},            // M6 at the tool change position
        {spindle(4, 2000, 20000), inches(3, 2, -1)},               // tool 7: -0.5
        {spindle(5, 0, 0), inches(3, 2, 0.25)},                    // tool 2: 1.25
        {spindle(3, 400, 4000), inches(9, 4.5, -1.5)},             // G59.3, tool 2
        {outputs("0x0200"), inches(9, 4.5, -1.5)},
        {spindle(5, 0, 0), inches(9.5, 4.5, -1.5)},                // M30: off without M5 ...
        {outputs("0x0000"), inches(9.5, 4.5, -1.5)},               // ... and without M9
        {outputs("0x0000"), inches(9.5, 4.5, -1.5)},               // telvo_Disconnect's own
    };
    std::vector<std::pair<std::string, std::string>> got;
    for (const Direct& c : d.list) got.push_back({c.text, c.at});
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(d.insideTravel);
    // spin_up 0.75 s after every start, M4's too: nothing moves, nothing else is sent.
    for (size_t k : {4u, 5u, 7u}) {
        ASSERT_LT(k, d.list.size());
        EXPECT_GE(d.list[k].stillSeconds, 0.75) << d.list[k].text;
        EXPECT_LT(d.list[k].stillSeconds, 0.80) << d.list[k].text;
    }
    // Without a spin-up the next move follows at once.
    EXPECT_LT(d.list[6].stillSeconds, 0.05);
    // M6 from G55's X 2: X starts across only once Z has come up to machine
    // 0 (the blend around that corner begins a few times its tolerance,
    // 0.002 inch, before it: within 0.01 inch).
    bool across = false;
    for (const auto& p : d.list[3].path) {
        if (p[0] == 2 * kStepsX) continue;
        across = true;
        EXPECT_LE(std::abs(p[2]), kStepsZ / 100) << "Z " << p[2] << " when X left " << 2 * kStepsX;
        break;
    }
    EXPECT_TRUE(across);
}

// A run that fails in the middle (no answer at the tool change prompt)
// switches the spindle and the coolant off before it lets the controller go.
TEST_F(Tool, ARunThatFailsMidProgramSwitchesTheSpindleAndCoolantOff) {
    std::ofstream(dir_ / "change.nc") << "S1200 M3\nM8\nG1 X1 F60\nT2 M6\nG1 X2\nM30\n";
    Result r = run("run change.nc -m " + kEveryKey + " --speed 0 --quiet --pause-at-tool-change --trace t.trace");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("telvo: error: change.nc:4: stopped at the tool change (no answer on the input)"),
              std::string::npos)
        << r.err;
    DirectCommands d = directCommands(dir_ / "t.trace");
    EXPECT_EQ(texts(d), (std::vector<std::string>{spindle(3, 800, 8000), outputs("0x0200"), spindle(5, 0, 0),
                                                  outputs("0x0000"), outputs("0x0000")}));
    ASSERT_EQ(d.list.size(), 5u);
    EXPECT_EQ(d.list[2].at, inches(13, 0.5, 2.75));  // stopped at the change, X2 never began
    EXPECT_EQ(d.last[0], 13 * kStepsX);
    EXPECT_GE(d.stops, 1);
}

// Ctrl-C (SIGINT) while the machine cuts, and while the tool waits for the
// operator at a tool change: exit 130, the machine stopped, spindle and
// coolant off. The run is real time so that the cut lasts (30 s) well
// beyond the signal; the waits are watchdogs only.
TEST_F(Tool, CtrlCStopsTheMachineWithTheSpindleAndCoolantOff) {
    std::ofstream(dir_ / "long.nc") << "S1200 M3\nM8\nG1 X10 F20\nM30\n";
    {
        Child c(dir_, {"run", "long.nc", "-m", kEveryKey, "--speed", "1", "--quiet", "--trace", "long.trace"});
        ASSERT_TRUE(c.started());
        ASSERT_TRUE(c.waitFor("coolant flood", 60.0)) << c.output();
        c.signal(SIGINT);
        EXPECT_EQ(c.wait(60.0), 130) << c.output();
        EXPECT_NE(readAll(dir_ / "err.txt").find("telvo: interrupted; machine stopped and controller released"),
                  std::string::npos)
            << readAll(dir_ / "err.txt");
        DirectCommands d = directCommands(dir_ / "long.trace");
        EXPECT_EQ(texts(d), (std::vector<std::string>{spindle(3, 800, 8000), outputs("0x0200"), spindle(5, 0, 0),
                                                      outputs("0x0000"), outputs("0x0000")}));
        EXPECT_GE(d.stops, 1);
        EXPECT_LT(d.last[0], 10 * kStepsX);
    }
    std::ofstream(dir_ / "change.nc") << "S1200 M3\nM8\nG1 X1 F60\nT2 M6\nG1 X2\nM30\n";
    {
        Child c(dir_, {"run", "change.nc", "-m", kEveryKey, "--speed", "0", "--quiet", "--pause-at-tool-change",
                       "--trace", "change.trace"});
        ASSERT_TRUE(c.started());
        ASSERT_TRUE(c.waitFor("press Enter to go on", 60.0)) << c.output();
        c.signal(SIGINT);
        // The prompt gives way at once, without Enter.
        EXPECT_EQ(c.wait(20.0), 130) << c.output();
        DirectCommands d = directCommands(dir_ / "change.trace");
        EXPECT_EQ(texts(d), (std::vector<std::string>{spindle(3, 800, 8000), outputs("0x0200"), spindle(5, 0, 0),
                                                      outputs("0x0000"), outputs("0x0000")}));
        EXPECT_GE(d.stops, 1);
        EXPECT_EQ(d.list.at(2).at, inches(13, 0.5, 2.75));
    }
}
