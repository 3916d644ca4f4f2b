// Trace files: writing and reading back, and decoding packets, blocks and
// status records into names and fields.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "files/decode.h"
#include "files/trace.h"

using namespace telvo::tool;

namespace {

std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\n";
    return s;
}

std::vector<uint8_t> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string tempPath(const char* name) {
    return (std::filesystem::temp_directory_path() / (std::string("telvo_trace_test_") + std::to_string(::getpid()) + name)).string();
}

void expectTraceError(const std::vector<uint8_t>& bytes, const char* message) {
    try {
        parseTrace(bytes);
        ADD_FAILURE() << "accepted";
    } catch (const ToolError& e) {
        EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
}

}  // namespace

TEST(Trace, RecordsComeBackAsWritten) {
    std::string path = tempPath("roundtrip.trace");
    MachineStatus status{};
    status.length = 62;
    status.state = 3;
    status.event = 7;
    status.flags = 0x81;
    status.deviceWord0 = 0x1234;
    status.deviceWord1 = 0x5678;
    for (int i = 0; i < 7; ++i) status.position[i] = -1000 * (i + 1) - 7;
    status.spindleRpm = 1234.5f;
    status.bufferLevel = 925;
    status.deviceInt0 = 0xDEADBEEF;
    status.deviceInt1 = 1;
    status.deviceInt2 = 2;
    status.deviceByte = 9;
    status.eventAxis = 0x82;
    status.segmentTag = 123456;
    status.deviceWord2 = 0xFFFF;
    MotionSegment segment{};
    for (int i = 0; i < 6; ++i) segment.target[i] = 100.25 * (i + 1) - 3000.5;
    segment.tag = 42;
    segment.segmentCode = 0x3A;
    segment.segmentAux = 0x5C;
    const uint8_t packet[] = {0x0D, 0xF2, 0x00, 0x00};
    std::vector<uint8_t> block(52 * 2, 0xAB);
    {
        TraceWriter w;
        w.open(path, TraceClock::Simulated);
        w.add(TraceKind::Command, kTraceWriteFailed | kTraceSecondDevice, 5, packet, sizeof packet);
        w.add(TraceKind::Block, 0, 1'000'000'000'000LL, block.data(), block.size());
        w.status(7, status);
        w.note(8, "telvo_Open() = 1");
        w.segment(9, segment);
        w.close();
    }
    std::vector<uint8_t> bytes = fileBytes(path);
    (void)std::remove(path.c_str());
    // Header plus five records of 12 bytes and their data.
    EXPECT_EQ(bytes.size(), 16u + 5 * 12 + 4 + 104 + 62 + 16 + 54);
    EXPECT_EQ(std::memcmp(bytes.data(), "TLVTRACE\x01\x00\x01\x00\x00\x00\x00\x00", 16), 0);

    TraceFile t = parseTrace(bytes);
    EXPECT_EQ(t.clock, TraceClock::Simulated);
    ASSERT_EQ(t.records.size(), 5u);
    EXPECT_EQ(t.records[0].kind, TraceKind::Command);
    EXPECT_EQ(t.records[0].flags, kTraceWriteFailed | kTraceSecondDevice);
    EXPECT_EQ(t.records[0].timeUs, 5);
    EXPECT_EQ(t.records[0].data, std::vector<uint8_t>(packet, packet + 4));
    EXPECT_EQ(t.records[1].timeUs, 1'000'000'000'000LL);
    EXPECT_EQ(t.records[1].data, block);
    ASSERT_EQ(t.records[2].data.size(), 62u);
    MachineStatus back = decodeStatus(t.records[2].data.data());
    EXPECT_EQ(std::memcmp(&back, &status, sizeof status), 0);
    EXPECT_EQ(std::string(t.records[3].data.begin(), t.records[3].data.end()), "telvo_Open() = 1");
    ASSERT_EQ(t.records[4].data.size(), 54u);
    MotionSegment segBack = decodeSegment(t.records[4].data.data());
    EXPECT_EQ(std::memcmp(&segBack, &segment, sizeof segment), 0);

    std::string text = decodeTrace(t, false);
    EXPECT_NE(text.find("PURGE_END_OF_MOVE (13) [write failed] [device 1]"), std::string::npos) << text;
    EXPECT_NE(text.find("STATUS state 3 event 7 flags 0x81 pos X -1007 Y -2007 Z -3007 A -4007 B -5007 C -6007 | "
                        "buffer 925 tag 123456 rpm 1234.5 eventAxis 0x82 pos7 -7007"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("NOTE telvo_Open() = 1"), std::string::npos);
    EXPECT_NE(text.find("SEGMENT tag 42 code 0x3A aux 0x5C target X -2900.250000"), std::string::npos) << text;
    EXPECT_NE(text.find("5 records: 1 commands, 1 blocks, 1 status records, 1 notes, 1 segments"), std::string::npos);
    EXPECT_NE(text.find("simulated controller's clock"), std::string::npos);
}

TEST(Trace, CommandPacketsDecodeToNamesAndFields) {
    struct Case {
        std::vector<uint8_t> bytes;
        const char* text;
    } cases[] = {
        {{0x02, 0xFD, 0x06, 0x00, 0x02, 0x01, 0x00, 0x80, 0x3E, 0x00}, "JOG_ON (2) axis Z forward at 1000 steps/s"},
        {{0x02, 0xFD, 0x06, 0x00, 0x02, 0xFF, 0x00, 0x80, 0x3E, 0x00}, "JOG_ON (2) axis Z reverse at 1000 steps/s"},
        {{0x03, 0xFC, 0x01, 0x00, 0x05}, "JOG_OFF (3) axis C"},
        {{0x05, 0xFA, 0x02, 0x00, 0x05, 0x00}, "HOME (5) axis C"},
        {{0x06, 0xF9, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00}, "SET_OUTPUTS (6) outputs 0x0001 word1 0x0002 word2 0x0003"},
        {{0x07, 0xF8, 0x0A, 0x00, 0x01, 0x10, 0x27, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}, "SPINDLE (7) mode 1 value 10000 speed 16 steps/s byte9 0"},
        {{0x0C, 0xF3, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00}, "PURGE (12) argument 0"},
        {{0x0D, 0xF2, 0x00, 0x00}, "PURGE_END_OF_MOVE (13)"},
        {{0x0E, 0xF1, 0x01, 0x00, 0x03}, "STOP (14) mode 3"},
        {{0x11, 0xEE, 0x0B, 0x00, 0x01, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x40, 0x1F, 0x00, 0x01, 0x00}, "MPG (17) axis Y scale 0.001 speed 500 steps/s enabled"},
        // Broken packets are shown, not hidden.
        {{0x0D, 0xF3, 0x00, 0x00}, "PURGE_END_OF_MOVE (13) [bad complement 0xF3]"},
        {{0x0E, 0xF1, 0x02, 0x00, 0x03}, "STOP (14) mode 3 [length field 2 but 1 payload bytes]"},
        {{0x05, 0xFA, 0x01, 0x00, 0x05}, "HOME (5) payload 1 bytes, expected 2: 05"},
        {{0x63, 0x9C, 0x01, 0x00, 0xAA}, "UNKNOWN_99 (99) 1 bytes: AA"},
        {{0x0D, 0xF2}, "short packet of 2 bytes: 0D F2"},
    };
    for (const Case& k : cases) {
        std::vector<std::string> lines = decodeCommand(k.bytes.data(), k.bytes.size());
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], k.text);
    }

    // Probe: per-axis acceleration figures.
    std::vector<uint8_t> probe = {0x04, 0xFB, 0x30, 0x00};
    probe.resize(4 + 48, 0);
    probe[4] = 0x90;  // 400 on X
    probe[5] = 0x01;
    EXPECT_EQ(decodeCommand(probe.data(), probe.size())[0], "PROBE (4) acceleration figures X=400 Y=0 Z=0 A=0 B=0 C=0");

    // Axis configuration: one line per axis record and the machine tail.
    std::vector<uint8_t> axes = {0x09, 0xF6, 0x06, 0x01};
    axes.resize(4 + 262, 0);
    uint8_t* x = axes.data() + 4;
    x[0] = 0x20, x[1] = 0x03;                               // 800 steps/unit
    x[4] = 0x00, x[5] = 0x00, x[6] = 0xC4, x[7] = 0x09;     // 40000 << 12
    x[8] = 0x99, x[9] = 0x19;                               // 6553
    x[34 * 3 + 24] = 2;                                     // A follows Y
    x[254] = 0xF4, x[255] = 0x01, x[257] = 1, x[260] = 1;   // constants
    std::string text = joined(decodeCommand(axes.data(), axes.size()));
    EXPECT_NE(text.find("AXIS_CONFIG (9) 262 bytes"), std::string::npos) << text;
    EXPECT_NE(text.find("axis   X: 800 steps/unit, max velocity 40000 steps/s, acceleration 6553 (~399963 steps/s^2), slave of -"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("axis   A: 0 steps/unit, max velocity 0 steps/s, acceleration 0 (~0 steps/s^2), slave of Y"), std::string::npos);
    EXPECT_NE(text.find("constants 500 1 1"), std::string::npos) << text;

    // I/O configuration: occupied slots with their flag bits.
    std::vector<uint8_t> io = {0x0B, 0xF4, 0x70, 0x00};
    io.resize(4 + 112, 0);
    io[4 + 6] = 11;
    io[4 + 64] = 0x40;        // low bank flag 0, slot 6
    io[4 + 32 + 0] = 5;
    io[4 + 76] = 0x01;        // high bank flag 1, slot 0
    io[4 + 80] = 7;
    text = joined(decodeCommand(io.data(), io.size()));
    EXPECT_NE(text.find("low bank: 6:11+f0"), std::string::npos) << text;
    EXPECT_NE(text.find("high bank: 0:5+f1"), std::string::npos) << text;
    EXPECT_NE(text.find("io values: 7 0"), std::string::npos) << text;
}

