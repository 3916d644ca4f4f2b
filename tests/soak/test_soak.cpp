// The soak: a long stream through the library with two host threads, random
// pauses and random purges, checked segment by segment against what was
// added.
//
// Threads. The adder thread only adds (telvo_BufFreeCnt, telvo_BufAdd),
// pausing now and then for a random moment. The main thread is the host's
// control loop: it advances the simulated machine by a random 1 to 6 ms,
// polls the status, streams with telvo_BufUpdate, now and then stops
// streaming for a while (the machine runs dry and waits), and now and then
// purges.
//
// A purge is the host's own decision and follows its own policy, so that
// what it discards is known exactly:
//   1. ask the adder to park and wait until it has (no add is half done);
//   2. empty the host queue (telvo_BufClear) and purge the controller
//      (telvo_CmdPurge(0)); every segment added and not yet executed is
//      discarded, and nothing else;
//   3. wait for a fresh frame, which must show the machine at rest with an
//      empty buffer, and realign the stream with it (telvo_PosResync);
//   4. continue the path from the machine's position (a new epoch) and let
//      the adder go on with the next segment number.
// Purges are made only right after a frame that shows the controller
// holding segments, so the purge drops some and the machine comes to rest
// in the middle of its step, where the realigned stream starts.
//
// Checked: every segment executed is the next one added in its epoch (none
// lost, duplicated or reordered), with the slot index, codes and counters
// (floor(target + 0.5) on every axis) it was added with; at each purge the
// segments executed plus those the controller held equal those sent; the
// tag the status reports is that of a segment executed since the previous
// poll; every write is well-formed and the blocks carry exactly the
// segments telvo_BufUpdate reported; at the end everything added in the
// last epoch executed and the counters equal floor(target + 0.5) of the
// last segment; no protocol error, no message.
//
// A second run moves the simulated clock from a third thread, the
// controller's own: status reads then complete on that thread, as USB
// completions do, while the host thread polls. It has no purges (a purge
// needs the machine to stand still between a frame and the purge) and
// checks the same sequence with a quarter of the segments.
//
// TELVO_SOAK_SEGMENTS sets the segments to execute (default 1,000,000),
// TELVO_SOAK_SEED the seed (default 1).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "telvo/telvo.h"
#include "telvo_sim.h"
#include "wire_check.h"

namespace {

int64_t envInt(const char* name, int64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoll(text, nullptr, 10) : fallback;
}

// The path: per axis two slow waves, up to about 12 steps per millisecond.
double wave(int axis, int64_t seq) {
    static const double amplitude[6][2] = {{2000, 400}, {-1500, 700}, {900, -300}, {2500, 0}, {300, 300}, {-700, 120}};
    static const double period[6][2] = {{3000, 500}, {2200, 800}, {1300, 350}, {5100, 1}, {900, 410}, {1700, 230}};
    double v = 0.0;
    for (int k = 0; k < 2; ++k) {
        v += amplitude[axis][k] * std::sin(2.0 * M_PI * static_cast<double>(seq) / period[axis][k]);
    }
    return v;
}

// An epoch runs from one purge to the next: its path starts at the
// machine's position when it began.
struct Epoch {
    int64_t firstSeq;
    double anchor[6];
};

double target(const Epoch& e, int axis, int64_t seq) {
    return e.anchor[axis] + (wave(axis, seq) - wave(axis, e.firstSeq));
}

MotionSegment segmentOf(const Epoch& e, int64_t seq) {
    MotionSegment s;
    std::memset(&s, 0, sizeof s);
    for (int a = 0; a < 6; ++a) s.target[a] = target(e, a, seq);
    s.tag = static_cast<int32_t>(seq + 1);  // 0 means "unknown" in the record
    s.segmentCode = static_cast<uint8_t>(seq >> 8);
    s.segmentAux = static_cast<uint8_t>(seq);
    return s;
}

// Waits that depend on other threads are bounded by the wall clock only as a
// watchdog: generous enough that only a hang trips it, never a slow machine.
constexpr std::chrono::seconds kWatchdog{600};
// Steps a spinning thread takes between yields.
constexpr int kStepsPerYield = 16;

struct Watchdog {
    std::chrono::steady_clock::time_point end = std::chrono::steady_clock::now() + kWatchdog;
    bool expired() const { return std::chrono::steady_clock::now() > end; }
};

uint8_t swapNibbles(uint8_t code) { return static_cast<uint8_t>((code >> 4) | ((code << 4) & 0xF0)); }

struct Shared {
    std::atomic<bool> stop{false};
    std::atomic<int> parkRequest{0};
    std::atomic<int> parked{0};
    // The adder publishes a segment's number before it hands the segment to
    // the library and again after: between the two calls the segment may
    // already be sent and executed, so a check made on another thread
    // accepts a segment below `adding` and counts on `added` only where the
    // adder is known to be between adds (parked or stopped).
    std::atomic<int64_t> adding{0};  // segments added or being added (the next number + 1 while in flight)
    std::atomic<int64_t> added{0};   // segments added so far (the next number)
    std::atomic<int64_t> refusedAdds{0};
    std::vector<Epoch> epochs;       // appended only while the adder is parked
};

void adder(Shared& shared, uint32_t seed) {
    std::mt19937 rng(seed);
    Epoch epoch = shared.epochs.back();
    int64_t seq = 0;
    while (!shared.stop.load(std::memory_order_acquire)) {
        if (shared.parkRequest.load(std::memory_order_acquire) != 0) {
            shared.parked.store(1, std::memory_order_release);
            while (shared.parkRequest.load(std::memory_order_acquire) != 0 &&
                   !shared.stop.load(std::memory_order_acquire)) {
                std::this_thread::yield();
            }
            epoch = shared.epochs.back();
            shared.parked.store(0, std::memory_order_release);
            continue;
        }
        if (rng() % 2048 == 0) std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300));
        if (telvo_BufFreeCnt() <= 0) {
            std::this_thread::yield();
            continue;
        }
        const MotionSegment s = segmentOf(epoch, seq);
        shared.adding.store(seq + 1, std::memory_order_release);
        if (telvo_BufAdd(&s) != 1) {
            shared.refusedAdds.fetch_add(1);
            continue;
        }
        ++seq;
        shared.added.store(seq, std::memory_order_release);
    }
}

