// Wire constants and little-endian field access of the simulated controller.
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

// Payload size of each known code, -1 for a code the controller does not know.
constexpr int payloadSize(uint8_t code) {
    switch (code) {
    case kCodeJogOn: return 6;
    case kCodeJogOff: return 1;
    case kCodeProbe: return 48;
    case kCodeHome: return 2;
    case kCodeOutputs: return 8;
    case kCodeSpindle: return 10;
    case kCodeAxisConfig: return 262;
    case kCodeIoConfig: return 112;
    case kCodePurge: return 4;
    case kCodePurgeEndMove: return 0;
    case kCodeStop: return 1;
    case kCodeMpg: return 11;
    default: return -1;
    }
}

constexpr int kAxisConfigBytes = 262;
constexpr int kIoConfigBytes = 112;

// Motion blocks: headerless runs of 52-byte wire segments.
constexpr uint32_t kSegmentBytes = 52;
constexpr int kMaxSegmentsPerBlock = 75;
constexpr int kSegmentSlotOffset = 48;
constexpr int kSegmentCodeOffset = 50;
constexpr int kSegmentAuxOffset = 51;
constexpr int kSlotCount = 5000;           // host queue slots a slot index may name
constexpr int32_t kPhaseUnit = 250;        // start phase is in 1/250,000,000 step
constexpr int32_t kMaxStartPhase = 249'999'750;

// Status frame.
constexpr int kFrameBytes = 60;
constexpr uint16_t kNoSegment = 0xFFFF;    // segmentIndex before any segment ran

// Firmware version request: A0 E0 00 00 00 00 05 00.
constexpr uint8_t kFirmwareSetup[8] = {0xA0, 0xE0, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00};
constexpr int kFirmwareMaxBytes = 5;

inline uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t getU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline int32_t getI32(const uint8_t* p) { return static_cast<int32_t>(getU32(p)); }

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
inline void putI32(uint8_t* p, int32_t v) { putU32(p, static_cast<uint32_t>(v)); }

}  // namespace tsim
