// The fault matrix: every way the controller or its connection can fail, one
// test per cell, each against the simulated controller. Every cell checks
// the result the host is documented to get, that the failure message is
// shown at most once per failure, and then that the host recovers: after
// telvo_Close, telvo_Open and telvo_Init no lock is held and every segment
// added afterwards executes exactly once (FaultTest::expectRecovery).
#include <functional>
#include <random>

#include "fault_harness.h"

namespace telvo_fault {
namespace {

// ---------------------------------------------------------------------------
// A command write fails or is short, at every point of every export that
// writes a command.

struct WritePoint {
    const char* name;
    int skip;  // command writes the call makes before the one that fails
    std::function<void(FaultTest&, MachineStatus&)> prepare;
    std::function<int(MachineStatus&)> call;
    int expected;  // the call's documented result
    std::function<void(MachineStatus&)> after;  // further documented effects
};

const double kStart[6] = {0, 0, 0, 0, 0, 0};
const double kEnd[6] = {10000, 0, 0, 0, 0, 0};

void nothing(FaultTest&, MachineStatus&) {}
void none(MachineStatus&) {}

// The probe is running with its move fed whole into the queue.
void probing(MachineStatus& r) {
    ASSERT_EQ(1, deliver(frameOf(0, 0), &r));
    telvo_PosResync();
    ASSERT_EQ(1, telvo_CmdProbe(kStart, kEnd, 20.0));
    ASSERT_EQ(0, telvo_GetStatus(&r));  // issues the read; the feeder queues 701 samples
    ASSERT_EQ(3999 - 701, telvo_BufFreeCnt());
}

const std::vector<WritePoint>& writePoints() {
    static const std::vector<WritePoint> points = {
        {"InitAxisBlock", 0, nothing,
         [](MachineStatus&) {
             const MachineConfig c = standardConfig();
             const IoConfig io = standardIo();
             return telvo_Init(&c, &io);
         },
         1,
         [](MachineStatus&) {
             // Only the blocks of the first Init reached the controller: the
             // failed write was not taken, the second never made.
             EXPECT_EQ(1, tsim_command_count(9));
             EXPECT_EQ(1, tsim_command_count(11));
         }},
        {"InitIoBlock", 1, nothing,
         [](MachineStatus&) {
             const MachineConfig c = standardConfig();
             const IoConfig io = standardIo();
             return telvo_Init(&c, &io);
         },
         1,
         [](MachineStatus&) {
             EXPECT_EQ(2, tsim_command_count(9));
             EXPECT_EQ(1, tsim_command_count(11));
         }},
        {"GetStatusAutomaticPurge", 0, nothing,
         [](MachineStatus& r) {
             r.length = 0;
             return deliver(frameOf(3, 0, 850), &r);
         },
         1,
         [](MachineStatus& r) {
             EXPECT_EQ(62, r.length);
             EXPECT_EQ(850, static_cast<int>(r.bufferLevel));  // the record keeps the received level
         }},
        {"GetStatusProbeTriggerEnd", 0,
         [](FaultTest&, MachineStatus& r) {
             probing(r);
             tsim_frame f = frameOf(0, 7);
             f.position[0] = 4321;
             ASSERT_EQ(1, deliver(f, &r));
             ASSERT_EQ(1, deliver(frameOf(0, 0), &r));
             ASSERT_EQ(1, deliver(frameOf(0, 0), &r));
             ASSERT_EQ(1, telvo_IsProbing());
         },
         [](MachineStatus& r) { return deliver(frameOf(0, 0), &r); }, 1,
         [](MachineStatus& r) {
             EXPECT_EQ(1, r.flags & 1);
             EXPECT_EQ(0, telvo_IsProbing());
             EXPECT_EQ(3, telvo_GetProbeResult());
             double pos[6] = {};
             EXPECT_EQ(1, telvo_GetProbePos(pos));
             EXPECT_EQ(4321.0, pos[0]);
         }},
        {"GetStatusProbeMissed", 0, [](FaultTest&, MachineStatus& r) { probing(r); },
         [](MachineStatus& r) { return deliver(frameOf(0, 6), &r); }, 1,
         [](MachineStatus& r) {
             EXPECT_EQ(1, r.flags & 1);
             EXPECT_EQ(0, telvo_IsProbing());
             EXPECT_EQ(2, telvo_GetProbeResult());
         }},
        {"GetStatusFeederPurge", 0,
         [](FaultTest&, MachineStatus& r) {
             probing(r);
             // The move is fed; the controller reports it halted with
             // little held (no automatic purge on this frame).
             ASSERT_EQ(1, deliver(frameOf(3, 0, 10), &r));
         },
         [](MachineStatus& r) {
             r.length = 0;
             return telvo_GetStatus(&r);  // no new frame: the feeder purges
         },
         0, [](MachineStatus& r) { EXPECT_EQ(0, r.length); }},
        {"CmdPurgeMidMove", 0, nothing, [](MachineStatus&) { return telvo_CmdPurge(0); }, 0, none},
        {"CmdPurgeEndOfMove", 0, nothing, [](MachineStatus&) { return telvo_CmdPurge(1); }, 0, none},
        {"CmdStop", 0,
         [](FaultTest&, MachineStatus&) { ASSERT_EQ(1, telvo_CmdHomeAxis(2)); },
         [](MachineStatus&) { return telvo_CmdStop(1); }, 0,
         [](MachineStatus&) { EXPECT_EQ(0, telvo_IsHoming()); }},  // reset before the write
        {"CmdSetOutputs", 0, nothing, [](MachineStatus&) { return telvo_CmdSetOutputs(1, 2, 3); }, 0, none},
        {"CmdJogOn", 0, nothing, [](MachineStatus&) { return telvo_CmdJogOn(1, 0, 1000); }, 0, none},
        {"CmdJogOff", 0, nothing, [](MachineStatus&) { return telvo_CmdJogOff(1); }, 0, none},
        {"CmdSpindle", 0, nothing, [](MachineStatus&) { return telvo_CmdSpindle(1, 2, 3000); }, 0, none},
        {"CmdHomeAxis", 0, nothing, [](MachineStatus&) { return telvo_CmdHomeAxis(3); }, 0,
         [](MachineStatus&) { EXPECT_EQ(1, telvo_IsHoming()); }},  // raised before the write
        {"SetupMPG", 0, nothing, [](MachineStatus&) { return telvo_SetupMPG(2, 0.001, 500, 1); }, 0, none},
        {"DisconnectOutputs", 0,
         [](FaultTest&, MachineStatus&) { ASSERT_EQ(1, telvo_CmdHomeAxis(2)); },
         [](MachineStatus&) { return telvo_Disconnect(); }, 0,
         [](MachineStatus&) { EXPECT_EQ(0, telvo_IsHoming()); }},
        {"DisconnectStop", 1,
         [](FaultTest&, MachineStatus&) { ASSERT_EQ(1, telvo_CmdHomeAxis(2)); },
         [](MachineStatus&) { return telvo_Disconnect(); }, 0,
         [](MachineStatus&) { EXPECT_EQ(0, telvo_IsHoming()); }},
        {"CmdProbe", 0,
         [](FaultTest&, MachineStatus& r) {
             ASSERT_EQ(1, deliver(frameOf(0, 0), &r));
             telvo_PosResync();
         },
         [](MachineStatus&) { return telvo_CmdProbe(kStart, kEnd, 20.0); }, 0,
         [](MachineStatus& r) {
             // The probe stays in progress and its move is still fed.
             EXPECT_EQ(1, telvo_IsProbing());
             EXPECT_EQ(1, telvo_GetProbeResult());
             EXPECT_EQ(0, telvo_GetStatus(&r));
             EXPECT_EQ(3999 - 701, telvo_BufFreeCnt());
         }},
    };
    return points;
}

struct WriteCell {
    size_t point;
    tsim_fault fault;
};

class CommandWrite : public FaultTest, public ::testing::WithParamInterface<WriteCell> {};

TEST_P(CommandWrite, FailsClosesLinkReportsOnceAndRecovers) {
    const WritePoint& point = writePoints()[GetParam().point];
    openAndInit();
    point.prepare(*this, record_);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(0, tsim_message_count());
    ASSERT_EQ(1, tsim_device_open());

    const int before = tsim_write_count();
    tsim_inject(GetParam().fault, point.skip, 0);
    EXPECT_EQ(point.expected, point.call(record_));

    // One message, the link closed, nothing written after the failed write.
    ASSERT_EQ(1, tsim_message_count());
    EXPECT_STREQ(kWriteFailed, tsim_message_text(0));
    EXPECT_STREQ("telvo", tsim_message_caption(0));
    EXPECT_EQ(0, tsim_device_open());
    telvo_test::expectOpenResources(0, "after the failed write");
    int failed = 0;
    pipeWrites(1, &failed);
    EXPECT_EQ(1, failed);
    const int after = tsim_write_count();
    ASSERT_EQ(before + point.skip + 1, after) << "writes after the failed one";
    int lastFailed = 0;
    tsim_write_get(after - 1, nullptr, nullptr, 0, nullptr, &lastFailed);
    EXPECT_EQ(1, lastFailed);
    point.after(record_);

    // The closed link stays quiet: no write, no read, no second message.
    const int reads = tsim_read_count();
    EXPECT_EQ(0, telvo_CmdStop(0));
    EXPECT_EQ(0, telvo_CmdPurge(1));
    MachineStatus r{};
    EXPECT_EQ(0, telvo_GetStatus(&r));
    EXPECT_EQ(after, tsim_write_count());
    EXPECT_EQ(reads, tsim_read_count());
    EXPECT_EQ(1, tsim_message_count());
    EXPECT_EQ(0, telvo_Close());  // the failure already released the events

    expectRecovery();
}

std::vector<WriteCell> writeCells() {
    std::vector<WriteCell> cells;
    for (size_t i = 0; i < writePoints().size(); ++i) {
        cells.push_back({i, TSIM_FAULT_COMMAND_WRITE_FAILS});
        cells.push_back({i, TSIM_FAULT_COMMAND_WRITE_SHORT});
    }
    return cells;
}

INSTANTIATE_TEST_SUITE_P(Matrix, CommandWrite, ::testing::ValuesIn(writeCells()),
                         [](const ::testing::TestParamInfo<WriteCell>& cell) {
                             return std::string(writePoints()[cell.param.point].name) +
                                    (cell.param.fault == TSIM_FAULT_COMMAND_WRITE_FAILS ? "_Fails" : "_Short");
                         });

// ---------------------------------------------------------------------------
// The device vanishes.

class Vanish : public FaultTest {};

TEST_F(Vanish, NothingListed) {
    tsim_set_device_count(0);
    EXPECT_EQ(0, telvo_Open());
    EXPECT_STREQ("00.00", telvo_GetFirmwareVersion());
    EXPECT_EQ(0, telvo_CmdStop(0));
    EXPECT_EQ(0, telvo_GetStatus(&record_));
    EXPECT_EQ(0, tsim_write_count());
    EXPECT_EQ(0, tsim_read_count());
    EXPECT_EQ(0, tsim_control_count());
    EXPECT_EQ(0, tsim_message_count());
    EXPECT_EQ(0, telvo_Close());  // no events were made
    expectRecovery();
}

// Listing, path query, open and USB initialisation failing: the open-failed
// state, where every transfer returns 0 without a message.
void expectOpenFailed() {
    EXPECT_EQ(1, telvo_Open());
    EXPECT_STREQ("00.00", telvo_GetFirmwareVersion());
    telvo_test::expectOpenResources(0, "after the failed open");
    EXPECT_EQ(0, telvo_CmdStop(0));
    const MachineConfig c = standardConfig();
    const IoConfig io = standardIo();
    EXPECT_EQ(1, telvo_Init(&c, &io));
    MachineStatus r{};
    EXPECT_EQ(0, telvo_GetStatus(&r));
    MotionSegment s;
    std::memset(&s, 0, sizeof s);
    EXPECT_EQ(1, telvo_BufAdd(&s));
    EXPECT_EQ(1, telvo_BufUpdate());  // drained without effect
    EXPECT_EQ(0, tsim_write_count());
    EXPECT_EQ(0, tsim_read_count());
    EXPECT_EQ(0, tsim_message_count());
    EXPECT_NE(0, telvo_Close());  // the events existed
}

TEST_F(Vanish, ListingFails) {
    tsim_inject(TSIM_FAULT_LIST_FAILS, 0, 0);
    expectOpenFailed();
    expectRecovery();
}

TEST_F(Vanish, PathQueryFails) {
    tsim_inject(TSIM_FAULT_PATH_QUERY_FAILS, 0, 0);
    expectOpenFailed();
    expectRecovery();
}

TEST_F(Vanish, OpenFails) {
    tsim_inject(TSIM_FAULT_OPEN_FAILS, 0, 0);
    expectOpenFailed();
    expectRecovery();
}

TEST_F(Vanish, InitialisationFails) {
    tsim_inject(TSIM_FAULT_INIT_FAILS, 0, 0);
    expectOpenFailed();
    expectRecovery();
}

TEST_F(Vanish, FirmwareRequestFails) {
    tsim_inject(TSIM_FAULT_CONTROL_FAILS, 0, 0);
    EXPECT_EQ(1, telvo_Open());
    EXPECT_STREQ("00.00", telvo_GetFirmwareVersion());
    EXPECT_EQ(1, tsim_device_open());
    EXPECT_EQ(1, telvo_CmdStop(0));  // the link itself works
    EXPECT_EQ(0, tsim_message_count());
    expectRecovery();
}

// Unplugged while open: the status read can no longer start and stays
// pending; the next command write fails and is reported once.
TEST_F(Vanish, UnpluggedWhileOpen) {
    openAndInit();
    restAndResync();
    tsim_set_device_count(0);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(0, telvo_GetStatus(&record_));
    EXPECT_EQ(0, tsim_message_count());
    EXPECT_EQ(0, telvo_CmdSetOutputs(1, 0, 0));
    EXPECT_EQ(1, tsim_message_count());
    EXPECT_EQ(0, tsim_device_open());
    EXPECT_EQ(0, telvo_CmdSetOutputs(1, 0, 0));
    EXPECT_EQ(1, tsim_message_count());
    expectRecovery();
}

// Unplugged in the middle of streaming, between a frame and the block it
// unlocks: the block write fails unreported and its segments count as sent;
// the status read can no longer start; the first command write reports it.
TEST_F(Vanish, UnpluggedWhileStreaming) {
    openAndInit();
    machineModeResync();
    for (int i = 0; i < 400; ++i) {
        const MotionSegment s = pathSegment(0);
        ASSERT_EQ(1, telvo_BufAdd(&s));
    }
    int sent = 0;
    for (int i = 0; i < 20 && sent < 150; ++i) {
        tsim_advance_ms(1);
        if (telvo_GetStatus(&record_) == 1) sent += telvo_BufUpdate();
    }
    ASSERT_EQ(150, sent);
    bool framed = false;
    for (int i = 0; i < 4 && !framed; ++i) {
        tsim_advance_ms(1);
        framed = telvo_GetStatus(&record_) == 1;
    }
    ASSERT_TRUE(framed);
    const int64_t blocks = tsim_block_count();
    tsim_set_device_count(0);
    EXPECT_EQ(75, telvo_BufUpdate());
    EXPECT_EQ(blocks, tsim_block_count());
    EXPECT_EQ(0, tsim_message_count());
    for (int i = 0; i < 20; ++i) {
        tsim_advance_ms(1);
        EXPECT_EQ(0, telvo_GetStatus(&record_));
        EXPECT_EQ(0, telvo_BufUpdate());
    }
    EXPECT_EQ(0, tsim_message_count());
    EXPECT_EQ(0, telvo_CmdPurge(0));  // the purge write meets the dead device
    EXPECT_EQ(1, tsim_message_count());
    EXPECT_EQ(0, tsim_device_open());
    // On the closed link the queue drains without effect, one block's worth
    // per purge of the cached level.
    EXPECT_EQ(75, telvo_BufUpdate());
    EXPECT_EQ(0, telvo_BufUpdate());
    EXPECT_EQ(0, telvo_CmdPurge(0));
    EXPECT_EQ(75, telvo_BufUpdate());
    EXPECT_EQ(0, telvo_CmdPurge(0));
    EXPECT_EQ(25, telvo_BufUpdate());
    EXPECT_EQ(1, telvo_BufEmpty());
    EXPECT_EQ(1, tsim_message_count());
    expectRecovery();
}

// ---------------------------------------------------------------------------
// A block write fails.

class BlockWrite : public FaultTest {};

// Once: the block's segments are taken from the queue and counted, nothing
// is reported, the link stays open and streaming goes on; the controller
// never saw those segments.
TEST_F(BlockWrite, FailsOnceUnreported) {
    openAndInit();
    machineModeResync();
    for (int i = 0; i < 300; ++i) {
        MotionSegment s = pathSegment(0);  // the machine holds still
        s.tag = i + 1;
        s.segmentAux = static_cast<uint8_t>(i);
        ASSERT_EQ(1, telvo_BufAdd(&s));
    }
    tsim_inject(TSIM_FAULT_BLOCK_WRITE_FAILS, 1, 0);  // the second block
    int sent = 0;
    std::vector<int> blocks;
    for (int i = 0; i < 2000 && telvo_BufEmpty() == 0; ++i) {
        tsim_advance_ms(1);
        if (telvo_GetStatus(&record_) == 1) {
            const int n = telvo_BufUpdate();
            if (n > 0) blocks.push_back(n);
            sent += n;
        }
    }
    EXPECT_EQ(300, sent);
    EXPECT_EQ(0, tsim_message_count());
    EXPECT_EQ(1, tsim_device_open());
    tsim_advance_ms(400);
    ASSERT_GE(blocks.size(), 2u);
    // Everything but the lost block executed, in order.
    const int lost = blocks[1];
    ASSERT_EQ(300 - lost, tsim_executed_count());
    for (int k = 0, n = 0; k < 300; ++k) {
        if (k >= blocks[0] && k < blocks[0] + lost) continue;
        tsim_executed e;
        ASSERT_EQ(1, tsim_executed_get(n++, &e));
        EXPECT_EQ(k, e.slotIndex);
    }
    expectRecovery();
}

TEST_F(BlockWrite, FailsAlwaysDrainsQuietly) {
    openAndInit();
    machineModeResync();
    for (int i = 0; i < 500; ++i) {
        const MotionSegment s = pathSegment(0);
        ASSERT_EQ(1, telvo_BufAdd(&s));
    }
    tsim_inject(TSIM_FAULT_BLOCK_WRITE_FAILS, 0, 1);
    int sent = 0;
    for (int i = 0; i < 2000 && telvo_BufEmpty() == 0; ++i) {
        tsim_advance_ms(1);
        if (telvo_GetStatus(&record_) == 1) sent += telvo_BufUpdate();
    }
    EXPECT_EQ(500, sent);
    EXPECT_EQ(0, tsim_executed_count());
    EXPECT_EQ(0, tsim_block_count());
    EXPECT_EQ(0, tsim_message_count());
    EXPECT_EQ(1, tsim_device_open());
    expectRecovery();
}

// ---------------------------------------------------------------------------
// The status read never completes: refused at its start, or accepted and
// never answered. Every poll returns 0 until the link is closed; nothing is
// reported; the close cancels the read.

class StatusRead : public FaultTest {
protected:
    void stuck(tsim_fault fault) {
        openAndInit();
        tsim_set_scripted(0);
        for (int i = 0; i < 200; ++i) {
            const MotionSegment s = pathSegment(0);
            ASSERT_EQ(1, telvo_BufAdd(&s));
        }
        tsim_inject(fault, 0, 0);
        int sent = 0;
        for (int i = 0; i < 1000; ++i) {
            tsim_advance_ms(1);
            EXPECT_EQ(0, telvo_GetStatus(&record_));
            sent += telvo_BufUpdate();
        }
        // One block on the level known before the stall, then none.
        EXPECT_EQ(75, sent);
        EXPECT_EQ(0, tsim_message_count());
        EXPECT_EQ(1, tsim_device_open());
        EXPECT_EQ(1, tsim_read_count());
        EXPECT_NE(0, telvo_Close());
        EXPECT_EQ(0, tsim_read_pending());
        expectRecovery();
    }
};

TEST_F(StatusRead, NeverCompletes) { stuck(TSIM_FAULT_READ_NEVER_COMPLETES); }
TEST_F(StatusRead, RefusedAtStart) { stuck(TSIM_FAULT_READ_START_FAILS); }

// A read in flight when the host closes is cancelled: a frame that arrives
// afterwards reaches nothing of the old session.
TEST_F(StatusRead, InFlightAtClose) {
    openAndInit();
    EXPECT_EQ(0, telvo_GetStatus(&record_));
    EXPECT_EQ(1, tsim_read_pending());
    EXPECT_NE(0, telvo_Close());
    EXPECT_EQ(0, tsim_read_pending());
    expectRecovery();
}

// ---------------------------------------------------------------------------
// Frames arrive corrupt, late or repeated.

class Frames : public FaultTest {};

// A frame whose first byte is not 60 is discarded whole: the record is
// untouched, nothing of it is acted on, the last complete frame stays.
TEST_F(Frames, CorruptLengthByteDiscarded) {
    openAndInit();
    for (int i = 0; i < 100; ++i) {
        const MotionSegment s = pathSegment(0);
        ASSERT_EQ(1, telvo_BufAdd(&s));
    }
    ASSERT_EQ(1, deliver(frameOf(0, 0), &record_));
    ASSERT_EQ(75, telvo_BufUpdate());  // the level is now counted as full
    ASSERT_EQ(1, telvo_CmdHomeAxis(1));
    for (int first : {0, 59, 61, 62, 255}) {
        tsim_frame f = frameOf(3, 5, 900);  // would home, purge and unlock streaming
        f.length = static_cast<uint8_t>(first);
        MachineStatus r;
        std::memset(&r, 0xA5, sizeof r);
        const MachineStatus untouched = r;
        const int writes = tsim_write_count();
        EXPECT_EQ(0, deliver(f, &r)) << first;
        EXPECT_EQ(0, std::memcmp(&r, &untouched, sizeof r)) << first;
        EXPECT_EQ(0, telvo_BufUpdate()) << first;
        EXPECT_EQ(writes, tsim_write_count()) << first;
        EXPECT_EQ(1, telvo_IsHoming()) << first;
    }
    EXPECT_EQ(0, tsim_message_count());
    expectRecovery();
}

// Frames of the right length with garbage in every other byte: each is taken
// as it stands, without a read outside the frame or the queue.
TEST_F(Frames, GarbageContentTakenAsItStands) {
    openAndInit();
    restAndResync();
    std::mt19937 rng(7);
    for (int i = 0; i < 400; ++i) {
        uint8_t raw[60];
        for (auto& b : raw) b = static_cast<uint8_t>(rng());
        raw[0] = 60;
        raw[1] = static_cast<uint8_t>(raw[1] & 0x03);  // now and then a halted state
        tsim_push_frame(raw);
        MachineStatus r{};
        int got = 0;
        for (int k = 0; k < 3 && got == 0; ++k) got = telvo_GetStatus(&r);
        ASSERT_EQ(1, got) << i;
        EXPECT_EQ(62, r.length);
        EXPECT_EQ(raw[1], r.state);
        const uint16_t index = static_cast<uint16_t>(raw[56] | (raw[57] << 8));
        if (index >= 5000) {
            EXPECT_EQ(0, static_cast<int32_t>(r.segmentTag)) << i;
        }
        const uint16_t level = static_cast<uint16_t>(raw[40] | (raw[41] << 8));
        EXPECT_EQ(level, static_cast<uint16_t>(r.bufferLevel));
        if (level > 850 && raw[1] != 3) {
            EXPECT_EQ(0, telvo_BufUpdate()) << i;
        }
        EXPECT_TRUE(std::isfinite(r.spindleRpm));
        if (tsim_message_count() != 0) break;
        if (i % 50 == 0) {
            const MotionSegment s = pathSegment(0);
            telvo_BufAdd(&s);
        }
    }
    EXPECT_EQ(0, tsim_message_count());
    expectRecovery();
}

// Late frames: the controller reports only every 40 ms and the host polls
// every 7 ms, so every level it acts on is stale. Stale levels only err
// high (the controller drains meanwhile), so nothing overruns and every
// segment runs exactly once.
TEST_F(Frames, LateFramesStreamExactlyOnce) {
    openAndInit();
    expectRecovery(3000, 40, 7);
}

// The same frame twice: each copy is a new record and acted on as such.
TEST_F(Frames, RepeatedFrameCountsTwice) {
    openAndInit();
    for (int i = 0; i < 200; ++i) {
        const MotionSegment s = pathSegment(0);
        ASSERT_EQ(1, telvo_BufAdd(&s));
    }
    const tsim_frame f = frameOf(1, 0, 0);
    MachineStatus first{}, second{};
    ASSERT_EQ(1, deliver(f, &first));
    EXPECT_EQ(75, telvo_BufUpdate());
    EXPECT_EQ(0, telvo_BufUpdate());
    ASSERT_EQ(1, deliver(f, &second));
    EXPECT_EQ(0, std::memcmp(&first, &second, sizeof first));
    EXPECT_EQ(75, telvo_BufUpdate());  // the repeated level unlocks one more block
    EXPECT_EQ(0, tsim_message_count());
    expectRecovery();
}

// ---------------------------------------------------------------------------
// The controller repeats an event.

class Events : public FaultTest {
protected:
    void SetUp() override {
        FaultTest::SetUp();
        openAndInit();
    }
    int writesOfCode(uint8_t code) {
        int n = 0;
        const int total = tsim_write_count();
        uint8_t b[4];
        for (int i = 0; i < total; ++i) {
            uint8_t pipe = 0;
            if (tsim_write_get(i, &pipe, b, 4, nullptr, nullptr) >= 1 && pipe == 1 && b[0] == code) ++n;
        }
        return n;
    }
};

// More homing-finished events than homings: the count goes below 0 and
// telvo_IsHoming reports 1 until the next reset.
TEST_F(Events, RepeatedHomingEvent) {
    ASSERT_EQ(1, telvo_CmdHomeAxis(2));
    tsim_frame f = frameOf(0, 5);
    f.eventAxis = 2;
    ASSERT_EQ(1, deliver(f, &record_));
    EXPECT_EQ(0, telvo_IsHoming());
    EXPECT_EQ(0x82, record_.eventAxis);
    ASSERT_EQ(1, deliver(f, &record_));
    EXPECT_EQ(1, telvo_IsHoming());
    EXPECT_EQ(1, telvo_CmdStop(0));
    EXPECT_EQ(0, telvo_IsHoming());
    EXPECT_EQ(0, tsim_message_count());
    expectRecovery();
}

// A second trigger while settling captures the position again and starts
// the countdown over; the probe ends once, with the second position.
TEST_F(Events, RepeatedTriggerEvent) {
    probing(record_);
    tsim_frame f = frameOf(0, 7);
    f.position[0] = 1000;
    ASSERT_EQ(1, deliver(f, &record_));
    EXPECT_EQ(1, telvo_BufEmpty());  // the samples not yet sent were dropped
    ASSERT_EQ(1, deliver(frameOf(0, 0), &record_));
    f.position[0] = 2000;
    ASSERT_EQ(1, deliver(f, &record_));
    ASSERT_EQ(1, deliver(frameOf(0, 0), &record_));
    ASSERT_EQ(1, deliver(frameOf(0, 0), &record_));
    EXPECT_EQ(1, telvo_IsProbing());
    EXPECT_EQ(1, telvo_GetProbeResult());
    ASSERT_EQ(1, deliver(frameOf(0, 0), &record_));
    EXPECT_EQ(0, telvo_IsProbing());
    EXPECT_EQ(3, telvo_GetProbeResult());
    double pos[6] = {};
    ASSERT_EQ(1, telvo_GetProbePos(pos));
    EXPECT_EQ(2000.0, pos[0]);
    EXPECT_EQ(1, writesOfCode(13));

    // Once ended, a further trigger changes nothing.
    for (int i = 0; i < 10; ++i) {
        const MotionSegment s = pathSegment(0);
        ASSERT_EQ(1, telvo_BufAdd(&s));
    }
    f.position[0] = 3000;
    ASSERT_EQ(1, deliver(f, &record_));
    EXPECT_EQ(3999 - 10, telvo_BufFreeCnt());
    ASSERT_EQ(1, telvo_GetProbePos(pos));
    EXPECT_EQ(2000.0, pos[0]);
    EXPECT_EQ(1, writesOfCode(13));
    EXPECT_EQ(0, tsim_message_count());
    expectRecovery();
}

// The untriggered end repeated: the first ends the probe, the second is
// ignored (one end-of-move purge).
TEST_F(Events, RepeatedMissedEvent) {
    probing(record_);
    ASSERT_EQ(1, deliver(frameOf(0, 6), &record_));
    EXPECT_EQ(2, telvo_GetProbeResult());
    EXPECT_EQ(1, record_.flags & 1);
    ASSERT_EQ(1, deliver(frameOf(0, 6), &record_));
    EXPECT_EQ(0, record_.flags & 1);
    EXPECT_EQ(2, telvo_GetProbeResult());
    EXPECT_EQ(1, writesOfCode(13));
    EXPECT_EQ(0, tsim_message_count());
    expectRecovery();
}

// In machine mode the controller latches every event and hands out one per
// frame; a host that polls slowly still sees each homing end exactly once.
TEST_F(Events, EventsQueuedWhileTheHostIsSlow) {
    tsim_set_scripted(0);
    tsim_set_homing_time(0);
    for (uint8_t a = 0; a < 6; ++a) ASSERT_EQ(1, telvo_CmdHomeAxis(a));
    tsim_advance_ms(500);
    int homed = 0;
    for (int i = 0; i < 40; ++i) {
        tsim_advance_ms(1);
        if (telvo_GetStatus(&record_) == 1 && record_.event == 5) ++homed;
    }
    EXPECT_EQ(6, homed);
    EXPECT_EQ(0, telvo_IsHoming());
    expectRecovery();
}

}  // namespace
}  // namespace telvo_fault
