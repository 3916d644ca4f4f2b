// Streaming on the wire and the direct commands' payloads.
#include <chrono>
#include <limits>

#include "harness.h"

namespace telvo_test {
namespace {

class Stream : public DeviceTest {
protected:
    // Resync to a frame with the given positions.
    void resyncAt(std::initializer_list<int32_t> positions) {
        tsim_frame f = validFrame();
        int i = 0;
        for (int32_t p : positions) f.position[i++] = p;
        MachineStatus record;
        ASSERT_EQ(1, deliver(f, &record));
        telvo_PosResync();
    }
    std::vector<uint8_t> sendOne(const MotionSegment& s) {
        tsim_clear_writes();
        EXPECT_EQ(1, telvo_BufAdd(&s));
        telvo_CmdPurge(0);  // lower the cached level
        tsim_clear_writes();
        EXPECT_EQ(1, telvo_BufUpdate());
        const auto w = writes();
        EXPECT_EQ(1u, w.size());
        return w.empty() ? std::vector<uint8_t>{} : w[0].bytes;
    }
    void slaveAxes(uint8_t s3, uint8_t s4, uint8_t s5) {
        MachineConfig config;
        std::memset(&config, 0, sizeof config);
        IoConfig io;
        std::memset(&io, 0, sizeof io);
        config.axes[3].slaveOf = s3;
        config.axes[4].slaveOf = s4;
        config.axes[5].slaveOf = s5;
        ASSERT_EQ(1, telvo_Init(&config, &io));
    }
};

TEST_F(Stream, PhaseAndTravelOfWorkedValues) {
    openClean();
    resyncAt({100, -1, 0, 0, 0, 0});
    auto b = sendOne(segment({101.25, -2.0, 0, 0, 0, 0}));
    ASSERT_EQ(52u, b.size());
    EXPECT_EQ(bytes({0x40, 0x59, 0x73, 0x07, 0xD0, 0x12, 0x13, 0x00}),
              std::vector<uint8_t>(b.begin(), b.begin() + 8));
    EXPECT_EQ(125000000, i32At(b, 0));
    EXPECT_EQ(1250000, i32At(b, 4));
    EXPECT_EQ(125000000, i32At(b, 8));
    EXPECT_EQ(-1000000, i32At(b, 12));
    for (int a = 2; a < 6; ++a) {
        EXPECT_EQ(125000000, i32At(b, 8 * a)) << a;  // resync at 0: half a step in
        EXPECT_EQ(0, i32At(b, 8 * a + 4)) << a;
    }
    // The same target again: no travel, the phase where the last one ended.
    b = sendOne(segment({101.25, -2.0, 0, 0, 0, 0}));
    ASSERT_EQ(52u, b.size());
    EXPECT_EQ(187500000, i32At(b, 0));
    EXPECT_EQ(0, i32At(b, 4));
}

TEST_F(Stream, SlavingCodesAndSlotIndex) {
    openClean();
    slaveAxes(0, 2, 5);  // axis 4 follows axis 1, axis 5 follows axis 4
    resyncAt({0, 0, 0, 0, 0, 0});
    auto b = sendOne(segment({1.5, 2.25, 3, 4, 5, 6}, 0, 0x3A, 0x3A));
    ASSERT_EQ(52u, b.size());
    EXPECT_EQ(i32At(b, 8), i32At(b, 32));   // axis 4 = axis 1
    EXPECT_EQ(i32At(b, 12), i32At(b, 36));
    EXPECT_EQ(i32At(b, 8), i32At(b, 40));   // axis 5 = axis 4 = axis 1
    EXPECT_EQ(i32At(b, 12), i32At(b, 44));
    EXPECT_EQ(2250000, i32At(b, 12));
    EXPECT_EQ(4000000, i32At(b, 28));       // axis 3 moves on its own
    EXPECT_EQ(0xA3, b[50]);
    EXPECT_EQ(0x3A, b[51]);

    // A slave byte above 6 names no axis: the axis keeps its own values.
    slaveAxes(7, 255, 0);
    b = sendOne(segment({1.5, 2.25, 3, 5, 6, 7}));
    EXPECT_EQ(1000000, i32At(b, 28));
    EXPECT_EQ(1000000, i32At(b, 36));
    // Slave byte 6 names the sixth axis.
    slaveAxes(6, 0, 0);
    b = sendOne(segment({1.5, 2.25, 3, 8, 9, 12}));
    EXPECT_EQ(i32At(b, 40), i32At(b, 24));
    EXPECT_EQ(5000000, i32At(b, 44));  // axis 5: 7 to 12
    EXPECT_EQ(5000000, i32At(b, 28));  // axis 3 carries it (its own would be 3 steps)

    // Slot indices run to 4999 and wrap to 0.
    telvo_BufClear();
    for (int i = 0; i < 4998; ++i) {
        const MotionSegment s = segment({1.5, 2.25, 3, 5, 6, 7});
        ASSERT_EQ(1, telvo_BufAdd(&s));
        if (telvo_BufFreeCnt() < 10) {
            while (telvo_BufEmpty() == 0) {
                telvo_CmdPurge(0);
                tsim_clear_writes();
                telvo_BufUpdate();
            }
        }
    }
    while (telvo_BufEmpty() == 0) {
        telvo_CmdPurge(0);
        telvo_BufUpdate();
    }
    const MotionSegment s = segment({1.5, 2.25, 3, 5, 6, 7});
    ASSERT_EQ(1, telvo_BufAdd(&s));  // slot 4998
    ASSERT_EQ(1, telvo_BufAdd(&s));  // slot 4999
    ASSERT_EQ(1, telvo_BufAdd(&s));  // slot 0
    telvo_CmdPurge(0);
    tsim_clear_writes();
    ASSERT_EQ(3, telvo_BufUpdate());
    const auto w = writes();
    ASSERT_EQ(1u, w.size());
    EXPECT_EQ(4998, u16At(w[0].bytes, 48));
    EXPECT_EQ(bytes({0x87, 0x13}), std::vector<uint8_t>(w[0].bytes.begin() + 52 + 48, w[0].bytes.begin() + 52 + 50));
    EXPECT_EQ(0, u16At(w[0].bytes, 104 + 48));

    // A clear after the wrap starts again at slot 0.
    ASSERT_EQ(1, telvo_BufAdd(&s));
    telvo_BufClear();
    ASSERT_EQ(1, telvo_BufAdd(&s));
    telvo_CmdPurge(0);
    tsim_clear_writes();
    ASSERT_EQ(1, telvo_BufUpdate());
    EXPECT_EQ(0, u16At(writes()[0].bytes, 48));
}

TEST_F(Stream, FlowControlFromTheCachedLevel) {
    openClean();
    MachineStatus record;
    // 10 segments and a level of 0: one 520-byte block, then nothing.
    for (int i = 0; i < 10; ++i) {
        const MotionSegment s = segment({0.001 * i, 0, 0, 0, 0, 0}, i);
        telvo_BufAdd(&s);
    }
    EXPECT_EQ(10, telvo_BufUpdate());
    EXPECT_EQ(1, telvo_BufEmpty());
    auto w = writes();
    ASSERT_EQ(1u, w.size());
    EXPECT_EQ(520u, w[0].bytes.size());
    EXPECT_EQ(0, telvo_BufUpdate());

    // 200 segments: 75 now, the rest only after new frames.
    tsim_clear_writes();
    for (int i = 0; i < 200; ++i) {
        const MotionSegment s = segment({0, 0, 0, 0, 0, 0}, i);
        telvo_BufAdd(&s);
    }
    EXPECT_EQ(0, telvo_BufUpdate());  // still full since the last block
    tsim_frame f = validFrame();
    f.bufferLevel = 0;
    ASSERT_EQ(1, deliver(f, &record));
    EXPECT_EQ(75, telvo_BufUpdate());
    EXPECT_EQ(3999 - 125, telvo_BufFreeCnt());
    EXPECT_EQ(0, telvo_BufUpdate());
    f.bufferLevel = 851;  // above bufferSize - 150: nothing
    ASSERT_EQ(1, deliver(f, &record));
    EXPECT_EQ(0, telvo_BufUpdate());
    f.bufferLevel = 850;
    ASSERT_EQ(1, deliver(f, &record));
    EXPECT_EQ(75, telvo_BufUpdate());
    ASSERT_EQ(1, deliver(f, &record));
    EXPECT_EQ(50, telvo_BufUpdate());
    w = writes();
    ASSERT_EQ(3u, w.size());
    EXPECT_EQ(75u * 52, w[0].bytes.size());
    EXPECT_EQ(50u * 52, w[2].bytes.size());
    for (const auto& write : w) EXPECT_EQ(0x02, write.pipe);

    // At another buffer size the rule holds against that size: frames are
    // compared with 512 - 150, and the last block counts as filling 512
    // places, so raising the size to 1000 leaves room at once.
    telvo_SetBuffSize(512);
    for (int i = 0; i < 100; ++i) {
        const MotionSegment s = segment({0, 0, 0, 0, 0, 0}, i);
        telvo_BufAdd(&s);
    }
    f.bufferLevel = 363;
    ASSERT_EQ(1, deliver(f, &record));
    EXPECT_EQ(0, telvo_BufUpdate());
    f.bufferLevel = 362;
    ASSERT_EQ(1, deliver(f, &record));
    EXPECT_EQ(75, telvo_BufUpdate());
    EXPECT_EQ(0, telvo_BufUpdate());
    telvo_SetBuffSize(1000);
    EXPECT_EQ(25, telvo_BufUpdate());

    // Without a device the queue drains without effect.
    telvo_Close();
    const MotionSegment s = segment({0, 0, 0, 0, 0, 0});
    telvo_BufAdd(&s);
    telvo_CmdPurge(0);
    EXPECT_EQ(1, telvo_BufUpdate());
    EXPECT_EQ(1, telvo_BufEmpty());
}

class Commands : public DeviceTest {};

TEST_F(Commands, Payloads) {
    openClean();
    EXPECT_EQ(1, telvo_CmdJogOn(2, 0, 1000));
    EXPECT_EQ(1, telvo_CmdJogOn(2, 7, 1000));
    EXPECT_EQ(1, telvo_CmdJogOn(1, -1, -1000));
    EXPECT_EQ(1, telvo_CmdJogOff(3));
    EXPECT_EQ(1, telvo_CmdSetOutputs(1, 2, 3));
    EXPECT_EQ(1, telvo_CmdSpindle(2, 0xABCD, 1000));
    EXPECT_EQ(1, telvo_SetupMPG(1, 0.001, 500, 2));
    EXPECT_EQ(1, telvo_SetupMPG(0, 0.0003, 1, 0));
    EXPECT_EQ(1, telvo_SetupMPG(0, -0.5, 0, 1));
    EXPECT_EQ(1, telvo_SetupMPG(0, std::numeric_limits<double>::quiet_NaN(), 0, 1));
    EXPECT_EQ(1, telvo_CmdStop(9));
    const auto w = writes();
    ASSERT_EQ(11u, w.size());
    EXPECT_EQ(packet(2, bytes({0x02, 0x01, 0x00, 0x80, 0x3E, 0x00})), w[0].bytes);
    EXPECT_EQ(packet(2, bytes({0x02, 0xFF, 0x00, 0x80, 0x3E, 0x00})), w[1].bytes);
    EXPECT_EQ(packet(2, bytes({0x01, 0xFF, 0x00, 0x80, 0xC1, 0xFF})), w[2].bytes);  // -4 096 000
    EXPECT_EQ(packet(3, bytes({0x03})), w[3].bytes);
    EXPECT_EQ(packet(6, bytes({0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00})), w[4].bytes);
    EXPECT_EQ(packet(7, bytes({0x02, 0xCD, 0xAB, 0x00, 0x00, 0x00, 0x80, 0x3E, 0x00, 0x00})), w[5].bytes);
    EXPECT_EQ(packet(17, bytes({0x01, 10, 0, 0, 0, 0x00, 0x40, 0x1F, 0x00, 0x01, 0x00})), w[6].bytes);
    EXPECT_EQ(packet(17, bytes({0x00, 2, 0, 0, 0, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00})), w[7].bytes);
    EXPECT_EQ(packet(17, bytes({0x00, 0x78, 0xEC, 0xFF, 0xFF, 0, 0, 0, 0, 0x01, 0x00})), w[8].bytes);
    EXPECT_EQ(packet(17, bytes({0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x00})), w[9].bytes);  // NaN scale: 0
    EXPECT_EQ(packet(14, bytes({9})), w[10].bytes);
    EXPECT_EQ(0, tsim_protocol_error_count());
}

TEST_F(Commands, HomingIsCountedThroughTheStatusPath) {
    openClean();
    EXPECT_EQ(0, telvo_CmdHomeAxis(6));  // refused: nothing sent, not counted
    EXPECT_EQ(0, telvo_CmdHomeAxis(255));
    EXPECT_EQ(0, tsim_write_count());
    EXPECT_EQ(0, telvo_IsHoming());
    EXPECT_EQ(1, telvo_CmdHomeAxis(5));
    EXPECT_EQ(packet(5, bytes({5, 0})), writes()[0].bytes);
    EXPECT_EQ(1, telvo_IsHoming());
    MachineStatus record;
    tsim_frame f = validFrame();
    f.event = 5;
    f.eventAxis = 5;
    ASSERT_EQ(1, deliver(f, &record));
    EXPECT_EQ(0, telvo_IsHoming());

    // Stop ends homing at once, also without a device, and counts are kept
    // when the write fails.
    telvo_CmdHomeAxis(0);
    telvo_CmdHomeAxis(1);
    int stopped = -1;
    EXPECT_EQ(0, whileFirstWriteHeld([&stopped] { stopped = telvo_CmdStop(0); }, [] { return telvo_IsHoming(); }))
        << "homing still counted while the stop was being written";
    EXPECT_EQ(1, stopped);
    EXPECT_EQ(0, telvo_IsHoming());
    telvo_Close();
    EXPECT_EQ(0, telvo_CmdHomeAxis(3));
    EXPECT_EQ(1, telvo_IsHoming());  // raised before the write
    EXPECT_EQ(0, telvo_CmdStop(0));
    EXPECT_EQ(0, telvo_IsHoming());
}

TEST_F(Commands, DisconnectSequence) {
    openClean();
    telvo_CmdHomeAxis(1);
    // A read in flight and three frames waiting (axis 0 at 1, 2, 3): the five
    // polls take all three, and the last becomes the current frame.
    MachineStatus record;
    ASSERT_EQ(0, telvo_GetStatus(&record));
    for (int32_t at = 1; at <= 3; ++at) {
        tsim_frame f = validFrame();
        f.position[0] = at;
        uint8_t raw[60];
        tsim_frame_encode(&f, raw);
        tsim_push_frame(raw);
    }
    tsim_clear_writes();
    const auto before = std::chrono::steady_clock::now();
    // Homing and probing end last, after the writes and the polls.
    int disconnected = -1;
    EXPECT_EQ(1, whileFirstWriteHeld([&disconnected] { disconnected = telvo_Disconnect(); },
                                     [] { return telvo_IsHoming(); }))
        << "homing already reset while the outputs-off packet was being written";
    EXPECT_EQ(0, disconnected);
    // Six pauses of 100 ms: a lower bound, which sleeping cannot undercut.
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(600));
    const auto w = writes();
    ASSERT_EQ(2u, w.size());
    EXPECT_EQ(bytes({0x06, 0xF9, 0x08, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}), w[0].bytes);
    EXPECT_EQ(bytes({0x0E, 0xF1, 0x01, 0x00, 0x03}), w[1].bytes);
    EXPECT_EQ(0, telvo_IsHoming());
    EXPECT_EQ(1, tsim_device_open());
    EXPECT_EQ(1, telvo_CmdJogOff(0));  // the link stays open
    // The stream realigns with the last frame taken: from 3 to 10 is 7 steps.
    telvo_PosResync();
    const MotionSegment s = segment({10});
    ASSERT_EQ(1, telvo_BufAdd(&s));
    tsim_clear_writes();
    ASSERT_EQ(1, telvo_BufUpdate());
    ASSERT_EQ(1, tsim_write_count());
    EXPECT_EQ(7'000'000, i32At(writes()[0].bytes, 4)) << "travel of axis 0 after the resync";

    // On a closed link nothing is written and the state is still reset.
    telvo_Close();
    tsim_clear_writes();
    telvo_CmdHomeAxis(1);
    EXPECT_EQ(0, telvo_Disconnect());
    EXPECT_EQ(0, tsim_write_count());
    EXPECT_EQ(0, telvo_IsHoming());
}

}  // namespace
}  // namespace telvo_test
