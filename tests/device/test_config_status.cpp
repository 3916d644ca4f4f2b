// Configuration blocks on the wire, and the status path: the record, the
// tag lookup, the spindle speed, the automatic purge and the homing event.
#include <cmath>

#include "harness.h"

namespace telvo_test {
namespace {

class Config : public DeviceTest {
protected:
    MachineConfig config{};
    IoConfig io{};
    void SetUp() override {
        DeviceTest::SetUp();
        std::memset(&config, 0, sizeof config);
        std::memset(&io, 0, sizeof io);
    }
    // Init and return the two payloads written.
    std::pair<std::vector<uint8_t>, std::vector<uint8_t>> initAndCapture() {
        tsim_clear_writes();
        EXPECT_EQ(1, telvo_Init(&config, &io));
        const auto w = writes();
        EXPECT_EQ(2u, w.size());
        if (w.size() != 2) return {};
        EXPECT_EQ(0x01, w[0].pipe);
        EXPECT_EQ(0x01, w[1].pipe);
        EXPECT_EQ(bytes({9, 0xF6, 0x06, 0x01}), std::vector<uint8_t>(w[0].bytes.begin(), w[0].bytes.begin() + 4));
        EXPECT_EQ(bytes({11, 0xF4, 112, 0}), std::vector<uint8_t>(w[1].bytes.begin(), w[1].bytes.begin() + 4));
        return {std::vector<uint8_t>(w[0].bytes.begin() + 4, w[0].bytes.end()),
                std::vector<uint8_t>(w[1].bytes.begin() + 4, w[1].bytes.end())};
    }
};

TEST_F(Config, AllZeroConfiguration) {
    openClean();
    const auto [axis, ioBlock] = initAndCapture();
    ASSERT_EQ(262u, axis.size());
    ASSERT_EQ(112u, ioBlock.size());
    for (size_t i = 0; i < axis.size(); ++i) {
        const int expected = i == 254 ? 0xF4 : i == 255 ? 0x01 : (i == 257 || i == 260) ? 1 : 0;
        EXPECT_EQ(expected, axis[i]) << "axis block byte " << i;
    }
    for (size_t i = 0; i < ioBlock.size(); ++i) EXPECT_EQ(0, ioBlock[i]) << "io block byte " << i;
    uint8_t kept[262];
    ASSERT_EQ(1, tsim_axis_config(kept));
    EXPECT_EQ(0, std::memcmp(kept, axis.data(), 262));
    EXPECT_EQ(0, tsim_protocol_error_count());
}

TEST_F(Config, AxisRecordConversions) {
    openClean();
    const int32_t velocities[] = {1000, -1, 524288, 524287, 0, -2147483647 - 1, 2147483647};
    const int32_t accelerations[] = {1000000, 100000, 61, -1000, 250000, 2147483647, -2147483647 - 1};
    for (int k = 0; k < 7; ++k) {
        config.axes[k].stepsPerUnit = 100 + k;
        config.axes[k].maxVelocity = velocities[k];
        config.axes[k].acceleration = accelerations[k];
        config.axes[k].slaveOf = static_cast<uint8_t>(k == 4 ? 200 : k);
        config.axes[k].deviceParam1 = -7 * k;
        config.axes[k].deviceParam2 = 0x01020304;
        config.axes[k].auxVelocity = velocities[6 - k];
        config.axes[k].deviceParam3 = 99;
        config.axes[k].deviceParam4 = static_cast<uint8_t>(0xF0 + k);
    }
    const auto [axis, ioBlock] = initAndCapture();
    ASSERT_EQ(262u, axis.size());
    auto shifted = [](int32_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v) << 12); };
    const int32_t expectedAccel[] = {16384, 1638, 0, -16, 4096, 35184372, -35184372};
    for (int k = 0; k < 7; ++k) {
        SCOPED_TRACE(k);
        const size_t r = 34u * k;
        EXPECT_EQ(100 + k, i32At(axis, r + 0));
        EXPECT_EQ(shifted(velocities[k]), i32At(axis, r + 4));
        EXPECT_EQ(expectedAccel[k], i32At(axis, r + 8));
        EXPECT_EQ(-7 * k, i32At(axis, r + 12));
        EXPECT_EQ(0x01020304, i32At(axis, r + 16));
        EXPECT_EQ(0, i32At(axis, r + 20));
        EXPECT_EQ(k == 4 ? 200 : k, axis[r + 24]);  // forwarded unchanged, even out of range
        EXPECT_EQ(shifted(velocities[6 - k]), i32At(axis, r + 25));
        EXPECT_EQ(99, i32At(axis, r + 29));
        EXPECT_EQ(0xF0 + k, axis[r + 33]);
    }
    EXPECT_EQ(4096000, i32At(axis, 4));
    EXPECT_EQ(-4096, i32At(axis, 34 + 4));
    EXPECT_EQ(static_cast<int32_t>(0x80000000u), i32At(axis, 68 + 4));  // 2^19 << 12 wraps
}