class Soak : public ::testing::Test {
protected:
    void SetUp() override {
        telvo_Close();
        tsim_reset();
        telvo_BufClear();
        telvo_SetBuffSize(1000);
    }
    void TearDown() override {
        // A failed assertion returns early: the threads still end here.
        shared_.stop.store(true, std::memory_order_release);
        if (adding_.joinable()) adding_.join();
        controllerStop_.store(true, std::memory_order_release);
        if (controller_.joinable()) controller_.join();
        telvo_Close();
        tsim_reset();
    }

    // Reads the executed segments the machine logged since the last call
    // and checks each against the next one due in the current epoch.
    void consumeExecuted() {
        const int64_t count = tsim_executed_count();
        for (; seen_ < count; ++seen_) {
            tsim_executed e;
            ASSERT_EQ(1, tsim_executed_get(seen_, &e)) << "executed log overtaken at " << seen_;
            const Epoch& epoch = shared_.epochs.back();
            const int64_t seq = nextDue_;
            // `adding` is published before the library call: a segment that
            // ran must be below it, even while its add has not returned.
            ASSERT_LT(seq, shared_.adding.load(std::memory_order_acquire)) << "executed a segment never added";
            ASSERT_EQ((seq - epoch.firstSeq) % 5000, e.slotIndex) << "segment " << seq;
            ASSERT_EQ(static_cast<uint8_t>(seq), e.segmentAux) << "segment " << seq << ": another segment ran";
            ASSERT_EQ(swapNibbles(static_cast<uint8_t>(seq >> 8)), e.segmentCode) << "segment " << seq;
            for (int a = 0; a < 6; ++a) {
                ASSERT_EQ(static_cast<int32_t>(std::floor(target(epoch, a, seq) + 0.5)), e.position[a])
                    << "segment " << seq << " axis " << a;
            }
            lastExecuted_ = seq;
            ++nextDue_;
        }
    }

    void checkWrites() {
        const std::string problem = telvo_wire::checkWrites(writesRead_, blocks_);
        ASSERT_EQ("", problem);
    }

