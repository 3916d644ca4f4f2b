// Fuzz target: MachineConfig and IoConfig records through telvo_Init, then
// a probing move and a short stream under whatever they configure.
//
// Input: the 231-byte MachineConfig, the 126-byte IoConfig, then the probe
// end point, its speed and the stream's step sizes. The two blocks the
// controller receives are compared with a reference built here from the
// field tables; the limit tables must be usable (steps per unit above 0);
// slaved axes must carry their master's wire values whatever the slave
// bytes hold (values above 6 name no axis).
#include <vector>

#include "fuzz_common.h"

using namespace telvo_fuzz;

namespace {

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

int32_t shifted12(int32_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v) << 12); }

void referenceAxisBlock(const MachineConfig& c, uint8_t out[262]) {
    std::memset(out, 0, 262);
    for (int k = 0; k < 7; ++k) {
        const AxisConfig& a = c.axes[k];
        uint8_t* r = out + 34 * k;
        put32(r + 0, static_cast<uint32_t>(a.stepsPerUnit));
        put32(r + 4, static_cast<uint32_t>(shifted12(a.maxVelocity)));
        // |acceleration x 0.016384| stays far below 2^31: a plain
        // truncation is the whole conversion here.
        const double accel = std::trunc(static_cast<double>(a.acceleration) * 0.016384);
        put32(r + 8, static_cast<uint32_t>(static_cast<int32_t>(accel)));
        put32(r + 12, static_cast<uint32_t>(a.deviceParam1));
        put32(r + 16, static_cast<uint32_t>(a.deviceParam2));
        r[24] = a.slaveOf;
        put32(r + 25, static_cast<uint32_t>(shifted12(a.auxVelocity)));
        put32(r + 29, static_cast<uint32_t>(a.deviceParam3));
        r[33] = a.deviceParam4;
    }
    out[239] = c.machineParam1;
    put32(out + 240, static_cast<uint32_t>(c.machineParam2));
    put32(out + 244, static_cast<uint32_t>(c.machineParam3));
    put32(out + 248, static_cast<uint32_t>(c.machineParam4));
    out[253] = c.machineParam5;
    out[254] = 500 & 0xFF;
    out[255] = 500 >> 8;
    out[256] = c.machineParam6;
    out[257] = 1;
    out[259] = c.machineSwitch2 != 0 ? 1 : 0;
    out[260] = 1;
    out[261] = c.machineSwitch1 & 1;
}

void referenceIoBlock(const IoConfig& io, uint8_t out[112]) {
    // Bank (1 high, 0 low) and slot of each pin entry, as tabulated.
    static const uint8_t kLowSlot[47] = {
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0-21: high bank
        0, 1, 2, 3, 4, 5,                                                  // 22-27
        12, 6, 13, 7, 14, 8, 15, 9, 16, 10, 17, 11,                        // 28-39
        19, 21, 25, 27, 26, 28, 18};                                       // 40-46
    std::memset(out, 0, 112);
    uint32_t masks[4] = {0, 0, 0, 0};  // low f0, high f0, low f1, high f1
    for (int e = 0; e < 47; ++e) {
        const bool high = e <= 21;
        const int slot = high ? e : kLowSlot[e];
        out[(high ? 32 : 0) + slot] = io.pins[e].pin;
        if (io.pins[e].pinFlags & 1) masks[high ? 1 : 0] |= 1u << slot;
        if (io.pins[e].pinFlags & 2) masks[high ? 3 : 2] |= 1u << slot;
    }
    for (int m = 0; m < 4; ++m) put32(out + 64 + 4 * m, masks[m]);
    for (int i = 0; i < 16; ++i) {
        out[80 + 2 * i] = static_cast<uint8_t>(io.ioValues[i]);
        out[81 + 2 * i] = static_cast<uint8_t>(io.ioValues[i] >> 8);
    }
}

