// An independent reading of everything the library wrote to the simulated
// controller, shared by the fault matrix and the fuzz targets.
//
// Whatever the host did and whatever the controller answered, each write on
// the command pipe must be one whole packet of a known code (complement,
// length, payload size, and the fields the library itself fixes), and each
// write on the block pipe must be 1 to 75 wire segments whose slot indices
// name queue slots and follow each other. A violation is a library fault,
// never the host's or the controller's.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "telvo_sim.h"

namespace telvo_wire {

constexpr uint8_t kCommandPipe = 0x01;
constexpr uint8_t kBlockPipe = 0x02;
constexpr int kSegmentBytes = 52;
constexpr int kMaxSegments = 75;
constexpr int kSlots = 5000;

inline uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline int32_t i32(const uint8_t* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                                (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24));
}

// Payload size of each code the library may send; -1 for any other code.
inline int payloadSize(uint8_t code) {
    switch (code) {
    case 2: return 6;
    case 3: return 1;
    case 4: return 48;
    case 5: return 2;
    case 6: return 8;
    case 7: return 10;
    case 9: return 262;
    case 11: return 112;
    case 12: return 4;
    case 13: return 0;
    case 14: return 1;
    case 17: return 11;
    default: return -1;
    }
}

// Checks one command packet; empty when it is sound.
inline std::string checkPacket(const uint8_t* b, size_t n) {
    char text[160];
    if (n < 4) {
        std::snprintf(text, sizeof text, "command write of %zu bytes", n);
        return text;
    }
    const uint8_t code = b[0];
    const int expected = payloadSize(code);
    if (expected < 0) {
        std::snprintf(text, sizeof text, "unknown command code %u", code);
        return text;
    }
    if (b[1] != static_cast<uint8_t>(0xFF - code)) {
        std::snprintf(text, sizeof text, "code %u: complement 0x%02X", code, b[1]);
        return text;
    }
    if (u16(b + 2) != n - 4 || static_cast<int>(n - 4) != expected) {
        std::snprintf(text, sizeof text, "code %u: length field %u, %zu bytes written, %d expected", code,
                      u16(b + 2), n - 4, expected);
        return text;
    }
    const uint8_t* p = b + 4;
    switch (code) {
    case 2:
        if (p[1] != 1 && p[1] != 0xFF) return "jog direction byte is neither 1 nor 255";
        break;
    case 4:
        for (int i = 24; i < 48; ++i)
            if (p[i] != 0) return "probe command: reserved half not zero";
        for (int i = 0; i < 6; ++i)
            if (i32(p + 4 * i) < 0) return "probe command: negative acceleration figure";
        break;
    case 5:
        if (p[0] > 5 || p[1] != 0) return "homing of an axis that is not a motion axis";
        break;
    case 6:
        if (p[2] != 0 || p[3] != 0) return "outputs: bytes 2-3 not zero";
        break;
    case 7:
        if (p[3] != 0 || p[4] != 0) return "spindle: value above 16 bits";
        break;
    case 9:
        if (u16(p + 254) != 500 || p[257] != 1 || p[258] != 0 || p[260] != 1 || p[238] != 0 || p[252] != 0 ||
            p[259] > 1 || p[261] > 1)
            return "axis configuration block: constant or switch byte wrong";
        for (int k = 0; k < 7; ++k)
            if (i32(p + 34 * k + 20) != 0) return "axis configuration block: reserved word not zero";
        break;
    case 12:
        if (i32(p) != 0) return "purge payload not zero";
        break;
    case 17:
        if (u16(p + 9) > 1) return "MPG enable word above 1";
        break;
    default:
        break;
    }
    return {};
}

// Follows the slot indices of the blocks: within a block they run on by one
// (mod 5000); across blocks too, unless the host queue was cleared between
// them (then the next block may start anywhere, normally at 0).
struct BlockTracker {
    int nextSlot = -1;    // -1: unknown (start, or after a clear)
    bool follow = true;   // false: check the run within each block only
    int64_t segments = 0;
    int64_t blocks = 0;

    std::string check(const uint8_t* b, size_t n) {
        char text[160];
        if (n == 0 || n % kSegmentBytes != 0 || n / kSegmentBytes > static_cast<size_t>(kMaxSegments)) {
            std::snprintf(text, sizeof text, "block write of %zu bytes", n);
            return text;
        }
        if (!follow) nextSlot = -1;
        for (size_t i = 0; i < n / kSegmentBytes; ++i) {
            const uint8_t* s = b + i * kSegmentBytes;
            const int slot = u16(s + 48);
            if (slot >= kSlots) {
                std::snprintf(text, sizeof text, "slot index %d", slot);
                return text;
            }
            if (nextSlot >= 0 && slot != nextSlot) {
                std::snprintf(text, sizeof text, "slot index %d where %d was due", slot, nextSlot);
                return text;
            }
            nextSlot = (slot + 1) % kSlots;
            ++segments;
        }
        ++blocks;
        return {};
    }
    void queueCleared() { nextSlot = -1; }
};

// Reads writes [from, tsim_write_count()) of the simulator's log and checks
// them. Returns the first violation (empty when none) and advances from.
// failedCommands counts command writes that failed or were short.
inline std::string checkWrites(int& from, BlockTracker& blocks, int* failedCommands = nullptr) {
    static std::vector<uint8_t> buffer(1 << 16);
    const int total = tsim_write_count();
    for (; from < total; ++from) {
        uint8_t pipe = 0;
        int failed = 0;
        const int n = tsim_write_get(from, &pipe, buffer.data(), static_cast<int>(buffer.size()), nullptr, &failed);
        if (n < 0) continue;  // no longer kept
        if (n > static_cast<int>(buffer.size())) return "write larger than any packet or block";
        std::string problem;
        if (pipe == kCommandPipe) {
            if (failed && failedCommands != nullptr) ++*failedCommands;
            problem = checkPacket(buffer.data(), static_cast<size_t>(n));
        } else if (pipe == kBlockPipe) {
            problem = blocks.check(buffer.data(), static_cast<size_t>(n));
        } else {
            problem = "write on a pipe that is neither 0x01 nor 0x02";
        }
        if (!problem.empty()) return "write " + std::to_string(from) + ": " + problem;
    }
    return {};
}

}  // namespace telvo_wire