    // The purge policy of the header comment.
    void purge(MachineStatus& r) {
        shared_.parkRequest.store(1, std::memory_order_release);
        const Watchdog parking;
        while (shared_.parked.load(std::memory_order_acquire) == 0 && !parking.expired()) std::this_thread::yield();
        ASSERT_EQ(1, shared_.parked.load()) << "the adder never parked for purge " << purges_ + 1 << " within "
                                            << kWatchdog.count() << " s";

        consumeExecuted();
        ASSERT_FALSE(HasFatalFailure());
        const int held = tsim_buffer_level();
        ASSERT_GT(held, 0);
        const int64_t executedInEpoch = nextDue_ - shared_.epochs.back().firstSeq;
        ASSERT_EQ(sentInEpoch_, executedInEpoch + held) << "segments lost between host and machine";
        checkWrites();
        ASSERT_FALSE(HasFatalFailure());

        ASSERT_EQ(1, telvo_BufClear());
        ASSERT_EQ(1, telvo_CmdPurge(0));
        blocks_.queueCleared();
        const int64_t added = shared_.added.load(std::memory_order_acquire);
        discarded_ += added - nextDue_;

        bool fresh = false;
        for (int i = 0; i < 10 && !fresh; ++i) {
            tsim_advance_ms(1);
            fresh = telvo_GetStatus(&r) == 1;
        }
        ASSERT_TRUE(fresh);
        ASSERT_EQ(0, static_cast<int>(r.bufferLevel));
        ASSERT_EQ(0, r.state);
        ASSERT_EQ(seen_, tsim_executed_count()) << "the machine ran on after the purge";
        telvo_PosResync();

        Epoch next;
        next.firstSeq = added;
        for (int a = 0; a < 6; ++a) next.anchor[a] = static_cast<double>(r.position[a]);
        shared_.epochs.push_back(next);
        nextDue_ = added;
        sentInEpoch_ = 0;
        ++purges_;

        shared_.parkRequest.store(0, std::memory_order_release);
        const Watchdog resuming;
        while (shared_.parked.load(std::memory_order_acquire) != 0 && !resuming.expired()) std::this_thread::yield();
        ASSERT_EQ(0, shared_.parked.load()) << "the adder never resumed after purge " << purges_;
    }

    // Open, configure, take a first frame and start the first epoch there.
    void start(MachineStatus& r) {
        ASSERT_EQ(1, telvo_Open());
        MachineConfig config;
        std::memset(&config, 0, sizeof config);
        IoConfig io;
        std::memset(&io, 0, sizeof io);
        ASSERT_EQ(1, telvo_Init(&config, &io));
        bool framed = false;
        for (int i = 0; i < 10 && !framed; ++i) {
            tsim_advance_ms(1);
            framed = telvo_GetStatus(&r) == 1;
        }
        ASSERT_TRUE(framed);
        telvo_PosResync();
        Epoch first;
        first.firstSeq = 0;
        for (int a = 0; a < 6; ++a) first.anchor[a] = static_cast<double>(r.position[a]);
        shared_.epochs.push_back(first);
    }

    // After the adder stopped and the clock is the host's own again: streams
    // out everything added. Bounded by simulated time: each segment still
    // in the host queue or the controller's buffer takes one millisecond,
    // plus a margin for the poll and block latency; the machine cannot
    // need more. Every step moves the clock, so the wait cannot spin.
    void drain(MachineStatus& r, int64_t added, int64_t& totalSent) {
        const int64_t pending = added - nextDue_;
        const int64_t queued = 4000 - telvo_BufFreeCnt();
        const int held = tsim_buffer_level();
        const int64_t budgetMs = pending + 100;
        const int64_t startMs = tsim_clock_ms();
        const Watchdog watchdog;
        while (nextDue_ < added && !HasFatalFailure() && tsim_clock_ms() - startMs < budgetMs &&
               !watchdog.expired()) {
            tsim_advance_ms(1);
            consumeExecuted();
            if (telvo_GetStatus(&r) == 1) {
                const int sent = telvo_BufUpdate();
                sentInEpoch_ += sent;
                totalSent += sent;
            }
        }
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_EQ(added, nextDue_) << "drain gave up after " << tsim_clock_ms() - startMs << " ms simulated (budget "
                                   << budgetMs << " ms, watchdog " << kWatchdog.count() << " s): " << pending
                                   << " segments were due (" << queued << " in the host queue, " << held
                                   << " in the controller's buffer), " << added - nextDue_
                                   << " never executed; the controller holds " << tsim_buffer_level()
                                   << ", the host queue " << 4000 - telvo_BufFreeCnt();
    }

