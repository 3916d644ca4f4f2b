// The device link against the simulated controller: discovery, open states,
// the firmware text, command writes and their failure, status polling and
// the block channel.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "harness.h"

namespace telvo_test {
namespace {

class Link : public DeviceTest {};

TEST_F(Link, FirmwareTextAfterFullShortFailedAndAbsentAnswers) {
    EXPECT_STREQ("00.00", telvo_GetFirmwareVersion());  // before any open

    tsim_set_firmware("01.23", 5);
    ASSERT_EQ(1, telvo_Open());
    EXPECT_STREQ("01.23", telvo_GetFirmwareVersion());
    EXPECT_EQ(1, tsim_control_count());
    const char* text = telvo_GetFirmwareVersion();
    telvo_Close();

    tsim_set_firmware("987", 3);  // a short answer keeps the rest of "00.00"
    ASSERT_EQ(1, telvo_Open());
    EXPECT_STREQ("98700", telvo_GetFirmwareVersion());
    EXPECT_EQ(text, telvo_GetFirmwareVersion());  // the same static text
    telvo_Close();

    tsim_set_firmware("12.34", 5);
    tsim_inject(TSIM_FAULT_CONTROL_FAILS, 0, 0);
    ASSERT_EQ(1, telvo_Open());
    EXPECT_STREQ("00.00", telvo_GetFirmwareVersion());
    telvo_Close();

    ASSERT_EQ(1, telvo_Open());
    EXPECT_STREQ("12.34", telvo_GetFirmwareVersion());
    telvo_Close();

    tsim_set_device_count(0);  // nothing listed: "00.00" again, no request
    const int controls = tsim_control_count();
    EXPECT_EQ(0, telvo_Open());
    EXPECT_STREQ("00.00", telvo_GetFirmwareVersion());
    EXPECT_EQ(controls, tsim_control_count());
    EXPECT_EQ(0, telvo_Close());  // no events were made
}

TEST_F(Link, OpenFailedStatesReturnOneAndStayQuiet) {
    const tsim_fault faults[] = {TSIM_FAULT_LIST_FAILS, TSIM_FAULT_PATH_QUERY_FAILS,
                                 TSIM_FAULT_OPEN_FAILS, TSIM_FAULT_INIT_FAILS};
    for (tsim_fault fault : faults) {
        SCOPED_TRACE(static_cast<int>(fault));
        tsim_reset();
        tsim_set_scripted(1);
        tsim_inject(fault, 0, 0);
        EXPECT_EQ(1, telvo_Open());
        EXPECT_STREQ("00.00", telvo_GetFirmwareVersion());
        telvo_test::expectOpenResources(0, "after the failed open");
        EXPECT_EQ(0, telvo_CmdStop(0));
        EXPECT_EQ(0, telvo_CmdPurge(1));
        MachineStatus record;
        EXPECT_EQ(0, telvo_GetStatus(&record));
        EXPECT_EQ(0, tsim_read_count());
        EXPECT_EQ(0, tsim_write_count());
        EXPECT_EQ(0, tsim_message_count());
        EXPECT_NE(0, telvo_Close());  // the events existed
        EXPECT_EQ(0, telvo_Close());
    }
}

TEST_F(Link, OverlongDevicePathIsRefused) {
    tsim_set_device_path(0, std::string(260, 'p').c_str());
    EXPECT_EQ(1, telvo_Open());
    telvo_test::expectOpenResources(0, "after the refused path");
    EXPECT_EQ(0, telvo_CmdStop(0));
    telvo_Close();

    tsim_set_device_path(0, std::string(259, 'p').c_str());  // fits with its NUL
    EXPECT_EQ(1, telvo_Open());
    telvo_test::expectOpenResources(1, "while open");
    EXPECT_EQ(1, telvo_CmdStop(0));
}

TEST_F(Link, TwoControllersUseTheFirstListed) {
    tsim_set_device_count(2);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(1, telvo_Open());
        tsim_clear_writes();
        EXPECT_EQ(1, telvo_CmdStop(1));
        const auto w = writes();
        ASSERT_EQ(1u, w.size());
        EXPECT_EQ(0, w[0].device);
        telvo_Close();
    }
}

TEST_F(Link, FailedOrShortCommandWriteClosesLinkAndReportsOnce) {
    const tsim_fault faults[] = {TSIM_FAULT_COMMAND_WRITE_SHORT, TSIM_FAULT_COMMAND_WRITE_FAILS};
    for (tsim_fault fault : faults) {
        SCOPED_TRACE(static_cast<int>(fault));
        tsim_reset();
        tsim_set_scripted(1);
        openClean();
        EXPECT_EQ(1, telvo_CmdHomeAxis(1));
        tsim_inject(fault, 0, 0);
        EXPECT_EQ(0, telvo_CmdJogOff(2));
        ASSERT_EQ(1, tsim_message_count());
        EXPECT_STREQ("Error writing to device!", tsim_message_text(0));
        EXPECT_STREQ("telvo", tsim_message_caption(0));
        telvo_test::expectOpenResources(0, "after the failed write");
        EXPECT_EQ(1, telvo_IsHoming());  // the failure leaves homing alone

        const int written = tsim_write_count();
        EXPECT_EQ(0, telvo_CmdJogOff(2));
        EXPECT_EQ(0, telvo_CmdPurge(0));
        MachineStatus record;
        EXPECT_EQ(0, telvo_GetStatus(&record));
        EXPECT_EQ(written, tsim_write_count());
        EXPECT_EQ(1, tsim_message_count());
        EXPECT_EQ(0, telvo_Close());  // the failure already closed the events

        // Open again: the link works.
        ASSERT_EQ(1, telvo_Open());
        EXPECT_EQ(1, telvo_CmdJogOff(2));
        telvo_Close();
    }
}

// The message box runs a message loop: a host call made from it meets the
// closed link and returns at once instead of deadlocking or writing.
void reenter(void* result) {
    static_cast<int*>(result)[0] = telvo_CmdStop(0);
    static_cast<int*>(result)[1] = telvo_BufUpdate();
    MachineStatus record;
    static_cast<int*>(result)[2] = telvo_GetStatus(&record);
}

TEST_F(Link, HostCallsFromTheMessageLoopMeetAClosedLink) {
    openClean();
    int results[3] = {-1, -1, -1};
    tsim_set_message_hook(&reenter, results);
    tsim_inject(TSIM_FAULT_COMMAND_WRITE_FAILS, 0, 0);
    EXPECT_EQ(0, telvo_CmdSpindle(1, 2, 3));
    tsim_set_message_hook(nullptr, nullptr);
    EXPECT_EQ(0, results[0]);
    EXPECT_EQ(0, results[1]);
    EXPECT_EQ(0, results[2]);
    EXPECT_EQ(1, tsim_message_count());
    EXPECT_EQ(1, tsim_write_count());  // only the failed write
}

// A thread's scheduler state ('R' running, 'S' asleep: here only on a lock).
char threadState(long tid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%ld/stat", tid);
    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr) return '?';
    char text[512] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    const std::string stat(text, n);
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
}

