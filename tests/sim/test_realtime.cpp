// Real-time mode: the ticker thread advances the clock, completes reads, and
// stops cleanly; freeing an interface races it safely; exit with it running.
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "sim_harness.h"

using namespace sim_test;

namespace {

// Waits (bounded) until pred holds; the bound only keeps a broken build from
// hanging, no result depends on how long it takes.
template <typename Pred>
bool eventually(Pred pred) {
    for (int i = 0; i < 10000; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

struct CancelProbe {
    std::atomic<bool> freed{false};
    std::atomic<int> lateCompletions{0};
    uint8_t buffer[60];
    static void done(void* context) {
        CancelProbe& p = *static_cast<CancelProbe*>(context);
        if (p.freed.load()) p.lateCompletions.fetch_add(1);
    }
};

}  // namespace

TEST_F(BackendTest, RealtimeThreadCompletesReadsAndStopsCleanly) {
    EXPECT_EQ(0, tsim_realtime_running());
    ASSERT_EQ(0, send(steps(0, 50, 1)));
    readNow();
    Read r;
    ASSERT_EQ(0, r.start(iface));
    tsim_set_realtime(20.0);
    EXPECT_EQ(1, tsim_realtime_running());
    ASSERT_TRUE(eventually([&] { return r.completions.load() == 1; }));
    ASSERT_TRUE(eventually([] { return tsim_executed_count() == 50; }));
    int32_t counters[7];
    tsim_position(counters);
    EXPECT_EQ(50, counters[0]);

    tsim_set_realtime(0.0);
    EXPECT_EQ(0, tsim_realtime_running());
    const int64_t stopped = tsim_clock_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(stopped, tsim_clock_ms());  // nothing advances after the join

    // Reset also stops the thread.
    tsim_set_realtime(1.0);
    EXPECT_EQ(1, tsim_realtime_running());
    tsim_reset();
    EXPECT_EQ(0, tsim_realtime_running());
    EXPECT_EQ(0, tsim_protocol_error_count()) << joined(protocolErrors());
    ASSERT_EQ(0, telvo_backend_open("sim://controller/0", &file));
    ASSERT_EQ(0, telvo_backend_initialize(file, &iface));
}

TEST_F(BackendTest, FreeCancelsReadsRacingTheRealtimeThread) {
    telvo_backend_free(iface);
    iface = nullptr;
    tsim_set_realtime(1000.0);
    std::vector<std::unique_ptr<CancelProbe>> probes;
    for (int i = 0; i < 300; ++i) {
        telvo_backend_interface own = nullptr;
        ASSERT_EQ(0, telvo_backend_initialize(file, &own));
        probes.push_back(std::make_unique<CancelProbe>());
        CancelProbe& p = *probes.back();
        // Take the frame that is due at once so that the next read is
        // pending when the thread and the free meet.
        Read ready;
        ASSERT_EQ(0, ready.start(own));
        ASSERT_EQ(0, telvo_backend_read_pipe_async(own, 0x81, p.buffer, 60, &CancelProbe::done, &p));
        if (i % 3 == 0) std::this_thread::yield();
        telvo_backend_free(own);
        p.freed.store(true);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    tsim_set_realtime(0.0);
    int late = 0;
    for (const auto& p : probes) late += p->lateCompletions.load();
    EXPECT_EQ(0, late);
    ASSERT_EQ(0, telvo_backend_initialize(file, &iface));
}

TEST(SimRealtimeExit, ProcessExitsWithTheThreadRunning) {
    EXPECT_EXIT(
        {
            tsim_reset();
            tsim_set_realtime(1000.0);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
