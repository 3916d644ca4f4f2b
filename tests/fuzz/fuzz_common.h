// Common ground of the fuzz targets: an input reader, the reset that makes
// every input start from a freshly loaded library, frame delivery, and the
// checks every target makes after each step.
//
// The targets link the library's objects (telvo_static) and the simulated
// controller; they reach into the library's state only to reset it and to
// read invariants, never to drive it: every action goes through the exports.
// telvo_Disconnect's pauses are linked to the simulator's clock
// (-Wl,--wrap), so a pause advances the simulated machine instead of the
// wall clock.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "api/library.h"
#include "config/config_state.h"
#include "frame/frame.h"
#include "motion/motion.h"
#include "motion/queue_state.h"
#include "probe/probe.h"
#include "probe/probe_state.h"
#include "status/status.h"
#include "telvo/telvo.h"
#include "telvo_sim.h"
#define TELVO_TEST_NO_GTEST
#include "telvo_test.h"
#include "wire_check.h"

// A violated property: reported and turned into a crash, which the fuzzer
// keeps as a finding and the replay reports as a failure.
#define FUZZ_CHECK(cond, ...)                                                  \
    do {                                                                       \
        if (!(cond)) {                                                         \
            std::fprintf(stderr, "fuzz check failed: %s: ", #cond);            \
            std::fprintf(stderr, __VA_ARGS__);                                 \
            std::fprintf(stderr, "\n");                                        \
            std::abort();                                                      \
        }                                                                      \
    } while (0)

namespace telvo_fuzz {

// Reads the fuzzer's bytes; past the end every read gives zeros.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    size_t left() const { return empty() ? 0 : size_ - at_; }
    void bytes(void* out, size_t n) {
        auto* o = static_cast<uint8_t*>(out);
        for (size_t i = 0; i < n; ++i) o[i] = at_ < size_ ? data_[at_++] : 0;
    }
    uint8_t u8() {
        uint8_t v;
        bytes(&v, 1);
        return v;
    }
    uint16_t u16() {
        uint8_t b[2];
        bytes(b, 2);
        return static_cast<uint16_t>(b[0] | (b[1] << 8));
    }
    uint32_t u32() {
        uint8_t b[4];
        bytes(b, 4);
        return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
               (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
    }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    double f64() {
        uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits |= static_cast<uint64_t>(u8()) << (8 * i);
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    // A double that is often one of the values that break arithmetic: a
    // selector byte picks a special value, a small integer, or raw bits.
    double interesting() {
        static const double kSpecial[] = {
            0.0,
            -0.0,
            1.0,
            -1.0,
            0.5,
            std::numeric_limits<double>::quiet_NaN(),
            -std::numeric_limits<double>::quiet_NaN(),
            std::numeric_limits<double>::infinity(),
            -std::numeric_limits<double>::infinity(),
            std::numeric_limits<double>::denorm_min(),
            -std::numeric_limits<double>::denorm_min(),
            std::numeric_limits<double>::min(),
            std::numeric_limits<double>::max(),
            -std::numeric_limits<double>::max(),
            std::numeric_limits<double>::epsilon(),
            1e-300,
            1e300,
            2147483647.0,
            2147483648.0,
            -2147483649.0,
            4294967296.0,
            9007199254740993.0,
            9.3e18,
            1e-10,
            0.001,
            2146.0,
            -2146.0,
        };
        constexpr size_t kCount = sizeof kSpecial / sizeof kSpecial[0];
        const uint8_t selector = u8();
        if (selector < 0x40) return kSpecial[selector % kCount];
        if (selector < 0xA0) return static_cast<double>(static_cast<int16_t>(u16()));  // small steps
        if (selector < 0xC0) return static_cast<double>(i32()) / 1024.0;
        return f64();
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// The state of a freshly loaded library and simulator, for every input.
inline void resetWorld(bool scripted) {
    telvo::resetLibraryState();
    tsim_reset();
    tsim_set_scripted(scripted ? 1 : 0);
}

using telvo_test::standardConfig;

inline tsim_frame restFrame() {
    tsim_frame f;
    std::memset(&f, 0, sizeof f);
    f.length = 60;
    f.segmentIndex = 0xFFFF;
    return f;
}

using telvo_test::deliver;
using telvo_test::deliverRaw;

// Properties that hold after every call, whatever came before.
inline void checkInvariants() {
    const int freeCount = telvo_BufFreeCnt();
    FUZZ_CHECK(freeCount >= -1 && freeCount <= 3999, "free count %d", freeCount);
    FUZZ_CHECK(telvo_BufEmpty() == (freeCount == 3999 ? 1 : 0), "empty %d with free count %d", telvo_BufEmpty(),
               freeCount);
    const auto& q = telvo::motion::queue;
    FUZZ_CHECK(q.readIndex >= 0 && q.readIndex < 5000 && q.writeIndex >= 0 && q.writeIndex < 5000,
               "queue indices %d %d", q.readIndex, q.writeIndex);
    FUZZ_CHECK((q.writeIndex - q.readIndex + 5000) % 5000 == q.count.load() % 5000, "queue count %d for %d..%d",
               q.count.load(), q.readIndex, q.writeIndex);
    const int probing = telvo_IsProbing();
    const int result = telvo_GetProbeResult();
    FUZZ_CHECK(probing == 0 || probing == 1, "probing %d", probing);
    FUZZ_CHECK(result >= 0 && result <= 3, "probe result %d", result);
    FUZZ_CHECK(probing == 0 || result == 1, "probing with result %d", result);
    double pos[6];
    for (double& p : pos) p = -12345.0;
    const int got = telvo_GetProbePos(pos);
    FUZZ_CHECK(got == (result == 3 ? 1 : 0), "probe position %d with result %d", got, result);
    if (got == 0) {
        for (double p : pos) FUZZ_CHECK(p == -12345.0, "probe position written without a result");
    }
    const int homing = telvo_IsHoming();
    FUZZ_CHECK(homing == (telvo::status::homingCount() != 0 ? 1 : 0), "homing %d", homing);
    const int size = telvo::motion::bufferSize();
    FUZZ_CHECK(size >= 300 && size <= 1000, "buffer size %d", size);
    // The kept frame is a complete one, or none yet.
    const uint8_t first = telvo::frame::current()[0];
    FUZZ_CHECK(first == 60 || first == 0, "kept frame starts with %u", first);
    const char* version = telvo_GetFirmwareVersion();
    FUZZ_CHECK(version != nullptr && std::strlen(version) <= 5, "firmware text");
}

// Everything written is well-formed, and each failed or short command
// write was reported exactly once.
inline void checkWrites(bool followSlots) {
    int from = 0;
    int failedCommands = 0;
    telvo_wire::BlockTracker blocks;
    blocks.follow = followSlots;
    const std::string problem = telvo_wire::checkWrites(from, blocks, &failedCommands);
    FUZZ_CHECK(problem.empty(), "%s", problem.c_str());
    FUZZ_CHECK(tsim_message_count() == failedCommands, "%d messages for %d failed command writes",
               tsim_message_count(), failedCommands);
}

}  // namespace telvo_fuzz
