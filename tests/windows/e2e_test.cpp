// telvo.dll end to end on Windows (under Wine): a host program linked with
// the import library drives the simulated controller, which Windows reaches
// the real way: SetupAPI lists its interface, CreateFileA opens its path,
// and telvo binds the simulator's WinUsb.dll in place of WinUSB.
//
// Covered: discovery with and without the controller, open and the firmware
// version (5 and 3 bytes), a failed USB initialisation, configuration,
// direct commands and homing, streaming a path with its segment tags,
// probing until the trigger, a failed and a short command write with the
// message box the user sees, and the disconnect sequence. The simulator's
// clock is advanced explicitly: nothing depends on wall-clock time.
#include <windows.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "check.h"
#include "message_watch.h"
#include "sim_device.h"
#include "telvo/telvo.h"
#include "telvo_sim.h"

namespace {

std::vector<uint8_t> writeAt(int i, uint8_t* pipe = nullptr) {
    const int length = tsim_write_get(i, nullptr, nullptr, 0, nullptr, nullptr);
    if (length < 0) return {};
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    tsim_write_get(i, pipe, bytes.data(), length, nullptr, nullptr);
    return bytes;
}

std::vector<uint8_t> packet(uint8_t code, std::vector<uint8_t> payload) {
    std::vector<uint8_t> v = {code, static_cast<uint8_t>(0xFF - code), static_cast<uint8_t>(payload.size()),
                              static_cast<uint8_t>(payload.size() >> 8)};
    v.insert(v.end(), payload.begin(), payload.end());
    return v;
}

MachineConfig machine() {
    MachineConfig config;
    std::memset(&config, 0, sizeof config);
    for (int a = 0; a < 7; ++a) {
        config.axes[a].stepsPerUnit = 1000;
        config.axes[a].maxVelocity = 50000;
        config.axes[a].acceleration = 100000;
    }
    return config;
}

IoConfig noPins() {
    IoConfig io;
    std::memset(&io, 0, sizeof io);
    return io;
}

// Polls until a frame arrives (advancing the simulator's clock between polls).
bool awaitFrame(MachineStatus* record) {
    for (int i = 0; i < 10; ++i) {
        if (telvo_GetStatus(record) == 1) return true;
        tsim_advance_ms(1);
    }
    return false;
}

void discovery() {
    wintest::group = "discovery";
    tsim_reset();
    CHECK(wintest::setDeviceLinked(0));
    CHECK_EQ(telvo_Open(), 0);
    CHECK_TEXT(telvo_GetFirmwareVersion(), "00.00");
    CHECK_EQ(tsim_device_open(), 0);
    CHECK_EQ(tsim_control_count(), 0);
    CHECK_EQ(telvo_Close(), 0);

    CHECK(wintest::setDeviceLinked(1));
    tsim_set_firmware("02.07", 5);
    CHECK_EQ(telvo_Open(), 1);
    CHECK_TEXT(telvo_GetFirmwareVersion(), "02.07");
    CHECK_EQ(tsim_device_open(), 1);
    CHECK_EQ(tsim_control_count(), 1);
    CHECK(telvo_Close() != 0);
    CHECK_EQ(tsim_device_open(), 0);
    CHECK_EQ(telvo_Close(), 0);

    // Three bytes answered: the last two characters keep their "00.00" value.
    tsim_set_firmware("9.8", 3);
    CHECK_EQ(telvo_Open(), 1);
    CHECK_TEXT(telvo_GetFirmwareVersion(), "9.800");
    CHECK(telvo_Close() != 0);

    // USB initialisation fails: the open still reports a controller, the link
    // stays closed, commands are refused without a message.
    wintest::group = "open failed";
    tsim_reset();
    tsim_inject(TSIM_FAULT_INIT_FAILS, 0, 0);
    wintest::MessageWatch watch;
    CHECK_EQ(telvo_Open(), 1);
    CHECK_TEXT(telvo_GetFirmwareVersion(), "00.00");
    CHECK_EQ(tsim_device_open(), 0);
    CHECK_EQ(telvo_CmdStop(0), 0);
    MachineStatus record;
    CHECK_EQ(telvo_GetStatus(&record), 0);
    CHECK_EQ(tsim_write_count(), 0);
    CHECK_EQ(tsim_read_count(), 0);
    CHECK_EQ(watch.count(), 0);
    CHECK(telvo_Close() != 0);  // the events were made
}

void configurationAndCommands() {
    wintest::group = "configuration";
    tsim_reset();
    CHECK_EQ(telvo_Open(), 1);
    tsim_clear_writes();
    MachineConfig config = machine();
    IoConfig io = noPins();
    CHECK_EQ(telvo_Init(&config, &io), 1);
    CHECK_EQ(tsim_write_count(), 2);
    uint8_t pipe = 0;
    std::vector<uint8_t> axis = writeAt(0, &pipe);
    CHECK_EQ(pipe, 0x01);
    CHECK_EQ(axis.size(), 266u);
    CHECK(axis.size() >= 4 && axis[0] == 0x09 && axis[1] == 0xF6 && axis[2] == 0x06 && axis[3] == 0x01);
    std::vector<uint8_t> ioBlock = writeAt(1, &pipe);
    CHECK_EQ(ioBlock.size(), 116u);
    CHECK(ioBlock.size() >= 4 && ioBlock[0] == 0x0B && ioBlock[1] == 0xF4 && ioBlock[2] == 112);
    uint8_t stored[262];
    CHECK_EQ(tsim_axis_config(stored), 1);
    CHECK(axis.size() == 266u && std::memcmp(stored, axis.data() + 4, sizeof stored) == 0);

    wintest::group = "direct commands";
    tsim_clear_writes();
    CHECK_EQ(telvo_CmdSetOutputs(1, 2, 3), 1);
    CHECK(writeAt(0) == packet(6, {0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00}));
    CHECK_EQ(telvo_CmdJogOn(2, 0, 1000), 1);
    CHECK(writeAt(1) == packet(2, {0x02, 0x01, 0x00, 0x80, 0x3E, 0x00}));
    CHECK_EQ(telvo_CmdJogOn(2, 7, 1000), 1);
    CHECK(writeAt(2) == packet(2, {0x02, 0xFF, 0x00, 0x80, 0x3E, 0x00}));
    CHECK_EQ(telvo_CmdJogOff(2), 1);
    CHECK(writeAt(3) == packet(3, {0x02}));
    CHECK_EQ(telvo_CmdPurge(1), 1);
    CHECK(writeAt(4) == packet(13, {}));

    wintest::group = "homing";
    CHECK_EQ(telvo_CmdHomeAxis(5), 1);
    CHECK_EQ(telvo_IsHoming(), 1);
    MachineStatus record;
    for (int ms = 0; ms < 1000 && telvo_IsHoming() == 1; ++ms) {
        tsim_advance_ms(1);
        telvo_GetStatus(&record);
    }
    CHECK_EQ(telvo_IsHoming(), 0);
    CHECK(telvo_Close() != 0);
}

// A steady six-axis path: axis a moves at a different rate, some backwards.
MotionSegment pathSegment(int64_t n) {
    MotionSegment s;
    std::memset(&s, 0, sizeof s);
    static constexpr double kRate[6] = {0.37, -1.25, 3.5, 0.0625, -7.75, 12.125};
    for (int a = 0; a < 6; ++a) s.target[a] = static_cast<double>(n) * kRate[a];
    s.tag = static_cast<int32_t>(n + 1);
    s.segmentCode = static_cast<uint8_t>(n * 7);
    s.segmentAux = static_cast<uint8_t>(n);
    return s;
}

void streaming() {
    wintest::group = "streaming";
    tsim_reset();
    CHECK_EQ(telvo_Open(), 1);
    MachineConfig config = machine();
    IoConfig io = noPins();
    CHECK_EQ(telvo_Init(&config, &io), 1);
    telvo_BufClear();
    MachineStatus record;
    CHECK(awaitFrame(&record));
    telvo_PosResync();

    constexpr int64_t kTotal = 20000;
    int64_t added = 0;
    int32_t lastTag = 0;
    bool tagsInOrder = true;
    for (int64_t cycle = 0; cycle < 4 * kTotal && tsim_executed_count() < kTotal; ++cycle) {
        tsim_advance_ms(1);
        if (telvo_GetStatus(&record) == 1) {
            if (record.segmentTag < lastTag) tagsInOrder = false;
            lastTag = record.segmentTag;
            telvo_BufUpdate();
        }
        while (added < kTotal && telvo_BufFreeCnt() > 0) {
            const MotionSegment s = pathSegment(added);
            if (telvo_BufAdd(&s) != 1) break;
            ++added;
        }
    }
    CHECK_EQ(tsim_executed_count(), kTotal);
    CHECK(tagsInOrder);
    CHECK(lastTag > kTotal - 100);

    // Every segment executed once, in order, each axis at floor(target + 0.5).
    int mismatches = 0;
    for (int64_t n = 0; n < kTotal && mismatches < 5; ++n) {
        tsim_executed e;
        if (tsim_executed_get(n, &e) != 1) {
            ++mismatches;
            continue;
        }
        const MotionSegment s = pathSegment(n);
        bool ok = e.slotIndex == n % 5000 && e.segmentAux == s.segmentAux;
        for (int a = 0; a < 6; ++a)
            ok = ok && e.position[a] == static_cast<int32_t>(std::floor(s.target[a] + 0.5));
        if (!ok) {
            ++mismatches;
            std::printf("    segment %lld executed differently\n", static_cast<long long>(n));
        }
    }
    CHECK_EQ(mismatches, 0);
    CHECK_EQ(tsim_protocol_error_count(), 0);
    CHECK(telvo_Close() != 0);
}

void probing() {
    wintest::group = "probing";
    tsim_reset();
    CHECK_EQ(telvo_Open(), 1);
    MachineConfig config = machine();
    IoConfig io = noPins();
    CHECK_EQ(telvo_Init(&config, &io), 1);
    telvo_BufClear();
    MachineStatus record;
    CHECK(awaitFrame(&record));
    telvo_PosResync();

    tsim_set_probe_surface(0, 6000, 1);
    const double start[6] = {0, 0, 0, 0, 0, 0};
    const double end[6] = {10000, 0, 0, 0, 0, 0};
    CHECK_EQ(telvo_CmdProbe(start, end, 20.0), 1);
    CHECK_EQ(telvo_IsProbing(), 1);
    CHECK_EQ(telvo_GetProbeResult(), 1);
    CHECK_EQ(tsim_probe_armed(), 1);
    int32_t triggerAxis0 = -1;
    for (int ms = 0; ms < 5000 && telvo_IsProbing() == 1; ++ms) {
        tsim_advance_ms(1);
        if (telvo_GetStatus(&record) == 1) {
            if (record.event == 7) triggerAxis0 = record.position[0];
            telvo_BufUpdate();
        }
    }
    CHECK_EQ(telvo_IsProbing(), 0);
    CHECK_EQ(telvo_GetProbeResult(), 3);
    double pos[6] = {};
    CHECK_EQ(telvo_GetProbePos(pos), 1);
    CHECK(pos[0] >= 6000 && pos[0] < 6100);
    CHECK_EQ(pos[0], static_cast<double>(triggerAxis0));
    CHECK_EQ(telvo_BufEmpty(), 1);
    CHECK_EQ(tsim_protocol_error_count(), 0);
    CHECK(telvo_Close() != 0);
}

void failedWrites() {
    wintest::group = "failed write";
    tsim_reset();
    wintest::MessageWatch watch;
    CHECK(watch.hooked());
    CHECK_EQ(telvo_Open(), 1);
    CHECK_EQ(telvo_CmdHomeAxis(1), 1);
    tsim_inject(TSIM_FAULT_COMMAND_WRITE_FAILS, 0, 0);
    CHECK_EQ(telvo_CmdStop(0), 0);
    // One modal box, shown and dismissed before the call returned.
    CHECK_EQ(watch.count(), 1);
    CHECK_TEXT(watch.last().text.c_str(), "Error writing to device!");
    CHECK(!watch.last().caption.empty());
    CHECK_EQ(watch.last().buttons, 1);
    CHECK_TEXT(watch.last().button.c_str(), "OK");
    CHECK(watch.last().exclamation);
    // The link is closed: the device was released, and nothing more is written or shown.
    CHECK_EQ(tsim_device_open(), 0);
    const int writes = tsim_write_count();
    CHECK_EQ(telvo_CmdSetOutputs(1, 0, 0), 0);
    CHECK_EQ(tsim_write_count(), writes);
    MachineStatus record;
    CHECK_EQ(telvo_GetStatus(&record), 0);
    CHECK_EQ(watch.count(), 1);
    CHECK_EQ(telvo_Close(), 0);  // the failure already closed the events

    wintest::group = "short write";
    CHECK_EQ(telvo_Open(), 1);
    tsim_inject(TSIM_FAULT_COMMAND_WRITE_SHORT, 0, 0);
    CHECK_EQ(telvo_CmdJogOff(0), 0);
    CHECK_EQ(watch.count(), 2);
    CHECK_TEXT(watch.last().text.c_str(), "Error writing to device!");
    CHECK_EQ(tsim_device_open(), 0);
    CHECK_EQ(telvo_Close(), 0);
}

void disconnect() {
    wintest::group = "disconnect";
    tsim_reset();
    CHECK_EQ(telvo_Open(), 1);
    CHECK_EQ(telvo_CmdHomeAxis(0), 1);
    tsim_clear_writes();
    CHECK_EQ(telvo_Disconnect(), 0);
    CHECK_EQ(tsim_write_count(), 2);
    CHECK(writeAt(0) == packet(6, {0, 0, 0, 0, 0, 0, 0, 0}));
    CHECK(writeAt(1) == packet(14, {3}));
    CHECK_EQ(telvo_IsHoming(), 0);
    // The device stays open.
    CHECK_EQ(tsim_device_open(), 1);
    CHECK_EQ(telvo_CmdJogOff(1), 1);
    CHECK(telvo_Close() != 0);
    CHECK_EQ(tsim_device_open(), 0);
}

}  // namespace

int main() {
    discovery();
    configurationAndCommands();
    streaming();
    probing();
    failedWrites();
    disconnect();
    CHECK(wintest::setDeviceLinked(0));
    tsim_reset();
    return wintest::finish();
}