TEST_F(Config, MachineFieldsAndSwitches) {
    openClean();
    config.machineParam1 = 0xAA;
    config.machineParam2 = -2;
    config.machineParam3 = 0x11223344;
    config.machineParam4 = 7;
    config.machineParam5 = 0x55;
    config.machineParam6 = 0x66;
    std::memset(config.reserved, 0xEE, sizeof config.reserved);
    const struct {
        uint8_t switch1, switch2, sent261, sent259;
    } cases[] = {{0, 0, 0, 0}, {1, 1, 1, 1}, {2, 2, 0, 1}, {3, 255, 1, 1}, {0xFE, 0x80, 0, 1}};
    for (const auto& c : cases) {
        config.machineSwitch1 = c.switch1;
        config.machineSwitch2 = c.switch2;
        const auto [axis, ioBlock] = initAndCapture();
        ASSERT_EQ(262u, axis.size());
        EXPECT_EQ(0, axis[238]);
        EXPECT_EQ(0xAA, axis[239]);
        EXPECT_EQ(-2, i32At(axis, 240));
        EXPECT_EQ(0x11223344, i32At(axis, 244));
        EXPECT_EQ(7, i32At(axis, 248));
        EXPECT_EQ(0, axis[252]);
        EXPECT_EQ(0x55, axis[253]);
        EXPECT_EQ(500, u16At(axis, 254));
        EXPECT_EQ(0x66, axis[256]);
        EXPECT_EQ(1, axis[257]);
        EXPECT_EQ(0, axis[258]);
        EXPECT_EQ(c.sent259, axis[259]);
        EXPECT_EQ(1, axis[260]);
        EXPECT_EQ(c.sent261, axis[261]);
    }
}

TEST_F(Config, PinPlacementAndMasks) {
    openClean();
    for (int e = 0; e < 47; ++e) io.pins[e].pin = static_cast<uint8_t>(100 + e);
    io.pins[0].pinFlags = 3;   // both high-bank masks, bit 0
    io.pins[1].pinFlags = 4;   // ignored bits
    io.pins[28].pinFlags = 1;  // low slot 12, flag 0
    io.pins[29].pinFlags = 2;  // low slot 6, flag 1
    io.pins[40].pinFlags = 3;  // low slot 19
    io.pins[46].pinFlags = 0xFF;  // low slot 18, only bits 0 and 1 count
    for (int i = 0; i < 16; ++i) io.ioValues[i] = static_cast<uint16_t>(0x1000 + i);
    const auto [axis, b] = initAndCapture();
    ASSERT_EQ(112u, b.size());
    for (int e = 0; e <= 21; ++e) EXPECT_EQ(100 + e, b[32 + e]) << e;  // high bank
    for (int e = 22; e <= 27; ++e) EXPECT_EQ(100 + e, b[e - 22]) << e;
    for (int a = 0; a < 6; ++a) {
        EXPECT_EQ(100 + 28 + 2 * a, b[12 + a]) << a;
        EXPECT_EQ(100 + 29 + 2 * a, b[6 + a]) << a;
    }
    EXPECT_EQ(140, b[19]);
    EXPECT_EQ(141, b[21]);
    EXPECT_EQ(142, b[25]);
    EXPECT_EQ(143, b[27]);
    EXPECT_EQ(144, b[26]);
    EXPECT_EQ(145, b[28]);
    EXPECT_EQ(146, b[18]);
    for (int slot : {20, 22, 23, 24, 29, 30, 31}) EXPECT_EQ(0, b[slot]) << slot;
    for (int slot = 22; slot < 32; ++slot) EXPECT_EQ(0, b[32 + slot]) << slot;
    EXPECT_EQ((1u << 12) | (1u << 19) | (1u << 18), static_cast<uint32_t>(i32At(b, 64)));  // low flag 0
    EXPECT_EQ(1u, static_cast<uint32_t>(i32At(b, 68)));                                   // high flag 0
    EXPECT_EQ((1u << 6) | (1u << 19) | (1u << 18), static_cast<uint32_t>(i32At(b, 72)));  // low flag 1
    EXPECT_EQ(1u, static_cast<uint32_t>(i32At(b, 76)));                                   // high flag 1
    for (int i = 0; i < 16; ++i) EXPECT_EQ(0x1000 + i, u16At(b, 80 + 2 * i));

    // A second Init rebuilds the I/O block from scratch.
    std::memset(&io, 0, sizeof io);
    const auto [axis2, b2] = initAndCapture();
    for (size_t i = 0; i < b2.size(); ++i) EXPECT_EQ(0, b2[i]) << i;
}