TEST(Trace, BlocksDecodeIntoWireSegmentsPerAxis) {
    std::vector<uint8_t> block(52 * 2, 0);
    // Segment 1, axis X: phase 125,000,000 (half a step), travel 1,250,000.
    const uint8_t x[] = {0x40, 0x59, 0x73, 0x07, 0xD0, 0x12, 0x13, 0x00};
    std::memcpy(block.data(), x, sizeof x);
    block[48] = 0x87, block[49] = 0x13;  // slot 4999
    block[50] = 0xA3;
    block[51] = 0x3A;
    // Segment 2, axis Y travels -1,000,000 with a phase that is not a multiple of 250.
    uint8_t* s2 = block.data() + 52;
    s2[8] = 0x01;
    const int32_t back = -1000000;
    std::memcpy(s2 + 12, &back, 4);
    std::vector<std::string> lines = decodeBlock(block.data(), block.size(), false);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "BLOCK 2 segments, slots 4999..0");
    EXPECT_EQ(lines[1].rfind("  slot 4999 code 0xA3 aux 0x3A | X +1.250000@0.500000 Y +0.000000@0.000000", 0), 0u) << lines[1];
    EXPECT_NE(lines[2].find("Y -1.000000@0.000000[bad phase]"), std::string::npos) << lines[2];

    std::vector<std::string> brief = decodeBlock(block.data(), block.size(), true);
    ASSERT_EQ(brief.size(), 1u);
    EXPECT_EQ(brief[0], "BLOCK 2 segments, slots 4999..0, travel X +1.250 Y -1.000 Z +0.000 A +0.000 B +0.000 C +0.000");

    block.push_back(1);
    EXPECT_NE(decodeBlock(block.data(), block.size(), true)[0].find("[1 trailing bytes]"), std::string::npos);
}

TEST(Trace, DamagedFilesAreRefusedWithTheirOffset) {
    std::vector<uint8_t> good = {'T', 'L', 'V', 'T', 'R', 'A', 'C', 'E', 1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(parseTrace(good).records.empty());
    EXPECT_EQ(parseTrace(good).clock, TraceClock::Host);

    expectTraceError({'G', 'C', 'O', 'D', 'E'}, "not a telvo trace");
    std::vector<uint8_t> version = good;
    version[8] = 2;
    expectTraceError(version, "trace version 2 is not supported");
    std::vector<uint8_t> clock = good;
    clock[10] = 7;
    expectTraceError(clock, "unknown clock 7");
    std::vector<uint8_t> shortHeader = good;
    shortHeader.insert(shortHeader.end(), {4, 0, 0});
    expectTraceError(shortHeader, "cut off at byte 16 (record header incomplete)");
    std::vector<uint8_t> shortData = good;
    shortData.insert(shortData.end(), {4, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'a'});
    expectTraceError(shortData, "cut off at byte 16 (record of 10 bytes incomplete)");
    std::vector<uint8_t> kind = good;
    kind.insert(kind.end(), {9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    expectTraceError(kind, "unknown record kind 9 at byte 16");
}