    // After the adder stopped: everything of the last epoch executed, then
    // nothing more; the counters stand at floor(target + 0.5) of the last
    // segment; no protocol error, no message.
    void expectAllExecuted(int64_t added) {
        ASSERT_EQ(added, nextDue_) << "segments of the last epoch never executed";
        tsim_advance_ms(100);
        consumeExecuted();
        ASSERT_EQ(added, nextDue_) << "something ran after the last segment";
        checkWrites();
        EXPECT_EQ(1, telvo_BufEmpty());
        EXPECT_EQ(0, tsim_buffer_level());
        int32_t counters[7];
        tsim_position(counters);
        const Epoch& last = shared_.epochs.back();
        for (int a = 0; a < 6; ++a) {
            EXPECT_EQ(static_cast<int32_t>(std::floor(target(last, a, added - 1) + 0.5)), counters[a]) << a;
        }
        EXPECT_EQ(0, tsim_protocol_error_count()) << (tsim_protocol_error_count() ? tsim_protocol_error_text(0) : "");
        EXPECT_EQ(0, tsim_message_count());
        EXPECT_EQ(0, shared_.refusedAdds.load());
        EXPECT_EQ(added, seen_ + discarded_);
    }

    Shared shared_;
    std::thread adding_;
    std::thread controller_;
    std::atomic<bool> controllerStop_{false};
    int64_t seen_ = 0;          // executed-log entries read
    int64_t nextDue_ = 0;       // the segment due to execute next
    int64_t lastExecuted_ = -1;
    int64_t sentInEpoch_ = 0;
    int64_t discarded_ = 0;
    int64_t purges_ = 0;
    int writesRead_ = 0;
    telvo_wire::BlockTracker blocks_;
};

TEST_F(Soak, TwoThreadsPausesAndPurgesLoseNothing) {
    const int64_t wanted = envInt("TELVO_SOAK_SEGMENTS", 1000000);
    const auto seed = static_cast<uint32_t>(envInt("TELVO_SOAK_SEED", 1));
    std::mt19937 rng(seed);
    const auto began = std::chrono::steady_clock::now();

    MachineStatus r{};
    start(r);
    ASSERT_FALSE(HasFatalFailure());

    adding_ = std::thread(adder, std::ref(shared_), seed * 2654435761u + 1);
    int64_t totalSent = 0;
    int64_t frames = 0;
    int64_t pauses = 0;
    int64_t dryFrames = 0;
    int pauseLeft = 0;
    int64_t loops = 0;
    const Watchdog watchdog;
    while (seen_ < wanted && !HasFatalFailure() && !watchdog.expired()) {
        ++loops;
        // A control loop has idle time: when the host queue runs low, give
        // the adder a moment before the next millisecond.
        for (int spin = 0; spin < 64 && telvo_BufFreeCnt() > 2000; ++spin) std::this_thread::yield();
        const int64_t before = lastExecuted_;
        const int step = 1 + static_cast<int>(rng() % 6);
        tsim_advance_ms(step);
        consumeExecuted();
        if (HasFatalFailure()) break;
        if (pauseLeft > 0) {
            pauseLeft -= step;
        } else if (rng() % 30000 == 0) {
            pauseLeft = 20 + static_cast<int>(rng() % 400);
            ++pauses;
        }
        if (telvo_GetStatus(&r) != 1) continue;
        ++frames;
        if (r.bufferLevel == 0 && r.state == 0) ++dryFrames;
        // The tag is that of a segment executed since the previous poll,
        // once the current epoch has one executed.
        const int64_t epochStart = shared_.epochs.back().firstSeq;
        if (before >= epochStart) {
            const int64_t tag = r.segmentTag - 1;
            ASSERT_TRUE(tag >= before && tag <= lastExecuted_)
                << "tag " << r.segmentTag << " reported, executed " << before << ".." << lastExecuted_;
        }
        if (pauseLeft <= 0) {
            const int sent = telvo_BufUpdate();
            sentInEpoch_ += sent;
            totalSent += sent;
        }
        if (r.bufferLevel >= 100 && rng() % 3000 == 0) {
            purge(r);
            if (HasFatalFailure()) break;
        }
        if (loops % 512 == 0) checkWrites();
    }

    ASSERT_FALSE(HasFatalFailure());
    ASSERT_GE(seen_, wanted) << "the stream stalled: " << seen_ << " of " << wanted << " segments executed in "
                             << kWatchdog.count() << " s, " << frames << " frames, clock at " << tsim_clock_ms()
                             << " ms, controller holds " << tsim_buffer_level();
    // Stop adding, then stream out everything added in the last epoch.
    shared_.stop.store(true, std::memory_order_release);
    adding_.join();
    const int64_t added = shared_.added.load();
    drain(r, added, totalSent);
    ASSERT_FALSE(HasFatalFailure());
    expectAllExecuted(added);
    EXPECT_EQ(totalSent, blocks_.segments);

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("soak: %lld segments executed, %lld added, %lld discarded by %lld purges, %lld stream pauses, "
                "%lld frames (%lld with the machine dry), %lld blocks, %lld ms simulated, %.1f s, %.0f segments/s\n",
                static_cast<long long>(seen_), static_cast<long long>(added), static_cast<long long>(discarded_),
                static_cast<long long>(purges_), static_cast<long long>(pauses), static_cast<long long>(frames),
                static_cast<long long>(dryFrames), static_cast<long long>(blocks_.blocks),
                static_cast<long long>(tsim_clock_ms()), seconds, static_cast<double>(seen_) / seconds);
    EXPECT_GT(purges_, 0);
    EXPECT_GT(pauses, 0);
}