TEST_F(Config, InitWithoutDeviceAndNullRecords) {
    config.axes[0].stepsPerUnit = 5;
    EXPECT_EQ(1, telvo_Init(&config, &io));  // no device: stored, nothing sent
    EXPECT_EQ(0, tsim_write_count());
    ASSERT_EQ(1, telvo_Open());
    EXPECT_EQ(0, tsim_write_count());  // open does not send them
    // A refused Init changes nothing, a homing included.
    telvo_CmdHomeAxis(2);
    tsim_clear_writes();
    EXPECT_EQ(0, telvo_Init(nullptr, &io));
    EXPECT_EQ(0, telvo_Init(&config, nullptr));
    EXPECT_EQ(0, tsim_write_count());
    EXPECT_EQ(1, telvo_IsHoming());

    // Init ends a homing before it writes the first block.
    int initialised = -1;
    EXPECT_EQ(0, whileFirstWriteHeld([this, &initialised] { initialised = telvo_Init(&config, &io); },
                                     [] { return telvo_IsHoming(); }))
        << "homing still counted while the code-9 block was being written";
    EXPECT_EQ(1, initialised);
    EXPECT_EQ(0, telvo_IsHoming());
    EXPECT_EQ(2, tsim_write_count());
}

class Status : public DeviceTest {};

TEST_F(Status, RecordFieldsAndCorruptFrames) {
    openClean();
    tsim_frame f = validFrame();
    f.state = 2;
    f.event = 9;
    f.flags = 0x40;
    f.deviceWord0 = 0x1111;
    f.deviceWord1 = 0x2222;
    for (int i = 0; i < 7; ++i) f.position[i] = -1000 * (i + 1);
    f.bufferLevel = 321;
    f.deviceInt0 = 0xA0A0A0A0;
    f.deviceInt1 = 1;
    f.deviceInt2 = 0xFFFFFFFF;
    f.deviceByte = 0x77;
    f.eventAxis = 0x1F;
    f.deviceWord2 = 0xBEEF;
    MachineStatus record;
    std::memset(&record, 0x5A, sizeof record);
    ASSERT_EQ(1, deliver(f, &record));
    EXPECT_EQ(62, record.length);
    EXPECT_EQ(2, record.state);
    EXPECT_EQ(9, record.event);
    EXPECT_EQ(0x40, record.flags);
    EXPECT_EQ(0x1111, record.deviceWord0);
    EXPECT_EQ(0x2222, record.deviceWord1);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(-1000 * (i + 1), record.position[i]);
    EXPECT_EQ(321, record.bufferLevel);
    EXPECT_EQ(0xA0A0A0A0u, static_cast<uint32_t>(record.deviceInt0));  // by value: packed, unaligned
    EXPECT_EQ(1u, static_cast<uint32_t>(record.deviceInt1));
    EXPECT_EQ(0xFFFFFFFFu, static_cast<uint32_t>(record.deviceInt2));
    EXPECT_EQ(0x77, record.deviceByte);
    EXPECT_EQ(0x1F, record.eventAxis);
    EXPECT_EQ(0xBEEF, record.deviceWord2);
    EXPECT_EQ(0.0f, record.spindleRpm);

    // Frames whose first byte is not 60 are discarded whole.
    for (int first : {59, 61, 0, 62}) {
        tsim_frame bad = f;
        bad.length = static_cast<uint8_t>(first);
        bad.position[0] = 5;
        bad.event = 5;
        uint8_t raw[60];
        tsim_frame_encode(&bad, raw);
        tsim_push_frame(raw);
        MachineStatus other;
        std::memset(&other, 0x33, sizeof other);
        const MachineStatus before = other;
        for (int i = 0; i < 4; ++i) EXPECT_EQ(0, telvo_GetStatus(&other));
        EXPECT_EQ(0, std::memcmp(&before, &other, sizeof other));
    }
    // The current frame is still the good one: a resync uses its positions.
    telvo_PosResync();
    const MotionSegment s = segment({-1000, 0, 0, 0, 0, 0});
    telvo_BufAdd(&s);
    tsim_clear_writes();
    EXPECT_EQ(1, telvo_BufUpdate());
    const auto w = writes();
    ASSERT_EQ(1u, w.size());
    EXPECT_EQ(125000000, i32At(w[0].bytes, 0));
    EXPECT_EQ(0, i32At(w[0].bytes, 4));
}