// Per-axis values of slaved axes: axis j (3-5) with slave byte s in 1..6
// holds axis s-1's value (stride bytes each). Checked where the master's
// final value is the one j copied: masters below j, or above j and not
// slaved themselves.
void checkSlaving(const uint8_t* wire, size_t stride, const uint8_t slaveOf[7], const char* what) {
    for (int j = 3; j < 6; ++j) {
        const int s = slaveOf[j];
        if (s < 1 || s > 6) continue;
        const int m = s - 1;
        const bool masterFinal = m <= j || m < 3 || slaveOf[m] < 1 || slaveOf[m] > 6;
        if (!masterFinal) continue;
        FUZZ_CHECK(std::memcmp(wire + stride * j, wire + stride * m, stride) == 0, "%s: axis %d does not follow axis %d", what, j,
                   m);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    resetWorld(true);
    MachineConfig config;
    IoConfig io;
    in.bytes(&config, sizeof config);
    in.bytes(&io, sizeof io);
    uint8_t slaveOf[7];
    for (int a = 0; a < 7; ++a) slaveOf[a] = config.axes[a].slaveOf;

    FUZZ_CHECK(telvo_Open() == 1, "open");
    FUZZ_CHECK(telvo_Init(&config, &io) == 1, "init");
    uint8_t sent[262];
    uint8_t expected[262];
    FUZZ_CHECK(tsim_axis_config(sent) == 1, "no axis block");
    referenceAxisBlock(config, expected);
    for (int i = 0; i < 262; ++i) FUZZ_CHECK(sent[i] == expected[i], "axis block byte %d", i);
    FUZZ_CHECK(tsim_io_config(sent) == 1, "no I/O block");
    referenceIoBlock(io, expected);
    for (int i = 0; i < 112; ++i) FUZZ_CHECK(sent[i] == expected[i], "I/O block byte %d", i);
    for (int a = 0; a < 6; ++a) {
        const double spu = telvo::config::axisLimits.stepsPerUnit[a];
        FUZZ_CHECK(spu > 0.0, "axis %d: %g steps per unit", a, spu);
        const double given = static_cast<double>(config.axes[a].stepsPerUnit);
        FUZZ_CHECK(spu == (given > 0.0 ? given : 1e-10), "axis %d steps per unit", a);
        FUZZ_CHECK(telvo::config::axisLimits.velocityLimit[a] == static_cast<double>(config.axes[a].maxVelocity) / spu,
                   "axis %d velocity limit", a);
    }
    checkInvariants();

    // A probe under these limits: planned and fed, or refused; either way
    // it ends.
    MachineStatus record;
    FUZZ_CHECK(deliver(restFrame(), &record) == 1, "frame");
    telvo_PosResync();
    double start[6] = {0, 0, 0, 0, 0, 0};
    double end[6];
    for (double& e : end) e = static_cast<double>(static_cast<int16_t>(in.u16()));
    const double speed = in.interesting();
    const int probed = telvo_CmdProbe(start, end, speed);
    if (probed == 1) {
        uint8_t payload[48];
        FUZZ_CHECK(tsim_last_command(4, payload, 48) == 48, "probe command");
        checkSlaving(payload, 4, slaveOf, "probe command");
    } else {
        FUZZ_CHECK(telvo_GetProbeResult() == 2 && telvo_IsProbing() == 0, "refused probe");
    }
    for (int i = 0; i < 8 && telvo::probe::probeState.planReady == 1; ++i) {
        telvo_GetStatus(&record);
        telvo_BufClear();
        checkInvariants();
    }
    telvo_CmdStop(0);
    telvo_BufClear();

    // A short stream: every block's segments follow their masters.
    const int before = tsim_write_count();
    double position = 0.0;
    for (int i = 0; i < 150; ++i) {
        MotionSegment s;
        std::memset(&s, 0, sizeof s);
        position += static_cast<double>(static_cast<int8_t>(in.u8())) / 16.0;
        for (int a = 0; a < 6; ++a) s.target[a] = position * (a + 1);
        s.tag = i;
        FUZZ_CHECK(telvo_BufAdd(&s) == 1, "add");
    }
    for (int i = 0; i < 3; ++i) {
        telvo_CmdPurge(0);
        telvo_BufUpdate();
    }
    std::vector<uint8_t> block(75 * 52);
    for (int w = before; w < tsim_write_count(); ++w) {
        uint8_t pipe = 0;
        const int n = tsim_write_get(w, &pipe, block.data(), static_cast<int>(block.size()), nullptr, nullptr);
        if (pipe != 2) continue;
        for (int k = 0; k + 52 <= n; k += 52) checkSlaving(block.data() + k, 8, slaveOf, "segment");
    }
    checkInvariants();
    checkWrites(false);
    return 0;
}
