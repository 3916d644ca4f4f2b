// The Windows host's view of telvo.dll with no controller attached.
//
// Loads the DLL the way a host that binds it at run time does (LoadLibraryA,
// then GetProcAddress of the 26 undecorated names) and checks what every
// export gives when the platform lists no controller: the open reports none,
// the firmware text stays "00.00", commands are refused, and everything that
// lives on the host side (queue, configuration, homing and probe state,
// probe planning) still works. Runs under Wine or on Windows.
#include <windows.h>

#include <cstring>

#include "check.h"
#include "telvo_exports.h"

namespace {

TelvoExports t;

MachineConfig testMachine() {
    MachineConfig config;
    std::memset(&config, 0, sizeof config);
    for (int axis = 0; axis < 7; ++axis) {
        config.axes[axis].stepsPerUnit = 1000;
        config.axes[axis].maxVelocity = 20000;
        config.axes[axis].acceleration = 200000;
        config.axes[axis].auxVelocity = 5000;
    }
    return config;
}

MotionSegment segment(int tag) {
    MotionSegment s;
    std::memset(&s, 0, sizeof s);
    for (int axis = 0; axis < 6; ++axis) s.target[axis] = tag * 0.25 + axis;
    s.tag = tag;
    s.segmentCode = 0x12;
    s.segmentAux = 0x34;
    return s;
}

void stateAfterLoad() {
    wintest::group = "after load";
    CHECK_EQ(t.telvo_IsHoming(), 0);
    CHECK_EQ(t.telvo_IsProbing(), 0);
    CHECK_EQ(t.telvo_GetProbeResult(), 0);
    CHECK_TEXT(t.telvo_GetFirmwareVersion(), "00.00");
    double pos[6] = {7, 7, 7, 7, 7, 7};
    CHECK_EQ(t.telvo_GetProbePos(pos), 0);
    CHECK(pos[0] == 7 && pos[5] == 7);
    // Nothing was opened: no events to close.
    CHECK_EQ(t.telvo_Close(), 0);
}

void openWithoutController() {
    wintest::group = "open without controller";
    CHECK_EQ(t.telvo_Open(), 0);
    const char* version = t.telvo_GetFirmwareVersion();
    CHECK_TEXT(version, "00.00");
    // The text is static: the same pointer on every call.
    CHECK(t.telvo_GetFirmwareVersion() == version);

    MachineStatus record;
    std::memset(&record, 0xA5, sizeof record);
    CHECK_EQ(t.telvo_GetStatus(&record), 0);
    CHECK(record.length == 0xA5 && record.segmentTag == static_cast<int32_t>(0xA5A5A5A5));

    // An open that found nothing leaves no events behind: twice 0.
    CHECK_EQ(t.telvo_Close(), 0);
    CHECK_EQ(t.telvo_Close(), 0);
    CHECK_EQ(t.telvo_Open(), 0);
    CHECK_EQ(t.telvo_Close(), 0);
}

void segmentQueue() {
    wintest::group = "segment queue";
    CHECK_EQ(t.telvo_BufEmpty(), 1);
    CHECK_EQ(t.telvo_BufFreeCnt(), 3999);

    MotionSegment s = segment(1);
    int added = 0;
    for (int i = 0; i < 3999; ++i) added += t.telvo_BufAdd(&s);
    CHECK_EQ(added, 3999);
    CHECK_EQ(t.telvo_BufFreeCnt(), 0);
    CHECK_EQ(t.telvo_BufEmpty(), 0);
    // One more is still accepted; after it the free count reads -1 and the queue is full.
    CHECK_EQ(t.telvo_BufAdd(&s), 1);
    CHECK_EQ(t.telvo_BufFreeCnt(), -1);
    CHECK_EQ(t.telvo_BufAdd(&s), 0);
    CHECK_EQ(t.telvo_BufFreeCnt(), -1);

    CHECK_EQ(t.telvo_BufClear(), 1);
    CHECK_EQ(t.telvo_BufEmpty(), 1);
    CHECK_EQ(t.telvo_BufFreeCnt(), 3999);
    CHECK_EQ(t.telvo_BufAdd(&s), 1);
    CHECK_EQ(t.telvo_BufFreeCnt(), 3998);
    CHECK_EQ(t.telvo_BufClear(), 1);

    CHECK_EQ(t.telvo_SetBuffSize(0), 300);
    CHECK_EQ(t.telvo_SetBuffSize(-5), 300);
    CHECK_EQ(t.telvo_SetBuffSize(299), 300);
    CHECK_EQ(t.telvo_SetBuffSize(300), 300);
    CHECK_EQ(t.telvo_SetBuffSize(512), 512);
    CHECK_EQ(t.telvo_SetBuffSize(1001), 1000);
    CHECK_EQ(t.telvo_SetBuffSize(0x7FFFFFFF), 1000);
    CHECK_EQ(t.telvo_SetBuffSize(1000), 1000);
}

void commandsWithoutDevice() {
    wintest::group = "commands without device";
    MachineConfig machine = testMachine();
    IoConfig io;
    std::memset(&io, 0, sizeof io);
    CHECK_EQ(t.telvo_Init(&machine, &io), 1);

    CHECK_EQ(t.telvo_CmdStop(0), 0);
    CHECK_EQ(t.telvo_CmdSetOutputs(1, 2, 3), 0);
    CHECK_EQ(t.telvo_CmdJogOn(2, 0, 1000), 0);
    CHECK_EQ(t.telvo_CmdJogOff(2), 0);
    CHECK_EQ(t.telvo_CmdSpindle(1, 100, 1000), 0);
    CHECK_EQ(t.telvo_SetupMPG(1, 0.001, 500, 2), 0);
    CHECK_EQ(t.telvo_CmdPurge(0), 0);
    CHECK_EQ(t.telvo_CmdPurge(1), 0);

    // Homing is counted before the write, even when the write cannot happen.
    CHECK_EQ(t.telvo_CmdHomeAxis(5), 0);
    CHECK_EQ(t.telvo_IsHoming(), 1);
    CHECK_EQ(t.telvo_CmdHomeAxis(6), 0);  // out of range: not counted
    CHECK_EQ(t.telvo_CmdStop(3), 0);
    CHECK_EQ(t.telvo_IsHoming(), 0);
    CHECK_EQ(t.telvo_CmdHomeAxis(0), 0);
    CHECK_EQ(t.telvo_CmdHomeAxis(1), 0);
    CHECK_EQ(t.telvo_IsHoming(), 1);
    // Init returns the homing state to idle too.
    CHECK_EQ(t.telvo_Init(&machine, &io), 1);
    CHECK_EQ(t.telvo_IsHoming(), 0);
}

void probingWithoutDevice() {
    wintest::group = "probing without device";
    MachineConfig machine = testMachine();
    IoConfig io;
    std::memset(&io, 0, sizeof io);
    CHECK_EQ(t.telvo_Init(&machine, &io), 1);
    CHECK_EQ(t.telvo_BufClear(), 1);

    // An empty move fails at once and writes nothing.
    const double point[6] = {100, 200, 300, 0, 0, 0};
    CHECK_EQ(t.telvo_CmdProbe(point, point, 1.0), 0);
    CHECK_EQ(t.telvo_GetProbeResult(), 2);
    CHECK_EQ(t.telvo_IsProbing(), 0);
    CHECK_EQ(t.telvo_BufEmpty(), 1);

    // A real move is planned and armed; only the probe command cannot be written.
    const double start[6] = {0, 0, 0, 0, 0, 0};
    const double end[6] = {2000, 0, -1000, 0, 0, 0};
    CHECK_EQ(t.telvo_CmdProbe(start, end, 1.0), 0);
    CHECK_EQ(t.telvo_GetProbeResult(), 1);
    CHECK_EQ(t.telvo_IsProbing(), 1);

    // A status call without a frame feeds 1 ms samples of the move into the queue.
    MachineStatus record;
    std::memset(&record, 0, sizeof record);
    CHECK_EQ(t.telvo_GetStatus(&record), 0);
    CHECK_EQ(t.telvo_BufEmpty(), 0);
    CHECK(t.telvo_BufFreeCnt() < 3999);

    double pos[6] = {-1, -1, -1, -1, -1, -1};
    CHECK_EQ(t.telvo_GetProbePos(pos), 0);
    CHECK(pos[0] == -1);

    // Stop ends the probe for the library; the queued samples stay.
    CHECK_EQ(t.telvo_CmdStop(0), 0);
    CHECK_EQ(t.telvo_GetProbeResult(), 0);
    CHECK_EQ(t.telvo_IsProbing(), 0);
    CHECK_EQ(t.telvo_BufEmpty(), 0);
    CHECK_EQ(t.telvo_BufClear(), 1);
    CHECK_EQ(t.telvo_GetProbePos(pos), 0);
}

void disconnectAndClose() {
    wintest::group = "disconnect and close";
    CHECK_EQ(t.telvo_CmdHomeAxis(2), 0);
    CHECK_EQ(t.telvo_IsHoming(), 1);
    CHECK_EQ(t.telvo_Disconnect(), 0);
    CHECK_EQ(t.telvo_IsHoming(), 0);
    CHECK_EQ(t.telvo_IsProbing(), 0);
    CHECK_EQ(t.telvo_GetProbeResult(), 0);
    CHECK_EQ(t.telvo_Close(), 0);
    CHECK_TEXT(t.telvo_GetFirmwareVersion(), "00.00");
}

}  // namespace

int main(int argc, char** argv) {
    const char* dll = argc > 1 ? argv[1] : "telvo.dll";
    wintest::group = "exports";
    bool loaded = t.load(dll);
    CHECK(t.module != nullptr);
    CHECK_EQ(t.expected, 26);
    CHECK_EQ(t.found, 26);
    if (!loaded) {
        std::printf("cannot use %s: %d of %d exports found\n", dll, t.found, t.expected);
        wintest::finish();
        return 1;
    }
    // The names carry no decoration: none of the decorated forms exists.
    CHECK(GetProcAddress(t.module, "_telvo_Open") == nullptr);
    CHECK(GetProcAddress(t.module, "telvo_Open@0") == nullptr);
    CHECK(GetProcAddress(t.module, "_telvo_Init@8") == nullptr);

    stateAfterLoad();
    openWithoutController();
    segmentQueue();
    commandsWithoutDevice();
    probingWithoutDevice();
    disconnectAndClose();
    return wintest::finish();
}
