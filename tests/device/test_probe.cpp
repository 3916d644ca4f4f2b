// Probing through the exports: the probe command, the feeder, the trigger,
// settling, the untriggered end, and probing end to end on the simulated
// machine.
#include "harness.h"

namespace telvo_test {
namespace {

class Probe : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        openClean();
        MachineConfig config;
        std::memset(&config, 0, sizeof config);
        IoConfig io;
        std::memset(&io, 0, sizeof io);
        for (int a = 0; a < 7; ++a) {
            config.axes[a].stepsPerUnit = 1000;
            config.axes[a].maxVelocity = 50000;
            config.axes[a].acceleration = 100000;
        }
        config.axes[4].slaveOf = 1;  // axis 4 follows axis 0
        config.axes[5].slaveOf = 5;  // axis 5 follows axis 4, hence axis 0
        ASSERT_EQ(1, telvo_Init(&config, &io));
        tsim_clear_writes();
    }
    MachineStatus record{};
    int frame(uint8_t state, uint8_t event, std::initializer_list<int32_t> position = {}) {
        tsim_frame f = validFrame();
        f.state = state;
        f.event = event;
        int i = 0;
        for (int32_t p : position) f.position[i++] = p;
        return deliver(f, &record);
    }
    int countWrites(uint8_t code) {
        int n = 0;
        for (const auto& w : writes()) n += (w.pipe == 1 && w.bytes[0] == code) ? 1 : 0;
        return n;
    }
    const double start[6] = {0, 0, 0, 0, 0, 0};
    const double end[6] = {10000, 0, 0, 0, 0, 0};
};

