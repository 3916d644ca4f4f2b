// Fuzz target: status frames through telvo_GetStatus while the host streams
// and probes.
//
// Input: a setup byte (streaming, a probe under way, slaved axes, buffer
// size), then operations: a 60-byte frame (made complete, or raw with any
// first byte), segments added, status polls without a frame (the probe
// feeder), streaming calls, purges, resyncs, clears, homings and probe
// restarts. Besides the common invariants it checks each record against the
// frame it came from, the homing count against a shadow count, and the
// probe's trigger position against the frame that carried the trigger.
#include "fuzz_common.h"

using namespace telvo_fuzz;

namespace {

struct Shadow {
    int32_t homing = 0;
    bool haveTrigger = false;
    double trigger[6] = {};
    uint8_t slaveOf[7] = {};
};

void checkRecord(const uint8_t raw[60], const MachineStatus& r) {
    FUZZ_CHECK(r.length == 62, "record length %u", r.length);
    FUZZ_CHECK(r.state == raw[1] && r.event == raw[2], "state or event");
    FUZZ_CHECK((r.flags & 0xFE) == (raw[3] & 0xFE), "flags");
    for (int i = 0; i < 7; ++i) {
        FUZZ_CHECK(r.position[i] == telvo_wire::i32(raw + 8 + 4 * i), "position %d", i);
    }
    FUZZ_CHECK(r.bufferLevel == telvo_wire::u16(raw + 40), "buffer level");
    FUZZ_CHECK(r.deviceWord0 == telvo_wire::u16(raw + 4) && r.deviceWord1 == telvo_wire::u16(raw + 6) &&
                   r.deviceWord2 == telvo_wire::u16(raw + 58),
               "device words");
    FUZZ_CHECK(r.deviceInt0 == static_cast<uint32_t>(telvo_wire::i32(raw + 42)) &&
                   r.deviceInt1 == static_cast<uint32_t>(telvo_wire::i32(raw + 46)) &&
                   r.deviceInt2 == static_cast<uint32_t>(telvo_wire::i32(raw + 50)) && r.deviceByte == raw[54],
               "device fields");
    const uint8_t axisMark = raw[2] == 5 ? 0x80 : 0;
    FUZZ_CHECK(r.eventAxis == (raw[55] | axisMark), "event axis 0x%02X from 0x%02X", r.eventAxis, raw[55]);
    if (raw[2] == 5) FUZZ_CHECK((r.flags & 1) == 1, "homing event not marked");
    if (telvo_wire::u16(raw + 56) >= 5000) FUZZ_CHECK(r.segmentTag == 0, "tag %d past the queue", r.segmentTag);
    const uint32_t period = static_cast<uint32_t>(telvo_wire::i32(raw + 36));
    if (period == 0) {
        FUZZ_CHECK(r.spindleRpm == 0.0f, "spindle speed without a period");
    } else {
        FUZZ_CHECK(std::isfinite(r.spindleRpm) && r.spindleRpm > 0.0f, "spindle speed %g", r.spindleRpm);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    resetWorld(true);
    Shadow shadow;

    const uint8_t setup = in.u8();
    const bool streaming = (setup & 1) != 0;
    FUZZ_CHECK(telvo_Open() == 1, "open");
    MachineConfig config = standardConfig();
    if ((setup & 4) != 0) {
        config.axes[3].slaveOf = static_cast<uint8_t>(in.u8() % 8);
        config.axes[4].slaveOf = static_cast<uint8_t>(in.u8() % 8);
        config.axes[5].slaveOf = static_cast<uint8_t>(in.u8() % 8);
    }
    for (int a = 0; a < 7; ++a) shadow.slaveOf[a] = config.axes[a].slaveOf;
    IoConfig io;
    std::memset(&io, 0, sizeof io);
    FUZZ_CHECK(telvo_Init(&config, &io) == 1, "init");
    static const int kSizes[4] = {1000, 300, 512, 850};
    telvo_SetBuffSize(kSizes[(setup >> 3) & 3]);

    const double start[6] = {0, 0, 0, 0, 0, 0};
    double end[6] = {0, 0, 0, 0, 0, 0};
    end[(setup >> 5) % 6] = 2000.0 + static_cast<double>(setup);
    if ((setup & 2) != 0) telvo_CmdProbe(start, end, 20.0);

    MachineStatus record;
    int32_t tag = 1;
    double along = 0.0;
    int ops = 0;
    while (!in.empty() && ops++ < 2000) {
        const uint8_t op = in.u8();
        switch (op % 8) {
        case 0:
        case 1:
        case 2:
        case 3: {
            uint8_t raw[60];
            in.bytes(raw, sizeof raw);
            if ((op & 0x80) == 0) raw[0] = 60;
            const bool wasProbing = telvo_IsProbing() == 1;
            std::memset(&record, 0xA5, sizeof record);
            const MachineStatus untouched = record;
            const int got = deliverRaw(raw, &record);
            if (raw[0] != 60) {
                FUZZ_CHECK(got == 0, "incomplete frame taken");
                FUZZ_CHECK(std::memcmp(&record, &untouched, sizeof record) == 0, "record touched");
                break;
            }
            FUZZ_CHECK(got == 1, "complete frame not taken");
            checkRecord(raw, record);
            if (raw[2] == 5) --shadow.homing;
            if (raw[2] == 7 && wasProbing && telvo_IsProbing() == 1) {
                shadow.haveTrigger = true;
                for (int i = 0; i < 6; ++i) shadow.trigger[i] = static_cast<double>(record.position[i]);
                for (int j = 3; j < 6; ++j) {
                    const uint8_t s = shadow.slaveOf[j];
                    if (s >= 1 && s <= 6) shadow.trigger[j] = shadow.trigger[s - 1];
                }
            }
            if (streaming) {
                const int sent = telvo_BufUpdate();
                FUZZ_CHECK(sent >= 0 && sent <= 75, "sent %d", sent);
            }
            break;
        }
        case 4: {
            const int n = in.u8() % 80;
            for (int i = 0; i < n; ++i) {
                MotionSegment s;
                std::memset(&s, 0, sizeof s);
                along += 0.75;
                for (int a = 0; a < 6; ++a) s.target[a] = along * (a + 1);
                s.tag = tag++;
                const int added = telvo_BufAdd(&s);
                FUZZ_CHECK(added == 0 || added == 1, "add %d", added);
            }
            break;
        }
        case 5:
            // Nothing was pushed: only the feeder can act.
            FUZZ_CHECK(telvo_GetStatus(&record) == 0, "a frame out of nowhere");
            break;
        case 6: {
            const int sent = telvo_BufUpdate();
            FUZZ_CHECK(sent >= 0 && sent <= 75, "sent %d", sent);
            break;
        }
        default:
            switch (in.u8() % 7) {
            case 0: telvo_CmdPurge(0); break;
            case 1: telvo_CmdPurge(1); break;
            case 2: telvo_PosResync(); break;
            case 3: telvo_BufClear(); break;
            case 4: {
                const uint8_t axis = static_cast<uint8_t>(in.u8() % 8);
                const int sent = telvo_CmdHomeAxis(axis);
                if (axis < 6) ++shadow.homing;
                FUZZ_CHECK(sent == (axis < 6 ? 1 : 0), "homing of axis %u gave %d", axis, sent);
                break;
            }
            case 5:
                telvo_CmdProbe(start, end, 5.0 + in.u8());
                break;
            default:
                telvo_CmdStop(0);
                shadow.homing = 0;
                FUZZ_CHECK(telvo_IsProbing() == 0 && telvo_GetProbeResult() == 0, "stop leaves the probe");
                break;
            }
            break;
        }
        checkInvariants();
        FUZZ_CHECK(telvo_IsHoming() == (shadow.homing != 0 ? 1 : 0), "homing %d, shadow %d", telvo_IsHoming(),
                   shadow.homing);
        if (telvo_GetProbeResult() == 3 && shadow.haveTrigger) {
            double pos[6];
            FUZZ_CHECK(telvo_GetProbePos(pos) == 1, "probe position");
            for (int i = 0; i < 6; ++i) {
                FUZZ_CHECK(pos[i] == shadow.trigger[i], "axis %d triggered at %g, frame said %g", i, pos[i],
                           shadow.trigger[i]);
            }
        }
    }
    checkWrites(false);
    return 0;
}