struct MessageWatch {
    std::atomic<int>* waiter;
    int waiterRanDuringMessage;
};

// While the message is up, gives the waiting thread every chance to run.
void watchWaiter(void* context) {
    auto* watch = static_cast<MessageWatch*>(context);
    watch->waiterRanDuringMessage =
        waitFor([watch] { return watch->waiter->load() != -1; }, std::chrono::milliseconds(300)) ? 1 : 0;
}

// A write in progress holds the device lock: a block write of another
// thread waits for it (the simulator, holding the first write open, sees no
// second one), and when the held write fails the message is shown before
// the lock is released, so the waiting thread runs only after the message
// and then meets the closed link.
TEST_F(Link, AWriteHoldsTheDeviceLockThroughItsFailureMessage) {
    openClean();
    const MotionSegment s = segment({1, 2, 3});
    ASSERT_EQ(1, telvo_BufAdd(&s));
    tsim_hold_writes(1);
    std::atomic<int> first{-1};
    std::atomic<int> second{-1};
    std::atomic<long> waiterTid{0};
    std::thread writer([&first] { first = telvo_CmdStop(0); });
    const bool held = waitFor([] { return tsim_writes_held() == 1; });
    std::thread waiter([&second, &waiterTid] {
        waiterTid = static_cast<long>(syscall(SYS_gettid));
        second = telvo_BufUpdate();
    });
    // The waiter either sleeps on the lock or (without one) reaches the simulator.
    const bool settled = waitFor([&waiterTid] {
        return tsim_writes_held() == 2 || (waiterTid.load() != 0 && threadState(waiterTid.load()) == 'S');
    });
    EXPECT_TRUE(held && settled) << "the command write was never held, or the block write neither waited nor wrote";
    EXPECT_EQ(1, tsim_writes_held()) << "a block write entered the device during a command write";

    MessageWatch watch{&second, -1};
    tsim_set_message_hook(&watchWaiter, &watch);
    tsim_inject(TSIM_FAULT_COMMAND_WRITE_FAILS, 0, 0);
    tsim_hold_writes(0);
    writer.join();
    waiter.join();
    tsim_set_message_hook(nullptr, nullptr);
    EXPECT_EQ(0, watch.waiterRanDuringMessage) << "the lock was released before the message was dismissed";
    EXPECT_EQ(0, first.load());
    EXPECT_EQ(1, second.load());  // counted as sent: the link was closed when it got the lock
    EXPECT_EQ(1, tsim_message_count());
    EXPECT_EQ(1, tsim_write_count());  // only the failed write, no block
}

