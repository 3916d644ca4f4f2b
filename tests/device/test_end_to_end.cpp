// The main job end to end: a host loop streams a long, smooth six-axis path
// with slaving through the simulated machine, and every executed segment is
// checked against what was added: none lost, duplicated or reordered, and
// each axis's counter at floor(target + 0.5).
#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>

#include "harness.h"

namespace telvo_test {
namespace {

// A smooth path: per axis a sum of slow sinusoids, a few thousand steps wide,
// moving up to about 25 steps per millisecond.
class Path {
public:
    explicit Path(uint32_t seed) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> amp(200.0, 3000.0);
        std::uniform_real_distribution<double> freq(0.05, 0.8);  // Hz
        std::uniform_real_distribution<double> phase(0.0, 6.28);
        std::uniform_real_distribution<double> offset(-20000.0, 20000.0);
        for (auto& axis : waves_) {
            for (auto& w : axis) w = {amp(rng), freq(rng) * 2 * M_PI / 1000.0, phase(rng)};
        }
        for (double& o : offsets_) o = offset(rng);
    }
    double at(int axis, int64_t ms) const {
        double v = offsets_[axis];
        for (const auto& w : waves_[axis]) v += w.amplitude * std::sin(w.omega * static_cast<double>(ms) + w.phase);
        return v;
    }
    MotionSegment segmentAt(int64_t n) const {
        MotionSegment s;
        std::memset(&s, 0, sizeof s);
        for (int a = 0; a < 6; ++a) s.target[a] = at(a, n);
        s.tag = static_cast<int32_t>(n);
        s.segmentCode = static_cast<uint8_t>(n * 7);
        s.segmentAux = static_cast<uint8_t>(n);
        return s;
    }

private:
    struct Wave {
        double amplitude, omega, phase;
    };
    Wave waves_[6][3];
    double offsets_[6];
};

class EndToEnd : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        tsim_set_scripted(0);
        openClean();
        MachineConfig config;
        std::memset(&config, 0, sizeof config);
        IoConfig io;
        std::memset(&io, 0, sizeof io);
        config.axes[4].slaveOf = 2;  // axis 4 follows axis 1
        config.axes[5].slaveOf = 5;  // axis 5 follows axis 4, hence axis 1
        ASSERT_EQ(1, telvo_Init(&config, &io));
    }

    // Puts the machine where the path starts and aligns the stream with it.
    void startAt(const Path& path) {
        int32_t position[7] = {};
        for (int a = 0; a < 6; ++a) position[a] = static_cast<int32_t>(std::floor(path.at(a, 0) + 0.5));
        position[4] = position[5] = position[1];
        tsim_set_position(position);
        MachineStatus record;
        for (int i = 0; i < 10 && telvo_GetStatus(&record) == 0; ++i) tsim_advance_ms(1);
        telvo_PosResync();
    }

    // Checks the executed log against the path.
    void verify(const Path& path, int64_t total) {
        ASSERT_EQ(total, tsim_executed_count());
        static constexpr int kMaster[6] = {0, 1, 2, 3, 1, 1};
        for (int64_t n = 0; n < total; ++n) {
            tsim_executed e;
            ASSERT_EQ(1, tsim_executed_get(n, &e)) << n;
            ASSERT_EQ(n % 5000, e.slotIndex) << n;
            const MotionSegment s = path.segmentAt(n);
            ASSERT_EQ(s.segmentAux, e.segmentAux) << n;
            for (int a = 0; a < 6; ++a) {
                const double t = s.target[kMaster[a]];
                ASSERT_EQ(static_cast<int32_t>(std::floor(t + 0.5)), e.position[a]) << "segment " << n << " axis " << a;
            }
        }
        EXPECT_EQ(0, tsim_protocol_error_count()) << (tsim_protocol_error_count() ? tsim_protocol_error_text(0) : "");
    }
};

TEST_F(EndToEnd, StreamsAHundredThousandSegmentsExactly) {
    const Path path(1);
    startAt(path);
    constexpr int64_t kTotal = 100000;
    int64_t added = 0;
    MachineStatus record;
    int64_t lastTag = -1;
    bool tagsInOrder = true;
    for (int64_t cycle = 0; cycle < 4 * kTotal && tsim_executed_count() < kTotal; ++cycle) {
        tsim_advance_ms(1);
        if (telvo_GetStatus(&record) == 1) {
            if (record.segmentTag < lastTag) tagsInOrder = false;
            lastTag = record.segmentTag;
            telvo_BufUpdate();
        }
        while (added < kTotal && telvo_BufFreeCnt() > 0) {
            const MotionSegment s = path.segmentAt(added);
            ASSERT_EQ(1, telvo_BufAdd(&s));
            ++added;
        }
    }
    EXPECT_TRUE(tagsInOrder);
    EXPECT_GT(lastTag, kTotal - 100);
    verify(path, kTotal);
}

TEST_F(EndToEnd, AddsFromAnotherThreadWhileStreaming) {
    const Path path(2);
    startAt(path);
    constexpr int64_t kTotal = 40000;
    std::atomic<bool> stop{false};
    std::atomic<bool> allAdded{false};
    std::thread adder([&] {
        int64_t added = 0;
        while (added < kTotal && !stop.load()) {
            if (telvo_BufFreeCnt() > 0) {
                const MotionSegment s = path.segmentAt(added);
                if (telvo_BufAdd(&s) == 1) ++added;
            } else {
                std::this_thread::yield();
            }
        }
        allAdded.store(added == kTotal);
    });
    // The adder may be starved for any number of host cycles on a loaded
    // machine, so the simulated budget starts only once everything is added:
    // each segment still queued then needs one millisecond, plus a margin.
    // The wall clock bounds the wait as a watchdog only.
    MachineStatus record;
    int64_t budgetLeft = kTotal + 1000;
    const auto watchdog = std::chrono::steady_clock::now() + std::chrono::seconds(600);
    for (int64_t cycle = 0; tsim_executed_count() < kTotal && budgetLeft > 0; ++cycle) {
        tsim_advance_ms(1);
        if (telvo_GetStatus(&record) == 1) telvo_BufUpdate();
        if (allAdded.load()) --budgetLeft;
        if (cycle % 64 == 0) {
            std::this_thread::yield();
            if (std::chrono::steady_clock::now() > watchdog) break;
        }
    }
    stop.store(true);
    adder.join();
    ASSERT_TRUE(allAdded.load()) << "the adder never finished within the watchdog";
    verify(path, kTotal);
}

}  // namespace
}  // namespace telvo_test
