// The controller's wire format as the simulated controller and the host
// tool's trace decoder read it: constants, command table, machine states and
// events, and little-endian field access. Shared by those two, never by the
// library, which keeps its own encoding.
//
// The simulator reads what the library sends byte by byte at fixed offsets,
// like the real controller's firmware would; it never overlays structs on
// received bytes. Kept apart from the library's own helpers on purpose: the
// simulator is the independent second reading of the formats.
#pragma once

#include <cstdint>

namespace tsim {

// Pipes.
constexpr uint8_t kCommandPipe = 0x01;
constexpr uint8_t kBlockPipe = 0x02;
constexpr uint8_t kStatusPipe = 0x81;

// Command packet: code, complement, u16 payload length, payload.
constexpr uint32_t kPacketHeaderBytes = 4;

// Command codes the controller understands.
enum CommandCode : uint8_t {
    kCodeJogOn = 2,
    kCodeJogOff = 3,
    kCodeProbe = 4,
    kCodeHome = 5,
    kCodeOutputs = 6,
    kCodeSpindle = 7,
    kCodeAxisConfig = 9,
    kCodeIoConfig = 11,
    kCodePurge = 12,
    kCodePurgeEndMove = 13,
    kCodeStop = 14,
    kCodeMpg = 17,
};

// Every command the controller knows: its code, the name traces print, and
// the exact payload size it accepts. The one list of codes; the simulator and
// the host tool's decoder both read it.
struct CommandInfo {
    CommandCode code;
    uint16_t payloadBytes;
    const char* name;
};

// clang-format off
constexpr CommandInfo kCommands[] = {
    {kCodeJogOn,        6,   "JOG_ON"},
    {kCodeJogOff,       1,   "JOG_OFF"},
    {kCodeProbe,        48,  "PROBE"},
    {kCodeHome,         2,   "HOME"},
    {kCodeOutputs,      8,   "SET_OUTPUTS"},
    {kCodeSpindle,      10,  "SPINDLE"},
    {kCodeAxisConfig,   262, "AXIS_CONFIG"},
    {kCodeIoConfig,     112, "IO_CONFIG"},
    {kCodePurge,        4,   "PURGE"},
    {kCodePurgeEndMove, 0,   "PURGE_END_OF_MOVE"},
    {kCodeStop,         1,   "STOP"},
    {kCodeMpg,          11,  "MPG"},
};
// clang-format on

// The entry of a known code, or null for a code the controller does not know.
constexpr const CommandInfo* commandInfo(uint8_t code) {
    for (const CommandInfo& c : kCommands)
        if (c.code == code) return &c;
    return nullptr;
}

// Payload size of each known code, -1 for a code the controller does not know.
constexpr int payloadSize(uint8_t code) {
    const CommandInfo* c = commandInfo(code);
    return c != nullptr ? c->payloadBytes : -1;
}

constexpr int kAxisConfigBytes = payloadSize(kCodeAxisConfig);
constexpr int kIoConfigBytes = payloadSize(kCodeIoConfig);
constexpr int kProbeReservedOffset = 24;  // second half of the probe payload: zeros

// Axes: six motion axes (0..5) and a seventh counter that only reports.
constexpr int kMotionAxes = 6;
constexpr int kCounters = kMotionAxes + 1;
constexpr int kSeventhCounter = kMotionAxes;  // index of the reporting-only counter

// Motion blocks: headerless runs of 52-byte wire segments.
constexpr uint32_t kSegmentBytes = 52;
constexpr int kMaxSegmentsPerBlock = 75;
constexpr int kSegmentSlotOffset = 48;
constexpr int kSegmentCodeOffset = 50;
constexpr int kSegmentAuxOffset = 51;
constexpr int kSlotCount = 5000;     // host queue slots a slot index may name
constexpr int32_t kPhaseUnit = 250;  // start phase is in 1/250,000,000 step
constexpr int32_t kMaxStartPhase = 249'999'750;

// Status frame.
constexpr int kFrameBytes = 60;
constexpr uint16_t kNoSegment = 0xFFFF;  // segmentIndex before any segment ran

// Machine state, frame byte 1.
enum MachineState : uint8_t {
    kStateIdle = 0,    // at rest
    kStateMoving = 1,  // executing segments, or decelerating after a probe contact
    kStateManual = 2,  // an axis jogs or homes
    kStateHalted = 3,  // motion held until the host purges it
};

// Events, frame byte 2; each frame carries at most one.
enum MachineEvent : uint8_t {
    kEventNone = 0,
    kEventHomed = 5,           // eventAxis = the axis
    kEventProbeMissed = 6,     // the probing move ended without contact
    kEventProbeTriggered = 7,  // the frame's position holds the counters at contact
};

// Firmware version request: A0 E0 00 00 00 00 05 00.
constexpr uint8_t kFirmwareSetup[8] = {0xA0, 0xE0, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00};
constexpr int kFirmwareMaxBytes = 5;

inline uint16_t getU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t getU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline int32_t getI32(const uint8_t* p) {
    return static_cast<int32_t>(getU32(p));
}

inline void putU16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void putU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline void putI32(uint8_t* p, int32_t v) {
    putU32(p, static_cast<uint32_t>(v));
}
inline uint64_t getU64(const uint8_t* p) {
    return static_cast<uint64_t>(getU32(p)) | (static_cast<uint64_t>(getU32(p + 4)) << 32);
}
inline void putU64(uint8_t* p, uint64_t v) {
    putU32(p, static_cast<uint32_t>(v));
    putU32(p + 4, static_cast<uint32_t>(v >> 32));
}

}  // namespace tsim