// Status reads complete on the controller's thread, which alone moves the
// simulated clock; the host thread polls and streams, the adder adds.
TEST_F(Soak, CompletionsOnTheControllerThread) {
    const int64_t wanted = envInt("TELVO_SOAK_SEGMENTS", 1000000) / 4;
    const auto seed = static_cast<uint32_t>(envInt("TELVO_SOAK_SEED", 1));
    std::mt19937 rng(seed + 17);
    const auto began = std::chrono::steady_clock::now();
    MachineStatus r{};
    start(r);
    ASSERT_FALSE(HasFatalFailure());

    // Each thread yields now and then, not at every step: on a loaded
    // machine a yield can give away a whole time slice, and a test that
    // needs a quarter of a million round trips would then crawl.
    controller_ = std::thread([this] {
        for (int64_t ms = 1; !controllerStop_.load(std::memory_order_acquire); ++ms) {
            tsim_advance_ms(1);
            if (ms % kStepsPerYield == 0) std::this_thread::yield();
        }
    });
    adding_ = std::thread(adder, std::ref(shared_), seed * 2246822519u + 3);
    int64_t totalSent = 0;
    int64_t frames = 0;
    int32_t lastTag = 0;
    const Watchdog watchdog;
    int64_t idlePolls = 0;
    while (seen_ < wanted && !HasFatalFailure() && !watchdog.expired()) {
        // No fresh frame yet: let the controller's thread move the clock.
        if (telvo_GetStatus(&r) != 1) {
            if (++idlePolls % kStepsPerYield == 0) std::this_thread::yield();
            continue;
        }
        ++frames;
        consumeExecuted();
        if (HasFatalFailure()) break;
        // Tags only move forward, and only over executed segments.
        const int32_t tag = r.segmentTag;
        ASSERT_GE(tag, lastTag);
        ASSERT_LE(tag - 1, lastExecuted_);
        lastTag = tag;
        const int sent = telvo_BufUpdate();
        sentInEpoch_ += sent;
        totalSent += sent;
        if (frames % 512 == 0) checkWrites();
    }
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_GE(seen_, wanted) << "the stream stalled: " << seen_ << " of " << wanted << " segments executed in "
                             << kWatchdog.count() << " s, " << frames << " frames, clock at " << tsim_clock_ms()
                             << " ms, controller holds " << tsim_buffer_level();
    shared_.stop.store(true, std::memory_order_release);
    adding_.join();
    // The controller's thread stops at a millisecond boundary; the host
    // moves the clock from here, so the drain is bounded by simulated time
    // however the threads were scheduled (a free-running clock can pass any
    // number of milliseconds while a starved host sends nothing).
    controllerStop_.store(true, std::memory_order_release);
    controller_.join();
    const int64_t added = shared_.added.load();
    drain(r, added, totalSent);
    ASSERT_FALSE(HasFatalFailure());
    expectAllExecuted(added);
    EXPECT_EQ(totalSent, blocks_.segments);

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("soak, completions on the controller thread: %lld segments executed, %lld frames, %lld blocks, "
                "%lld ms simulated, %.1f s\n",
                static_cast<long long>(seen_), static_cast<long long>(frames), static_cast<long long>(blocks_.blocks),
                static_cast<long long>(tsim_clock_ms()), seconds);
}

}  // namespace
