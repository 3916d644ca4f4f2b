// The fault matrix's common ground: a fresh simulator per test, frame
// delivery, the lock check and the recovery every cell ends with.
//
// Recovery is what a host does after any failure: telvo_Close, telvo_Open,
// telvo_Init, drop what it had queued, bring the machine to rest, home it,
// realign the stream and stream again. It passes when every segment added
// after that executes exactly once, in order, at floor(target + 0.5), with no
// protocol error, no further message and every write well-formed.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "telvo/telvo.h"
#include "telvo_sim.h"
#include "telvo_test.h"
#include "wire_check.h"

namespace telvo_fault {

constexpr char kWriteFailed[] = "Error writing to device!";

using telvo_test::deliver;
using telvo_test::standardConfig;
using telvo_test::standardIo;

inline tsim_frame frameOf(uint8_t state, uint8_t event, uint16_t level = 0) {
    tsim_frame f;
    std::memset(&f, 0, sizeof f);
    f.length = 60;
    f.state = state;
    f.event = event;
    f.bufferLevel = level;
    f.segmentIndex = 0xFFFF;
    return f;
}

// The recovery stream: a smooth path from 0 on every axis, up to about ten
// steps per millisecond, each segment carrying its number in tag and codes.
inline double pathTarget(int axis, int64_t n) {
    const double amplitude[6] = {3000.0, -2500.0, 1800.0, -900.0, 2200.0, 400.0};
    const double period[6] = {2000.0, 1500.0, 2600.0, 900.0, 3100.0, 700.0};
    return amplitude[axis] * std::sin(2.0 * M_PI * static_cast<double>(n) / period[axis]);
}

inline MotionSegment pathSegment(int64_t n) {
    MotionSegment s;
    std::memset(&s, 0, sizeof s);
    for (int a = 0; a < 6; ++a) s.target[a] = pathTarget(a, n);
    s.tag = static_cast<int32_t>(n + 1);
    s.segmentCode = static_cast<uint8_t>(n * 7);
    s.segmentAux = static_cast<uint8_t>(n);
    return s;
}

inline uint8_t swapNibbles(uint8_t code) { return static_cast<uint8_t>((code >> 4) | ((code << 4) & 0xF0)); }

class FaultTest : public telvo_test::LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        config_ = standardConfig();
        io_ = standardIo();
    }

    void TearDown() override {
        // Whatever happened, everything the library wrote was well-formed.
        // Cells clear the host queue at will, so blocks are read one by one.
        int from = 0;
        telvo_wire::BlockTracker blocks;
        blocks.follow = false;
        EXPECT_EQ("", telvo_wire::checkWrites(from, blocks));
        LibraryTest::TearDown();
    }

    void openAndInit() {
        ASSERT_EQ(1, telvo_Open());
        telvo_test::expectOpenResources(1, "while open");
        ASSERT_EQ(1, telvo_Init(&config_, &io_));
        tsim_clear_writes();
    }

    // A frame with the machine at rest at position 0, then the stream
    // realigned with it.
    void restAndResync() {
        ASSERT_EQ(1, deliver(frameOf(0, 0), &record_));
        telvo_PosResync();
    }

    // Machine mode, the first frame taken and the stream realigned with it.
    void machineModeResync() {
        tsim_set_scripted(0);
        bool framed = false;
        for (int i = 0; i < 10 && !framed; ++i) {
            tsim_advance_ms(1);
            framed = telvo_GetStatus(&record_) == 1;
        }
        ASSERT_TRUE(framed);
        telvo_PosResync();
    }

    int pipeWrites(uint8_t pipe, int* failed = nullptr) {
        int n = 0;
        int f = 0;
        const int total = tsim_write_count();
        for (int i = 0; i < total; ++i) {
            uint8_t p = 0;
            int fl = 0;
            if (tsim_write_get(i, &p, nullptr, 0, nullptr, &fl) < 0) continue;
            if (p != pipe) continue;
            ++n;
            f += fl;
        }
        if (failed != nullptr) *failed = f;
        return n;
    }

    // Every lock the library has can be taken by another thread: the
    // device lock by a command write on the open link, the queue lock by an
    // add and a clear. A lock left held makes the helper block; the watchdog
    // then ends the process, since a blocked thread cannot be joined.
    void expectLocksFree() {
        std::promise<int> done;
        std::future<int> result = done.get_future();
        std::thread helper([&done] {
            MotionSegment s;
            std::memset(&s, 0, sizeof s);
            int ok = telvo_CmdSetOutputs(0, 0, 0);
            ok += telvo_BufAdd(&s);
            ok += telvo_BufClear();
            done.set_value(ok);
        });
        if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            std::fprintf(stderr, "a library lock is still held: another thread cannot take it\n");
            std::fflush(stderr);
            std::_Exit(1);
        }
        helper.join();
        EXPECT_EQ(3, result.get());
    }

    // Close, Open; rest; Init; home, realign; stream n segments and check
    // that each executed exactly once.
    void expectRecovery(int64_t n = 2000, int framePeriod = 1, int pollEvery = 1) {
        tsim_clear_faults();
        tsim_set_device_count(1);
        tsim_set_scripted(0);
        tsim_set_frame_period(1);
        const int messages = tsim_message_count();

        telvo_Close();
        ASSERT_EQ(0, tsim_read_pending());
        telvo_test::expectOpenResources(0, "after telvo_Close");
        ASSERT_EQ(1, telvo_Open());
        telvo_test::expectOpenResources(1, "while open");
        ASSERT_STREQ("01.23", telvo_GetFirmwareVersion());

        // Let the machine finish what the old session left it doing (purge
        // it when it halted) until a frame shows it at rest with no event
        // left to hand out: events come one per frame, in order.
        MachineStatus r{};
        bool rest = false;
        for (int i = 0; i < 5000 && !rest; ++i) {
            tsim_advance_ms(1);
            if (telvo_GetStatus(&r) == 1) {
                if (r.state == 3) telvo_CmdPurge(0);
                rest = r.state == 0 && r.bufferLevel == 0 && r.event == 0;
            }
        }
        ASSERT_TRUE(rest) << "the machine never came to rest";

        ASSERT_EQ(1, telvo_Init(&config_, &io_));
        expectLocksFree();
        ASSERT_EQ(1, telvo_BufClear());
        ASSERT_EQ(1, telvo_BufEmpty());
        ASSERT_EQ(0, telvo_IsHoming());
        ASSERT_EQ(0, telvo_IsProbing());

        for (uint8_t a = 0; a < 6; ++a) ASSERT_EQ(1, telvo_CmdHomeAxis(a));
        for (int i = 0; i < 5000 && telvo_IsHoming() != 0; ++i) {
            tsim_advance_ms(1);
            telvo_GetStatus(&r);
        }
        ASSERT_EQ(0, telvo_IsHoming());
        ASSERT_EQ(0, tsim_pending_events());
        bool fresh = false;
        for (int i = 0; i < 10 && !fresh; ++i) {
            tsim_advance_ms(1);
            fresh = telvo_GetStatus(&r) == 1;
        }
        ASSERT_TRUE(fresh);
        for (int a = 0; a < 6; ++a) ASSERT_EQ(0, static_cast<int32_t>(r.position[a]));
        telvo_PosResync();

        tsim_set_frame_period(framePeriod);
        const int64_t e0 = tsim_executed_count();
        const int p0 = tsim_protocol_error_count();
        const int w0 = tsim_write_count();
        int64_t added = 0;
        for (int64_t cycle = 0; cycle < 40 * n && tsim_executed_count() < e0 + n; ++cycle) {
            tsim_advance_ms(pollEvery);
            if (telvo_GetStatus(&r) == 1) telvo_BufUpdate();
            while (added < n && telvo_BufFreeCnt() > 0) {
                const MotionSegment s = pathSegment(added);
                ASSERT_EQ(1, telvo_BufAdd(&s));
                ++added;
            }
        }
        tsim_advance_ms(200);  // nothing more may follow
        ASSERT_EQ(e0 + n, tsim_executed_count());
        for (int64_t k = 0; k < n; ++k) {
            tsim_executed e;
            ASSERT_EQ(1, tsim_executed_get(e0 + k, &e)) << k;
            const MotionSegment s = pathSegment(k);
            ASSERT_EQ(k % 5000, e.slotIndex) << k;
            ASSERT_EQ(s.segmentAux, e.segmentAux) << k;
            ASSERT_EQ(swapNibbles(s.segmentCode), e.segmentCode) << k;
            for (int a = 0; a < 6; ++a)
                ASSERT_EQ(static_cast<int32_t>(std::floor(s.target[a] + 0.5)), e.position[a])
                    << "segment " << k << " axis " << a;
        }
        EXPECT_EQ(p0, tsim_protocol_error_count())
            << (tsim_protocol_error_count() > p0 ? tsim_protocol_error_text(p0) : "");
        EXPECT_EQ(messages, tsim_message_count());

        // The recovery's own blocks run on slot by slot from 0.
        int from = w0;
        telvo_wire::BlockTracker blocks;
        blocks.nextSlot = 0;
        EXPECT_EQ("", telvo_wire::checkWrites(from, blocks));
        EXPECT_EQ(n, blocks.segments);
    }

    MachineConfig config_{};
    IoConfig io_{};
    MachineStatus record_{};
};

}  // namespace telvo_fault