TEST_F(Status, TagLookupAndSpindleSpeed) {
    openClean();
    telvo_SetBuffSize(300);
    // Fill slots 0..4999 by adding and streaming; tag = slot + 1000.
    for (int i = 0; i < 5000; ++i) {
        const MotionSegment s = segment({0, 0, 0, 0, 0, 0}, i + 1000);
        ASSERT_EQ(1, telvo_BufAdd(&s));
        if (telvo_BufFreeCnt() < 100) {
            while (telvo_BufEmpty() == 0) {
                telvo_CmdPurge(0);
                telvo_BufUpdate();
            }
        }
    }
    MachineStatus record;
    const struct {
        uint16_t index;
        int32_t tag;
    } cases[] = {{4999, 5999}, {0, 1000}, {1234, 2234}, {5000, 0}, {65535, 0}};
    for (const auto& c : cases) {
        tsim_frame f = validFrame();
        f.segmentIndex = c.index;
        ASSERT_EQ(1, deliver(f, &record));
        EXPECT_EQ(c.tag, record.segmentTag) << c.index;
    }
    const struct {
        uint32_t period;
        float rpm;
    } spindle[] = {{50000000, 60.0f}, {3000000, 1000.0f}, {0, 0.0f}, {1, 3.0e9f}, {0xFFFFFFFFu, static_cast<float>(50e6 / 4294967295.0 * 60.0)}};
    for (const auto& c : spindle) {
        tsim_frame f = validFrame();
        f.spindlePeriod = c.period;
        ASSERT_EQ(1, deliver(f, &record));
        EXPECT_EQ(c.rpm, record.spindleRpm) << c.period;
    }
}

TEST_F(Status, AutomaticPurgeWhenNearlyFullAndHalted) {
    openClean();
    MachineStatus record;
    const struct {
        int bufferSize;
        uint16_t level;
        uint8_t state;
        bool purge;
    } cases[] = {{1000, 850, 3, true},  {1000, 849, 3, false}, {1000, 1000, 2, false},
                 {1000, 999, 3, true},  {300, 150, 3, true},   {300, 149, 3, false},
                 {1000, 65535, 3, true}, {1000, 850, 0, false}, {1000, 900, 1, false},
                 {1000, 900, 4, false}, {1000, 999, 255, false}, {512, 362, 3, true},
                 {512, 361, 3, false},  {512, 363, 0, false},  {300, 200, 0, false},
                 {300, 151, 4, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        telvo_SetBuffSize(c.bufferSize);
        tsim_clear_writes();
        tsim_frame f = validFrame();
        f.bufferLevel = c.level;
        f.state = c.state;
        ASSERT_EQ(1, deliver(f, &record));
        EXPECT_EQ(c.level, record.bufferLevel);  // the record keeps the received level
        const auto w = writes();
        if (c.purge) {
            ASSERT_EQ(1u, w.size());
            EXPECT_EQ(bytes({0x0C, 0xF3, 0x04, 0x00, 0, 0, 0, 0}), w[0].bytes);
        } else {
            EXPECT_EQ(0u, w.size());
        }
        // After a purge the cached level is 0: streaming may send at once.
        const MotionSegment s = segment({0, 0, 0, 0, 0, 0});
        telvo_BufAdd(&s);
        EXPECT_EQ(c.purge || c.level <= c.bufferSize - 150 ? 1 : 0, telvo_BufUpdate());
        telvo_BufClear();
    }
}

TEST_F(Status, HomingEventMarksTheRecordOnly) {
    openClean();
    EXPECT_EQ(1, telvo_CmdHomeAxis(5));
    EXPECT_EQ(1, telvo_CmdHomeAxis(2));
    EXPECT_EQ(1, telvo_IsHoming());
    MachineStatus record;
    tsim_frame f = validFrame();
    f.event = 5;
    f.eventAxis = 2;
    f.flags = 0x10;
    ASSERT_EQ(1, deliver(f, &record));
    EXPECT_EQ(0x11, record.flags);
    EXPECT_EQ(0x82, record.eventAxis);
    EXPECT_EQ(1, telvo_IsHoming());  // one of two reported
    ASSERT_EQ(1, deliver(f, &record));
    EXPECT_EQ(0, telvo_IsHoming());
    ASSERT_EQ(1, deliver(f, &record));  // a repeated event drives the count below 0
    EXPECT_EQ(1, telvo_IsHoming());
    telvo_CmdStop(0);
    EXPECT_EQ(0, telvo_IsHoming());

    f.event = 4;  // other events leave flags and axis alone
    ASSERT_EQ(1, deliver(f, &record));
    EXPECT_EQ(0x10, record.flags);
    EXPECT_EQ(0x02, record.eventAxis);
    EXPECT_EQ(0, telvo_GetStatus(nullptr));  // no record: nothing taken
}

}  // namespace
}  // namespace telvo_test