TEST_F(Probe, CommandAndFeeding) {
    ASSERT_EQ(1, frame(0, 0, {0, 0, 0, 0, 0, 0}));
    telvo_PosResync();
    tsim_clear_writes();
    EXPECT_EQ(1, telvo_CmdProbe(start, end, 20.0));
    EXPECT_EQ(1, telvo_IsProbing());
    EXPECT_EQ(1, telvo_GetProbeResult());
    auto w = writes();
    ASSERT_EQ(1u, w.size());
    std::vector<uint8_t> payload(48, 0);
    payload[0] = 0x90;  // 400
    payload[1] = 0x01;
    payload[16] = 0x90;  // axes 4 and 5 carry axis 0's figure
    payload[17] = 0x01;
    payload[20] = 0x90;
    payload[21] = 0x01;
    EXPECT_EQ(packet(4, payload), w[0].bytes);

    // The first call without a frame queues the whole move: 701 samples.
    EXPECT_EQ(0, telvo_GetStatus(&record));
    EXPECT_EQ(3999 - 701, telvo_BufFreeCnt());
    EXPECT_EQ(1, telvo_GetProbeResult());
    EXPECT_EQ(0, telvo_GetStatus(&record));
    EXPECT_EQ(3999 - 701, telvo_BufFreeCnt());  // nothing more to give

    // Streamed like any segment: tag 0, codes 0, first the start, last the end.
    tsim_clear_writes();
    int sent = 0;
    std::vector<uint8_t> first, last;
    while (telvo_BufEmpty() == 0) {
        telvo_CmdPurge(0);
        tsim_clear_writes();
        sent += telvo_BufUpdate();
        w = writes();
        for (const auto& b : w) {
            if (b.pipe != 2) continue;
            if (first.empty()) first.assign(b.bytes.begin(), b.bytes.begin() + 52);
            last.assign(b.bytes.end() - 52, b.bytes.end());
        }
    }
    EXPECT_EQ(701, sent);

    // Again with the queue nearly full (other segments, aux 1): the feeder
    // fills the last places in the middle of a batch and then follows the
    // queue as it drains; every sample arrives, none is lost at a full queue.
    ASSERT_EQ(1, frame(0, 0, {0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(1, telvo_CmdProbe(start, end, 20.0));
    const MotionSegment other = segment({0}, 0, 0, 1);
    for (int i = 0; i < 3999 - 300; ++i) ASSERT_EQ(1, telvo_BufAdd(&other));
    EXPECT_EQ(0, telvo_GetStatus(&record));
    EXPECT_EQ(0, telvo_BufFreeCnt());
    int samples = 0;
    int others = 0;
    for (int round = 0; round < 1000 && telvo_BufEmpty() == 0; ++round) {
        telvo_CmdPurge(0);
        tsim_clear_writes();
        telvo_BufUpdate();
        for (const auto& b : writes()) {
            if (b.pipe != 2) continue;
            for (size_t at = 0; at + 52 <= b.bytes.size(); at += 52) (b.bytes[at + 51] == 1 ? others : samples)++;
        }
        EXPECT_EQ(0, telvo_GetStatus(&record));  // feeds
    }
    EXPECT_EQ(3999 - 300, others);
    EXPECT_EQ(701, samples) << "probe samples lost or repeated while the queue was full";
    EXPECT_EQ(0, first[50]);
    EXPECT_EQ(0, first[51]);
    EXPECT_EQ(0, i32At(first, 4));  // start point: no travel from 0
}

TEST_F(Probe, TriggerSettlesThenCompletes) {
    ASSERT_EQ(1, telvo_CmdProbe(start, end, 20.0));
    telvo_GetStatus(&record);  // feeds
    ASSERT_EQ(0, telvo_BufEmpty());

    // Event 7 in a frame with state 3: captured, queue cleared, still running.
    ASSERT_EQ(1, frame(3, 7, {1234, 5, 6, 7, 999, 8}));
    EXPECT_EQ(1, telvo_BufEmpty());
    EXPECT_EQ(1, telvo_IsProbing());
    EXPECT_EQ(1, telvo_GetProbeResult());
    double pos[6] = {-1, -1, -1, -1, -1, -1};
    EXPECT_EQ(0, telvo_GetProbePos(pos));
    EXPECT_EQ(-1, pos[0]);

    // Without new frames while state 3: purge code 12 on every call.
    tsim_clear_writes();
    telvo_GetStatus(&record);
    telvo_GetStatus(&record);
    EXPECT_GE(countWrites(12), 1);

    // State-3 frames do not count down; state-0 frames do: 2, 1, then done.
    // Another state (2) neither counts down nor makes the idle feeder purge.
    ASSERT_EQ(1, frame(3, 0));
    ASSERT_EQ(1, frame(3, 0));
    ASSERT_EQ(1, frame(2, 0));
    tsim_clear_writes();
    telvo_GetStatus(&record);
    telvo_GetStatus(&record);
    EXPECT_EQ(0, countWrites(12));
    ASSERT_EQ(1, frame(0, 0));
    ASSERT_EQ(1, frame(0, 0));
    EXPECT_EQ(1, telvo_GetProbeResult());
    EXPECT_EQ(1, telvo_IsProbing());
    tsim_clear_writes();
    ASSERT_EQ(1, frame(0, 0));
    EXPECT_EQ(3, telvo_GetProbeResult());
    EXPECT_EQ(0, telvo_IsProbing());
    EXPECT_EQ(1, record.flags & 1);
    EXPECT_EQ(1, countWrites(13));
    ASSERT_EQ(1, telvo_GetProbePos(pos));
    const double expected[6] = {1234, 5, 6, 7, 1234, 1234};  // axes 4 and 5 copy axis 0
    for (int i = 0; i < 6; ++i) EXPECT_EQ(expected[i], pos[i]) << i;

    // Once done, events are ignored and the position stays.
    ASSERT_EQ(1, frame(0, 7, {1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(3, telvo_GetProbeResult());
    EXPECT_EQ(0, record.flags & 1);
    ASSERT_EQ(1, telvo_GetProbePos(pos));
    EXPECT_EQ(1234, pos[0]);
    // A reset hides it.
    telvo_CmdStop(0);
    EXPECT_EQ(0, telvo_GetProbePos(pos));
    EXPECT_EQ(0, telvo_GetProbeResult());
}

TEST_F(Probe, RepeatedTriggerRecaptures) {
    ASSERT_EQ(1, telvo_CmdProbe(start, end, 20.0));
    ASSERT_EQ(1, frame(0, 7, {10}));
    ASSERT_EQ(1, frame(0, 0));            // countdown 1
    ASSERT_EQ(1, frame(0, 7, {20}));      // back to 2, new position
    ASSERT_EQ(1, frame(0, 0));
    ASSERT_EQ(1, frame(0, 0));
    EXPECT_EQ(1, telvo_GetProbeResult());
    ASSERT_EQ(1, frame(0, 0));
    EXPECT_EQ(3, telvo_GetProbeResult());
    double pos[6];
    ASSERT_EQ(1, telvo_GetProbePos(pos));
    EXPECT_EQ(20, pos[0]);
}

TEST_F(Probe, UntriggeredEnd) {
    ASSERT_EQ(1, telvo_CmdProbe(start, end, 20.0));
    ASSERT_EQ(1, frame(2, 6));  // state not 0: ignored
    EXPECT_EQ(1, telvo_GetProbeResult());
    EXPECT_EQ(0, record.flags & 1);
    tsim_clear_writes();
    ASSERT_EQ(1, frame(0, 6));
    EXPECT_EQ(2, telvo_GetProbeResult());
    EXPECT_EQ(0, telvo_IsProbing());
    EXPECT_EQ(1, record.flags & 1);
    EXPECT_EQ(1, countWrites(13));
    double pos[6];
    EXPECT_EQ(0, telvo_GetProbePos(pos));
    // Idle now: a trigger changes nothing.
    const MotionSegment s = segment({0, 0, 0, 0, 0, 0});
    telvo_BufAdd(&s);
    ASSERT_EQ(1, frame(0, 7, {5}));
    EXPECT_EQ(0, telvo_BufEmpty());
    EXPECT_EQ(2, telvo_GetProbeResult());
}

TEST_F(Probe, InterruptedTriggerNeverEndsALaterProbe) {
    ASSERT_EQ(1, telvo_CmdProbe(start, end, 20.0));
    ASSERT_EQ(1, frame(0, 7, {111}));
    telvo_CmdStop(0);  // interrupts the settling
    EXPECT_EQ(0, telvo_GetProbeResult());
    EXPECT_EQ(0, telvo_IsProbing());

    ASSERT_EQ(1, telvo_CmdProbe(start, end, 20.0));
    for (int i = 0; i < 5; ++i) ASSERT_EQ(1, frame(0, 0));
    EXPECT_EQ(1, telvo_GetProbeResult());  // no leftover countdown ends it
    EXPECT_EQ(1, telvo_IsProbing());

    // Event 6 while settling abandons the trigger too.
    ASSERT_EQ(1, frame(0, 7, {222}));
    ASSERT_EQ(1, frame(0, 6));
    EXPECT_EQ(2, telvo_GetProbeResult());
    ASSERT_EQ(1, telvo_CmdProbe(start, end, 20.0));
    for (int i = 0; i < 5; ++i) ASSERT_EQ(1, frame(0, 0));
    EXPECT_EQ(1, telvo_GetProbeResult());
}

TEST_F(Probe, CompletionIsNotOverturnedInTheSameFrame) {
    ASSERT_EQ(1, telvo_CmdProbe(start, end, 20.0));
    ASSERT_EQ(1, frame(0, 7, {50}));
    ASSERT_EQ(1, frame(0, 0));
    ASSERT_EQ(1, frame(0, 0));
    tsim_clear_writes();
    ASSERT_EQ(1, frame(0, 6));  // completes the trigger and carries event 6
    EXPECT_EQ(3, telvo_GetProbeResult());
    EXPECT_EQ(1, countWrites(13));
    double pos[6];
    ASSERT_EQ(1, telvo_GetProbePos(pos));
    EXPECT_EQ(50, pos[0]);
}

TEST_F(Probe, StopDuringProbeKeepsTheQueue) {
    ASSERT_EQ(1, telvo_CmdProbe(start, end, 20.0));
    telvo_GetStatus(&record);
    const int freeBefore = telvo_BufFreeCnt();
    ASSERT_LT(freeBefore, 3999);
    EXPECT_EQ(1, telvo_CmdStop(0));
    EXPECT_EQ(0, telvo_IsProbing());
    EXPECT_EQ(0, telvo_GetProbeResult());
    EXPECT_EQ(freeBefore, telvo_BufFreeCnt());
    // Idle: the feeder adds nothing more, the hook ignores events.
    telvo_BufClear();
    telvo_GetStatus(&record);
    EXPECT_EQ(1, telvo_BufEmpty());
}

TEST_F(Probe, EmptyMoveAndFailedWrite) {
    EXPECT_EQ(0, telvo_CmdProbe(start, start, 20.0));
    EXPECT_EQ(2, telvo_GetProbeResult());
    EXPECT_EQ(0, telvo_IsProbing());
    EXPECT_EQ(0, tsim_write_count());

    // A failed probe write leaves the plan to be fed.
    tsim_inject(TSIM_FAULT_COMMAND_WRITE_FAILS, 0, 0);
    EXPECT_EQ(0, telvo_CmdProbe(start, end, 20.0));
    EXPECT_EQ(1, telvo_GetProbeResult());
    EXPECT_EQ(1, telvo_IsProbing());
    EXPECT_EQ(1, tsim_message_count());
    telvo_GetStatus(&record);
    EXPECT_EQ(3999 - 701, telvo_BufFreeCnt());
}

// ---- end to end on the simulated machine -----------------------------------

class ProbeMachine : public Probe {
protected:
    void SetUp() override {
        Probe::SetUp();
        tsim_set_scripted(0);
        // Align the stream with the machine before moving it.
        for (int i = 0; i < 10 && telvo_GetStatus(&record) == 0; ++i) tsim_advance_ms(1);
        telvo_PosResync();
    }
    // Runs the host loop until the probe is over; returns the frame that
    // carried event 7, if any.
    bool run(tsim_frame* triggerFrame) {
        bool triggered = false;
        for (int ms = 0; ms < 5000 && telvo_IsProbing() == 1; ++ms) {
            tsim_advance_ms(1);
            if (telvo_GetStatus(&record) == 1) {
                if (record.event == 7) {
                    triggered = true;
                    std::memset(triggerFrame, 0, sizeof *triggerFrame);
                    for (int i = 0; i < 7; ++i) triggerFrame->position[i] = record.position[i];
                }
                telvo_BufUpdate();
            }
        }
        return triggered;
    }
};

TEST_F(ProbeMachine, MeetsTheSurface) {
    tsim_set_probe_surface(0, 6000, 1);
    ASSERT_EQ(1, telvo_CmdProbe(start, end, 20.0));
    tsim_frame trigger;
    ASSERT_TRUE(run(&trigger));
    EXPECT_EQ(3, telvo_GetProbeResult());
    EXPECT_EQ(0, telvo_IsProbing());
    double pos[6];
    ASSERT_EQ(1, telvo_GetProbePos(pos));
    EXPECT_EQ(trigger.position[0], pos[0]);
    EXPECT_GE(pos[0], 6000);
    EXPECT_LT(pos[0], 6100);
    EXPECT_EQ(pos[0], pos[4]);  // slaved axes copied
    EXPECT_EQ(pos[0], pos[5]);
    EXPECT_EQ(0, tsim_protocol_error_count()) << tsim_protocol_error_text(0);
    EXPECT_EQ(1, telvo_BufEmpty());
}

TEST_F(ProbeMachine, MissesTheSurface) {
    tsim_set_probe_surface(0, 20000, 1);
    ASSERT_EQ(1, telvo_CmdProbe(start, end, 20.0));
    tsim_frame trigger;
    EXPECT_FALSE(run(&trigger));
    EXPECT_EQ(2, telvo_GetProbeResult());
    int32_t position[7];
    tsim_position(position);
    EXPECT_EQ(10000, position[0]);  // the whole move ran
    EXPECT_EQ(0, tsim_protocol_error_count()) << tsim_protocol_error_text(0);
}

}  // namespace
}  // namespace telvo_test
