// Fuzz target: segment targets through telvo_BufUpdate.
//
// Input: a setup byte (buffer size, slave bytes), the counters the stream is
// realigned with, then operations: segments added (raw doubles of any kind,
// or small steps from the previous target), frames reporting a fill level
// (which may unlock a block) and purges (which always do). Every block is
// checked against a reference: one wire segment per added segment, in
// order, slot indices running on, codes with their nibbles exchanged, and
// each axis's start phase and travel equal to the conversion computed a
// second way (reference_conversion.cpp), slaving applied in ascending axis
// order. The number of segments each call sends is checked against the
// flow-control rule.
#include <vector>

#include "fuzz_common.h"
#include "reference_conversion.h"

using namespace telvo_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    resetWorld(true);
    const uint8_t setup = in.u8();
    static const int kSizes[4] = {1000, 300, 640, 999};
    const int bufferSize = kSizes[setup & 3];
    telvo_SetBuffSize(bufferSize);
    MachineConfig config = standardConfig();
    uint8_t slaveOf[6] = {0, 0, 0, 0, 0, 0};
    for (int j = 3; j < 6; ++j) {
        slaveOf[j] = (setup & (4 << (j - 3))) != 0 ? static_cast<uint8_t>(in.u8() % 9) : uint8_t{0};
        config.axes[j].slaveOf = slaveOf[j];
    }
    IoConfig io;
    std::memset(&io, 0, sizeof io);
    FUZZ_CHECK(telvo_Open() == 1, "open");
    FUZZ_CHECK(telvo_Init(&config, &io) == 1, "init");

    tsim_frame f = restFrame();
    for (int a = 0; a < 7; ++a) {
        f.position[a] = (setup & 0x20) != 0 ? in.i32() : static_cast<int16_t>(in.u16());
    }
    MachineStatus record;
    FUZZ_CHECK(deliver(f, &record) == 1, "frame");
    telvo_PosResync();
    double tracked[6];
    double previous[6];
    for (int a = 0; a < 6; ++a) {
        tracked[a] = static_cast<double>(f.position[a]) + 0.5;
        previous[a] = static_cast<double>(f.position[a]);
    }

    std::vector<MotionSegment> added;
    int64_t reported = 0;
    const int firstWrite = tsim_write_count();
    int ops = 0;
    while (!in.empty() && ops++ < 3000) {
        const uint8_t op = in.u8();
        switch (op % 4) {
        case 0:
        case 1: {
            MotionSegment s;
            std::memset(&s, 0, sizeof s);
            if ((op & 0x80) != 0) {
                for (double& t : s.target) t = in.interesting();
            } else {
                for (int a = 0; a < 6; ++a) {
                    previous[a] += static_cast<double>(static_cast<int16_t>(in.u16())) / 128.0;
                    s.target[a] = previous[a];
                }
            }
            s.tag = static_cast<int32_t>(added.size());
            s.segmentCode = in.u8();
            s.segmentAux = in.u8();
            const int ok = telvo_BufAdd(&s);
            const int held = static_cast<int>(added.size() - static_cast<size_t>(reported));
            FUZZ_CHECK(ok == (held < 4000 ? 1 : 0), "add %d with %d held", ok, held);
            if (ok == 1) added.push_back(s);
            break;
        }
        case 2:
        case 3: {
            uint16_t level = 0;
            if (op % 4 == 2) {
                tsim_frame g = restFrame();
                g.state = 1;
                g.bufferLevel = static_cast<uint16_t>(in.u16() % 1100);
                FUZZ_CHECK(deliver(g, &record) == 1, "frame");
                level = g.bufferLevel;
            } else {
                telvo_CmdPurge(0);
            }
            const int held = static_cast<int>(added.size() - static_cast<size_t>(reported));
            const int due = level > bufferSize - 150 ? 0 : (held < 75 ? held : 75);
            const int sent = telvo_BufUpdate();
            FUZZ_CHECK(sent == due, "sent %d where %d were due (level %u, %d held)", sent, due, level, held);
            FUZZ_CHECK(telvo_BufUpdate() == 0, "a second block before the next frame");
            reported += sent;
            break;
        }
        }
        checkInvariants();
    }

    // Read the blocks back against the reference.
    std::vector<uint8_t> block(75 * 52);
    int64_t k = 0;
    for (int w = firstWrite; w < tsim_write_count(); ++w) {
        uint8_t pipe = 0;
        const int n = tsim_write_get(w, &pipe, block.data(), static_cast<int>(block.size()), nullptr, nullptr);
        if (pipe != 2) continue;
        FUZZ_CHECK(n > 0 && n % 52 == 0 && n <= 75 * 52, "block of %d bytes", n);
        for (int at = 0; at < n; at += 52, ++k) {
            FUZZ_CHECK(k < static_cast<int64_t>(added.size()), "more segments sent than added");
            const uint8_t* wire = block.data() + at;
            const MotionSegment& s = added[static_cast<size_t>(k)];
            FUZZ_CHECK(telvo_wire::u16(wire + 48) == k % 5000, "segment %lld in slot %u", static_cast<long long>(k),
                       telvo_wire::u16(wire + 48));
            const uint8_t code = static_cast<uint8_t>((s.segmentCode >> 4) | ((s.segmentCode << 4) & 0xF0));
            FUZZ_CHECK(wire[50] == code && wire[51] == s.segmentAux, "segment %lld codes", static_cast<long long>(k));
            int32_t expected[12];
            for (int a = 0; a < 6; ++a) referenceConvert(tracked[a], s.target[a], expected[2 * a], expected[2 * a + 1]);
            for (int j = 3; j < 6; ++j) {
                const int m = slaveOf[j];
                if (m >= 1 && m <= 6) {
                    expected[2 * j] = expected[2 * (m - 1)];
                    expected[2 * j + 1] = expected[2 * (m - 1) + 1];
                }
            }
            for (int i = 0; i < 12; ++i) {
                FUZZ_CHECK(telvo_wire::i32(wire + 4 * i) == expected[i],
                           "segment %lld axis %d %s: %d, reference %d (target %.17g)", static_cast<long long>(k), i / 2,
                           i % 2 == 0 ? "start phase" : "travel", telvo_wire::i32(wire + 4 * i), expected[i],
                           s.target[i / 2]);
            }
        }
    }
    FUZZ_CHECK(k == reported, "%lld segments in blocks, %lld reported sent", static_cast<long long>(k),
               static_cast<long long>(reported));
    for (int a = 0; a < 6; ++a) {
        FUZZ_CHECK(std::memcmp(&tracked[a], &telvo::motion::trackedPosition[a], sizeof(double)) == 0,
                   "axis %d stream position %.17g, reference %.17g", a, telvo::motion::trackedPosition[a], tracked[a]);
    }
    checkWrites(true);
    return 0;
}