TEST_F(Link, CommandPacketFraming) {
    openClean();
    EXPECT_EQ(1, telvo_CmdPurge(1));  // no payload: 4 bytes
    EXPECT_EQ(1, telvo_CmdPurge(0));
    EXPECT_EQ(1, telvo_CmdPurge(2));  // any argument but 0 purges at the end of the move
    EXPECT_EQ(1, telvo_CmdPurge(-1));
    const auto w = writes();
    ASSERT_EQ(4u, w.size());
    EXPECT_EQ(0x01, w[0].pipe);
    EXPECT_EQ(bytes({0x0D, 0xF2, 0x00, 0x00}), w[0].bytes);
    EXPECT_EQ(bytes({0x0C, 0xF3, 0x04, 0x00, 0, 0, 0, 0}), w[1].bytes);
    EXPECT_EQ(w[0].bytes, w[2].bytes);
    EXPECT_EQ(w[0].bytes, w[3].bytes);
    EXPECT_EQ(0, tsim_protocol_error_count());
}

TEST_F(Link, StatusPollSequence) {
    openClean();
    MachineStatus record;
    std::memset(&record, 0xAB, sizeof record);
    const MachineStatus untouched = record;

    EXPECT_EQ(0, telvo_GetStatus(&record));  // issues the read
    EXPECT_EQ(1, tsim_read_count());
    EXPECT_EQ(1, tsim_read_pending());
    EXPECT_EQ(0, telvo_GetStatus(&record));  // still pending
    EXPECT_EQ(0, telvo_GetStatus(&record));
    EXPECT_EQ(1, tsim_read_count());
    EXPECT_EQ(0, std::memcmp(&record, &untouched, sizeof record));

    tsim_frame f = validFrame();
    f.position[0] = 42;
    uint8_t raw[60];
    tsim_frame_encode(&f, raw);
    tsim_push_frame(raw);  // completes the pending read
    EXPECT_EQ(1, telvo_GetStatus(&record));
    EXPECT_EQ(42, record.position[0]);
    EXPECT_EQ(1, tsim_read_count());  // taking the data does not re-arm
    EXPECT_EQ(0, tsim_read_pending());
    EXPECT_EQ(0, telvo_GetStatus(&record));  // issues the next read
    EXPECT_EQ(2, tsim_read_count());

    // Closing clears the pending read; the first poll after reopening
    // issues a fresh one.
    telvo_Close();
    EXPECT_EQ(0, tsim_read_pending());
    EXPECT_EQ(0, telvo_GetStatus(&record));
    EXPECT_EQ(2, tsim_read_count());  // closed: no read
    ASSERT_EQ(1, telvo_Open());
    EXPECT_EQ(0, telvo_GetStatus(&record));
    EXPECT_EQ(3, tsim_read_count());
}

