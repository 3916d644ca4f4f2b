// The library over the USB module, end to end: libtelvo.so -> libtelvo_usb.so
// -> libusb -> emulated usbdevfs -> the simulator's machine. The same checks
// as against the simulated backend: opening and the firmware version,
// configuration bytes, status, homing, probing, streaming with every segment
// executed once at floor(target + 0.5), and an unplug mid-stream.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "telvo/telvo.h"
#include "usb_test.h"

namespace usbtest {
namespace {

// The exports used here, bound from the loaded library.
struct Library {
#define TELVO_ENTRY(name) decltype(&::telvo_##name) name = nullptr;
#define TELVO_ENTRIES(X)                                                                                    \
    X(Open) X(Close) X(GetFirmwareVersion) X(Init) X(GetStatus) X(CmdStop) X(CmdHomeAxis) X(IsHoming)       \
        X(IsProbing) X(GetProbeResult) X(CmdProbe) X(GetProbePos) X(BufAdd) X(BufFreeCnt) X(BufUpdate)     \
            X(PosResync) X(BufEmpty) X(CmdSpindle)
    TELVO_ENTRIES(TELVO_ENTRY)
#undef TELVO_ENTRY
    void* handle = nullptr;

    bool load(const char* path) {
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return false;
        bool all = true;
#define TELVO_BIND(name)                                                        \
    name = reinterpret_cast<decltype(name)>(dlsym(handle, "telvo_" #name)); \
    all = all && name != nullptr;
        TELVO_ENTRIES(TELVO_BIND)
#undef TELVO_BIND
        return all;
    }
};

// The library binds its backend module once per process and keeps it, so a
// process serves one test of this file; ctest runs each test on its own.
bool libraryUsed = false;

// Everything the process writes on stderr during a test, where the module
// presents the library's failure message.
class StderrCapture {
public:
    void start() {
        char name[] = "/tmp/telvo-usb-stderr-XXXXXX";
        file_ = mkstemp(name);
        unlink(name);
        std::fflush(stderr);
        saved_ = dup(2);
        dup2(file_, 2);
    }
    std::string stop() {
        if (saved_ < 0) return {};
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
        std::string text;
        char chunk[4096];
        lseek(file_, 0, SEEK_SET);
        ssize_t n = 0;
        while ((n = read(file_, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
        close(file_);
        // Passed on, so that nothing written meanwhile (a sanitizer's report)
        // goes unseen.
        std::fputs(text.c_str(), stderr);
        return text;
    }

private:
    int file_ = -1;
    int saved_ = -1;
};

int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class Stack : public BenchTest {
protected:
    void SetUp() override {
        if (libraryUsed) GTEST_SKIP() << "one test of the library per process (ctest runs them so)";
        libraryUsed = true;
        BenchTest::SetUp();
        tsim_set_scripted(1);
    }
    // Loads the library, which binds the module TELVO_BACKEND names.
    void load() {
        setenv("TELVO_BACKEND", TELVO_USB_MODULE, 1);
        capture.start();
        ASSERT_TRUE(t.load(TELVO_LIBRARY)) << dlerror();
    }
    void TearDown() override {
        if (t.handle == nullptr) {
            if (bench) BenchTest::TearDown();
            return;
        }
        t.Close();
        messages = capture.stop();
        BenchTest::TearDown();
    }
    // Polls until a status frame arrives through the stack.
    bool frame(MachineStatus* record) {
        return waitFor([&] { return t.GetStatus(record) == 1; });
    }
    void openAndConfigure() {
        ASSERT_EQ(1, t.Open());
        MachineConfig config;
        std::memset(&config, 0, sizeof config);
        IoConfig io;
        std::memset(&io, 0, sizeof io);
        for (int a = 0; a < 7; ++a) {
            config.axes[a].stepsPerUnit = 1000 + a;
            config.axes[a].maxVelocity = 50000;
            config.axes[a].acceleration = 100000;
        }
        config.axes[4].slaveOf = 2;  // axis 4 follows axis 1
        config.axes[5].slaveOf = 5;  // axis 5 follows axis 4, hence axis 1
        ASSERT_EQ(1, t.Init(&config, &io));
    }

    Library t;
    StderrCapture capture;
    std::string messages;
};

TEST_F(Stack, OpensReadsTheFirmwareAndCancelsTheReadAtClose) {
    bench->add({.port = 2});
    load();
    ASSERT_EQ(1, t.Open());
    EXPECT_STREQ("01.23", t.GetFirmwareVersion());
    EXPECT_TRUE(bench->log(0).claimed);
    MachineStatus record;
    EXPECT_EQ(0, t.GetStatus(&record));  // starts the read; scripted machine: no frame
    ASSERT_TRUE(waitFor([&] { return bench->log(0).pendingIn == 1; }));
    t.Close();
    const DeviceLog log = bench->log(0);
    EXPECT_FALSE(log.claimed);
    EXPECT_EQ(1, log.discards);
    EXPECT_EQ(0, log.pendingIn);
    EXPECT_EQ(1, tsim_control_count());
}

TEST_F(Stack, WithoutAControllerNothingOpens) {
    bench->add({.port = 1, .declares = Declares::msOs20, .guid = kOtherGuid});
    load();
    EXPECT_EQ(0, t.Open());
    EXPECT_STREQ("00.00", t.GetFirmwareVersion());
    EXPECT_EQ(0, t.CmdStop(0));
    EXPECT_FALSE(bench->log(0).claimed);
}

TEST_F(Stack, AStalledFirmwareRequestLeavesAWorkingLink) {
    bench->add({.port = 1});
    bench->stallFirmwareRequest(0);
    load();
    EXPECT_EQ(1, t.Open());
    EXPECT_STREQ("00.00", t.GetFirmwareVersion());
    EXPECT_EQ(1, t.CmdStop(0));
    EXPECT_EQ(1, tsim_command_count(14));
    EXPECT_EQ(1, bench->log(0).firmwareRequests);
}

TEST_F(Stack, AShortCommandWriteClosesTheLinkWithOneMessage) {
    bench->add({.port = 1});
    load();
    ASSERT_EQ(1, t.Open());
    tsim_inject(TSIM_FAULT_COMMAND_WRITE_SHORT, 0, 0);
    EXPECT_EQ(0, t.CmdStop(0));   // the device took one byte less
    EXPECT_EQ(0, t.CmdStop(0));   // the link is closed: quiet
    EXPECT_FALSE(bench->log(0).claimed);
    messages = capture.stop();
    EXPECT_EQ(1, occurrences(messages, "Error writing to device!")) << messages;
}

TEST_F(Stack, ConfigurationStatusAndHoming) {
    bench->add({.port = 1});
    load();
    openAndConfigure();
    uint8_t axis[262];
    ASSERT_EQ(1, tsim_axis_config(axis));
    const std::vector<uint8_t> a(axis, axis + 262);
    for (int k = 0; k < 7; ++k) {
        const size_t r = 34u * static_cast<size_t>(k);
        EXPECT_EQ(1000 + k, static_cast<int32_t>(a[r] | a[r + 1] << 8 | a[r + 2] << 16 | a[r + 3] << 24)) << k;
    }
    EXPECT_EQ(2, a[4 * 34 + 24]);
    EXPECT_EQ(1, tsim_command_count(11));

    // Status: the machine's counters arrive in the record.
    tsim_set_scripted(0);
    const int32_t position[7] = {100, -200, 300, -400, 500, 600, 7};
    tsim_set_position(position);
    MachineStatus record;
    tsim_advance_ms(1);
    ASSERT_TRUE(frame(&record));
    for (int i = 0; i < 7; ++i) EXPECT_EQ(position[i], record.position[i]) << i;

    // Homing: busy until the machine reports the end.
    ASSERT_EQ(1, t.CmdHomeAxis(2));
    EXPECT_EQ(1, t.IsHoming());
    bool ended = false;
    for (int ms = 0; ms < 200 && !ended; ++ms) {
        tsim_advance_ms(1);
        ASSERT_TRUE(frame(&record));
        ended = t.IsHoming() == 0;
    }
    EXPECT_TRUE(ended);
    EXPECT_EQ(0, tsim_protocol_error_count()) << tsim_protocol_error_text(0);
}

TEST_F(Stack, ProbingMeetsTheSurface) {
    bench->add({.port = 1});
    load();
    openAndConfigure();
    tsim_set_scripted(0);
    MachineStatus record;
    tsim_advance_ms(1);
    ASSERT_TRUE(frame(&record));
    t.PosResync();
    tsim_set_probe_surface(0, 6000, 1);
    const double start[6] = {0, 0, 0, 0, 0, 0};
    const double end[6] = {10000, 0, 0, 0, 0, 0};
    ASSERT_EQ(1, t.CmdProbe(start, end, 20.0));
    int32_t trigger = 0;
    bool triggered = false;
    for (int ms = 0; ms < 5000 && t.IsProbing() == 1; ++ms) {
        tsim_advance_ms(1);
        ASSERT_TRUE(frame(&record));
        if (record.event == 7) {
            triggered = true;
            trigger = record.position[0];
        }
        t.BufUpdate();
    }
    ASSERT_TRUE(triggered);
    EXPECT_EQ(3, t.GetProbeResult());
    double pos[6];
    ASSERT_EQ(1, t.GetProbePos(pos));
    EXPECT_EQ(trigger, pos[0]);
    EXPECT_GE(pos[0], 6000);
    EXPECT_LT(pos[0], 6100);
    EXPECT_EQ(0, tsim_protocol_error_count()) << tsim_protocol_error_text(0);
}

// A smooth six-axis path, a few thousand steps wide.
class Path {
public:
    explicit Path(uint32_t seed) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> amp(200.0, 3000.0);
        std::uniform_real_distribution<double> freq(0.05, 0.8);
        std::uniform_real_distribution<double> phase(0.0, 6.28);
        for (auto& w : waves_) w = {amp(rng), freq(rng) * 2 * M_PI / 1000.0, phase(rng)};
    }
    double at(int axis, int64_t ms) const {
        const Wave& w = waves_[axis];
        return w.amplitude * std::sin(w.omega * static_cast<double>(ms) + w.phase);
    }
    MotionSegment segmentAt(int64_t n) const {
        MotionSegment s;
        std::memset(&s, 0, sizeof s);
        for (int a = 0; a < 6; ++a) s.target[a] = at(a, n);
        s.tag = static_cast<int32_t>(n);
        s.segmentAux = static_cast<uint8_t>(n);
        return s;
    }

private:
    struct Wave {
        double amplitude, omega, phase;
    };
    Wave waves_[6];
};

class Streaming : public Stack {
protected:
    // Puts the machine where the path starts and aligns the stream with it.
    void startAt(const Path& path) {
        int32_t position[7] = {};
        for (int a = 0; a < 6; ++a) position[a] = static_cast<int32_t>(std::floor(path.at(a, 0) + 0.5));
        position[4] = position[5] = position[1];
        tsim_set_scripted(0);
        tsim_set_position(position);
        MachineStatus record;
        tsim_advance_ms(1);
        ASSERT_TRUE(frame(&record));
        t.PosResync();
    }
    // The host loop: the machine runs two milliseconds, the host waits for
    // the frame, updates and tops the queue up. Ends when `executed` ran or
    // when `stopAt` says so.
    void stream(const Path& path, int64_t total, int64_t* added, int64_t unplugAt = -1) {
        MachineStatus record;
        for (int cycle = 0; cycle < 20 * total && tsim_executed_count() < total; ++cycle) {
            if (unplugAt >= 0 && tsim_executed_count() >= unplugAt) return;
            tsim_advance_ms(2);
            ASSERT_TRUE(frame(&record)) << "no frame at cycle " << cycle;
            t.BufUpdate();
            while (*added < total && t.BufFreeCnt() > 0) {
                const MotionSegment s = path.segmentAt(*added);
                ASSERT_EQ(1, t.BufAdd(&s));
                ++*added;
            }
        }
    }
    // Every executed segment is the path's next one, at floor(target + 0.5).
    void verify(const Path& path, int64_t executed) {
        static constexpr int kMaster[6] = {0, 1, 2, 3, 1, 1};
        for (int64_t n = 0; n < executed; ++n) {
            tsim_executed e;
            ASSERT_EQ(1, tsim_executed_get(n, &e)) << n;
            const MotionSegment s = path.segmentAt(n);
            ASSERT_EQ(s.segmentAux, e.segmentAux) << n;
            for (int a = 0; a < 6; ++a) {
                const double target = s.target[kMaster[a]];
                ASSERT_EQ(static_cast<int32_t>(std::floor(target + 0.5)), e.position[a]) << "segment " << n << " axis " << a;
            }
        }
    }
};

TEST_F(Streaming, EverySegmentExecutesOnceAtItsTarget) {
    bench->add({.port = 1});
    load();
    openAndConfigure();
    const Path path(11);
    startAt(path);
    constexpr int64_t kTotal = 4000;
    int64_t added = 0;
    stream(path, kTotal, &added);
    ASSERT_EQ(kTotal, tsim_executed_count());
    verify(path, kTotal);
    EXPECT_EQ(0, tsim_protocol_error_count()) << tsim_protocol_error_text(0);
}

TEST_F(Streaming, UnplugMidStreamShowsOneMessageAndRepeatsNothing) {
    bench->add({.port = 1});
    load();
    openAndConfigure();
    const Path path(12);
    startAt(path);
    constexpr int64_t kTotal = 4000;
    int64_t added = 0;
    stream(path, kTotal, &added, 1500);
    bench->unplug(0);
    const int64_t executed = tsim_executed_count();
    ASSERT_GE(executed, 1500);

    // The host goes on: no frame arrives, block writes fail quietly, and the
    // first command write reports the loss once.
    MachineStatus record;
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(0, t.GetStatus(&record));
        t.BufUpdate();
    }
    EXPECT_EQ(0, t.CmdSpindle(0, 0, 0));
    EXPECT_EQ(0, t.CmdStop(0));
    EXPECT_EQ(0, t.GetStatus(&record));
    messages = capture.stop();
    EXPECT_EQ(1, occurrences(messages, "Error writing to device!")) << messages;
    EXPECT_EQ(executed, tsim_executed_count());
    verify(path, executed);
}

}  // namespace
}  // namespace usbtest
