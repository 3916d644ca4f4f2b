// Fuzz target: random sequences of the 26 exports with random arguments
// (null pointers included) against the simulated controller, interleaved
// with what the controller and its connection may do: time passing, frames
// of any content, faults, the device vanishing and coming back, scripted
// and machine mode; and host calls made from the failure message's loop.
//
// Each result is checked against what its export may return (effects on
// the homing and probe state only where no failure message ran a host call
// in between), the common invariants after every step, and at the end that every write was
// well-formed and each failed command write was reported exactly once.
#include "fuzz_common.h"

using namespace telvo_fuzz;

namespace {

MotionSegment segmentFrom(Input& in, double (&previous)[6]) {
    MotionSegment s;
    std::memset(&s, 0, sizeof s);
    const uint8_t form = in.u8();
    for (int a = 0; a < 6; ++a) {
        if ((form & 0x80) != 0) {
            s.target[a] = in.interesting();
        } else {
            previous[a] += static_cast<double>(static_cast<int8_t>(in.u8())) / 8.0;
            s.target[a] = previous[a];
        }
    }
    s.tag = in.i32();
    s.segmentCode = in.u8();
    s.segmentAux = in.u8();
    return s;
}

// The failure message's own message loop: the host may call in from it
// (not Open or Close, which never overlap another call). The link is closed
// by then, so whatever it calls must return without touching the device.
void fromMessageLoop(void* context) {
    Input& in = *static_cast<Input*>(context);
    const int writes = tsim_write_count();
    const int calls = 1 + in.u8() % 3;
    MachineStatus record;
    for (int i = 0; i < calls; ++i) {
        switch (in.u8() % 8) {
        case 0: FUZZ_CHECK(telvo_GetStatus(&record) == 0, "a frame from the closed link"); break;
        case 1: telvo_BufUpdate(); break;
        case 2: FUZZ_CHECK(telvo_CmdStop(0) == 0, "a stop on the closed link"); break;
        case 3: FUZZ_CHECK(telvo_CmdPurge(1) == 0, "a purge on the closed link"); break;
        case 4: {
            MotionSegment s;
            std::memset(&s, 0, sizeof s);
            telvo_BufAdd(&s);
            break;
        }
        case 5: telvo_BufClear(); break;
        case 6: FUZZ_CHECK(telvo_Disconnect() == 0, "disconnect"); break;
        default: FUZZ_CHECK(telvo_CmdHomeAxis(1) == 0, "a homing on the closed link"); break;
        }
    }
    FUZZ_CHECK(tsim_write_count() == writes, "written from the message loop");
    checkInvariants();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    resetWorld(in.u8() & 1);
    double previous[6] = {0, 0, 0, 0, 0, 0};
    MachineConfig config = standardConfig();
    IoConfig io;
    std::memset(&io, 0, sizeof io);
    int ops = 0;
    while (!in.empty() && ops++ < 600) {
        const uint8_t op = in.u8();
        switch (op % 36) {
        case 0: {
            const int r = telvo_Open();
            FUZZ_CHECK(r == 0 || r == 1, "open %d", r);
            break;
        }
        case 1: {
            telvo_Close();
            FUZZ_CHECK(telvo_IsHoming() == 0 && telvo_IsProbing() == 0 && telvo_GetProbeResult() == 0, "close");
            break;
        }
        case 2: {
            const char* v = telvo_GetFirmwareVersion();
            FUZZ_CHECK(v == telvo_GetFirmwareVersion() && std::strlen(v) <= 5, "firmware text");
            break;
        }
        case 3: {
            const uint8_t form = in.u8();
            if ((form & 3) == 1) {
                in.bytes(&config, sizeof config);
                in.bytes(&io, sizeof io);
            } else if ((form & 3) == 2) {
                config = standardConfig();
                config.axes[(form >> 2) % 3 + 3].slaveOf = static_cast<uint8_t>((form >> 4) % 8);
            }
            const bool none = (form & 3) == 3;
            const int messages = tsim_message_count();
            const int r = telvo_Init(none ? nullptr : &config, none ? nullptr : &io);
            FUZZ_CHECK(r == (none ? 0 : 1), "init %d", r);
            // The reset precedes the writes; a host call from the message
            // loop of a failed write may start a homing again.
            if (!none && tsim_message_count() == messages) {
                FUZZ_CHECK(telvo_IsHoming() == 0 && telvo_IsProbing() == 0, "init resets");
            }
            break;
        }
        case 4: {
            MachineStatus record;
            const int r = telvo_GetStatus((op & 0x80) != 0 ? nullptr : &record);
            FUZZ_CHECK(r == 0 || r == 1, "status %d", r);
            if (r == 1) FUZZ_CHECK(record.length == 62, "record length");
            break;
        }
        case 5: {
            const int r = telvo_CmdPurge(in.i32());
            FUZZ_CHECK(r == 0 || r == 1, "purge %d", r);
            break;
        }
        case 6: {
            const int messages = tsim_message_count();
            FUZZ_CHECK(telvo_CmdStop(in.u8()) <= 1, "stop");
            if (tsim_message_count() == messages) {
                FUZZ_CHECK(telvo_IsHoming() == 0 && telvo_IsProbing() == 0, "stop resets");
            }
            break;
        }
        case 7:
            FUZZ_CHECK(telvo_CmdSetOutputs(in.u16(), in.u16(), in.u16()) <= 1, "outputs");
            break;
        case 8:
            FUZZ_CHECK(telvo_CmdJogOn(in.u8(), in.i32(), in.i32()) <= 1, "jog on");
            break;
        case 9:
            FUZZ_CHECK(telvo_CmdJogOff(in.u8()) <= 1, "jog off");
            break;
        case 10:
            FUZZ_CHECK(telvo_CmdSpindle(in.u8(), in.u16(), in.i32()) <= 1, "spindle");
            break;
        case 11: {
            const uint8_t axis = in.u8();
            const int writes = tsim_write_count();
            const int32_t count = telvo::status::homingCount();
            const int messages = tsim_message_count();
            const int r = telvo_CmdHomeAxis(axis);
            if (axis >= 6) {
                FUZZ_CHECK(r == 0 && tsim_write_count() == writes, "homing of axis %u", axis);
                FUZZ_CHECK(telvo::status::homingCount() == count, "homing count moved");
            } else if (tsim_message_count() == messages) {
                FUZZ_CHECK(telvo::status::homingCount() == static_cast<int32_t>(static_cast<uint32_t>(count) + 1u),
                           "homing count not raised");
            }
            break;
        }
        case 12:
            FUZZ_CHECK(telvo_SetupMPG(in.u8(), in.interesting(), in.i32(), in.i32()) <= 1, "MPG");
            break;
        case 13:
            FUZZ_CHECK(telvo_Disconnect() == 0, "disconnect");
            FUZZ_CHECK(telvo_IsHoming() == 0 && telvo_IsProbing() == 0, "disconnect resets");
            break;
        case 14:
            FUZZ_CHECK(telvo_IsHoming() <= 1, "homing");
            break;
        case 15:
            FUZZ_CHECK(telvo_IsProbing() <= 1, "probing");
            break;
        case 16:
            FUZZ_CHECK(telvo_GetProbeResult() <= 3, "probe result");
            break;
        case 17: {
            const int n = 1 + in.u8() % 64;
            for (int i = 0; i < n; ++i) {
                const MotionSegment s = segmentFrom(in, previous);
                const int before = telvo_BufFreeCnt();
                const int r = telvo_BufAdd((op & 0x80) != 0 && i == 0 ? nullptr : &s);
                FUZZ_CHECK(r == 0 || r == 1, "add %d", r);
                if (r == 1) FUZZ_CHECK(telvo_BufFreeCnt() == before - 1, "add counted");
                if (r == 0 && (op & 0x80) == 0) FUZZ_CHECK(before == -1, "add refused with room %d", before);
            }
            break;
        }
        case 18:
            FUZZ_CHECK(telvo_BufFreeCnt() >= -1, "free count");
            break;
        case 19:
            FUZZ_CHECK(telvo_BufEmpty() <= 1, "empty");
            break;
        case 20:
            FUZZ_CHECK(telvo_BufClear() == 1 && telvo_BufEmpty() == 1, "clear");
            break;
        case 21: {
            const int asked = in.i32();
            const int r = telvo_SetBuffSize(asked);
            FUZZ_CHECK(r == (asked < 300 ? 300 : asked > 1000 ? 1000 : asked), "buffer size %d for %d", r, asked);
            break;
        }
        case 22: {
            const int held = 3999 - telvo_BufFreeCnt();
            const int r = telvo_BufUpdate();
            FUZZ_CHECK(r >= 0 && r <= 75 && r <= held, "update %d with %d held", r, held);
            break;
        }
        case 23:
            telvo_PosResync();
            break;
        case 24: {
            double start[6];
            double end[6];
            for (double& s : start) s = in.interesting();
            for (double& e : end) e = in.interesting();
            const double speed = in.interesting();
            const uint8_t form = in.u8();
            const int messages = tsim_message_count();
            const int r = telvo_CmdProbe((form & 1) != 0 ? nullptr : start, (form & 2) != 0 ? nullptr : end, speed);
            FUZZ_CHECK(r == 0 || r == 1, "probe %d", r);
            if (tsim_message_count() == messages) {
                FUZZ_CHECK(telvo_GetProbeResult() == 1 || telvo_GetProbeResult() == 2, "probe result after a probe");
            }
            break;
        }
        case 25: {
            double pos[6];
            const int r = telvo_GetProbePos((op & 0x80) != 0 ? nullptr : pos);
            FUZZ_CHECK(r == 0 || r == 1, "probe position %d", r);
            break;
        }
        // What the controller and the connection do meanwhile.
        case 26:
        case 27:
            tsim_advance_ms(in.u8());
            break;
        case 28: {
            uint8_t raw[60];
            in.bytes(raw, sizeof raw);
            if ((op & 0x80) == 0) raw[0] = 60;
            tsim_push_frame(raw);
            break;
        }
        case 29: {
            const uint8_t kind = in.u8();
            tsim_inject(static_cast<tsim_fault>(1 + kind % 10), in.u8() % 4, (kind & 0x80) != 0 ? 1 : 0);
            break;
        }
        case 30:
            tsim_set_scripted(in.u8() & 1);
            break;
        case 31:
            tsim_set_device_count(in.u8() % 3);
            break;
        case 32:
            tsim_clear_faults();
            break;
        case 33: {
            char text[5];
            in.bytes(text, sizeof text);
            tsim_set_firmware(text, in.u8() % 6);
            break;
        }
        case 34:
            if ((op & 0x80) != 0) {
                tsim_set_message_hook((op & 0x40) != 0 ? &fromMessageLoop : nullptr, &in);
            } else {
                tsim_set_probe_surface(in.u8() % 7, static_cast<int16_t>(in.u16()), (in.u8() & 1) != 0 ? 1 : -1);
            }
            break;
        default: {
            // A short stretch of a host loop: poll, stream, let time pass.
            MachineStatus record;
            const int n = 1 + in.u8() % 32;
            for (int i = 0; i < n; ++i) {
                tsim_advance_ms(1);
                if (telvo_GetStatus(&record) == 1) telvo_BufUpdate();
            }
            break;
        }
        }
        checkInvariants();
    }
    checkWrites(false);
    tsim_set_message_hook(nullptr, nullptr);
    telvo_Close();
    return 0;
}