TEST_F(Link, ReadThatNeverCompletesAndReopenWhilePending) {
    openClean();
    tsim_inject(TSIM_FAULT_READ_NEVER_COMPLETES, 0, 1);
    MachineStatus record;
    for (int i = 0; i < 10; ++i) EXPECT_EQ(0, telvo_GetStatus(&record));
    EXPECT_EQ(1, tsim_read_count());
    EXPECT_EQ(1, tsim_read_pending());

    // Opening over the open link releases it first: the pending read is
    // cancelled, and a frame pushed later cannot complete into the old one.
    tsim_clear_faults();
    ASSERT_EQ(1, telvo_Open());
    EXPECT_EQ(0, tsim_read_pending());
    EXPECT_EQ(1, tsim_device_open());
    tsim_frame f = validFrame();
    f.position[1] = 7;
    EXPECT_EQ(1, deliver(f, &record));
    EXPECT_EQ(7, record.position[1]);
}

TEST_F(Link, BlockOfTwoSegmentsIsOneWriteOnBlockPipe) {
    openClean();
    const MotionSegment a = segment({1, 2, 3, 4, 5, 6}, 10, 0x12, 0x34);
    const MotionSegment b = segment({2, 3, 4, 5, 6, 7}, 11, 0x56, 0x78);
    ASSERT_EQ(1, telvo_BufAdd(&a));
    ASSERT_EQ(1, telvo_BufAdd(&b));
    EXPECT_EQ(2, telvo_BufUpdate());
    const auto w = writes();
    ASSERT_EQ(1u, w.size());
    EXPECT_EQ(0x02, w[0].pipe);
    ASSERT_EQ(104u, w[0].bytes.size());
    EXPECT_EQ(0, u16At(w[0].bytes, 48));      // slot 0 first
    EXPECT_EQ(0x21, w[0].bytes[50]);          // nibbles exchanged
    EXPECT_EQ(0x34, w[0].bytes[51]);
    EXPECT_EQ(1, u16At(w[0].bytes, 52 + 48));
    EXPECT_EQ(0x65, w[0].bytes[52 + 50]);
    EXPECT_EQ(0x78, w[0].bytes[52 + 51]);
}

TEST_F(Link, FailedBlockWriteIsSilent) {
    openClean();
    tsim_inject(TSIM_FAULT_BLOCK_WRITE_FAILS, 0, 0);
    const MotionSegment a = segment({1, 0, 0, 0, 0, 0});
    ASSERT_EQ(1, telvo_BufAdd(&a));
    EXPECT_EQ(1, telvo_BufUpdate());  // counted, not reported
    EXPECT_EQ(0, tsim_message_count());
    EXPECT_EQ(1, tsim_device_open());
    EXPECT_EQ(1, telvo_BufEmpty());
    EXPECT_EQ(1, telvo_CmdStop(0));  // the link stays open
}

TEST_F(Link, CloseResultInEachState) {
    EXPECT_EQ(0, telvo_Close());  // right after load
    ASSERT_EQ(1, telvo_Open());
    EXPECT_NE(0, telvo_Close());  // open
    EXPECT_EQ(0, telvo_Close());  // closed twice
    tsim_inject(TSIM_FAULT_OPEN_FAILS, 0, 0);
    ASSERT_EQ(1, telvo_Open());
    EXPECT_NE(0, telvo_Close());  // open failed: the events existed
    tsim_set_device_count(0);
    EXPECT_EQ(0, telvo_Open());
    EXPECT_EQ(0, telvo_Close());  // nothing found

    // Close clears homing and probing, also when it has nothing to close.
    tsim_set_device_count(1);
    ASSERT_EQ(1, telvo_Open());
    telvo_CmdHomeAxis(0);
    EXPECT_EQ(1, telvo_IsHoming());
    EXPECT_NE(0, telvo_Close());
    EXPECT_EQ(0, telvo_IsHoming());
    EXPECT_EQ(0, tsim_device_open());
}

}  // namespace
}  // namespace telvo_test
