// Helpers for tests that drive the simulated controller directly through
// the backend entry points and the tsim_* API, without the library.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "telvo/telvo_backend.h"
#include "telvo_sim.h"
#include "telvo_test.h"

namespace sim_test {

constexpr telvo_guid kControllerGuid = {0x8F974853u, 0x102Cu, 0x47CAu,
                                        {0xB6, 0xEC, 0x61, 0x3E, 0x80, 0x0E, 0xAF, 0xAA}};
constexpr int64_t kMicro = 1'000'000;
constexpr int32_t kMidPhase = 125'000'000;  // start phase of a machine resting mid-step

inline void putI32(std::vector<uint8_t>& v, size_t at, int32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(static_cast<uint32_t>(x) >> (8 * i));
}

// A command packet: code, complement, length, payload.
using telvo_test::packet;

// One wire segment, field by field.
struct Seg {
    int32_t phase[6] = {kMidPhase, kMidPhase, kMidPhase, kMidPhase, kMidPhase, kMidPhase};
    int32_t travel[6] = {0, 0, 0, 0, 0, 0};
    uint16_t slot = 0;
    uint8_t code = 0;
    uint8_t aux = 0;
};

inline std::vector<uint8_t> block(const std::vector<Seg>& segs) {
    std::vector<uint8_t> v(52 * segs.size(), 0);
    for (size_t i = 0; i < segs.size(); ++i) {
        size_t base = 52 * i;
        for (int a = 0; a < 6; ++a) {
            putI32(v, base + 8 * a, segs[i].phase[a]);
            putI32(v, base + 8 * a + 4, segs[i].travel[a]);
        }
        v[base + 48] = static_cast<uint8_t>(segs[i].slot);
        v[base + 49] = static_cast<uint8_t>(segs[i].slot >> 8);
        v[base + 50] = segs[i].code;
        v[base + 51] = segs[i].aux;
    }
    return v;
}

// n segments moving one axis by `steps` whole steps each from rest, slots from `firstSlot`.
inline std::vector<Seg> steps(int axis, int n, int32_t steps, uint16_t firstSlot = 0) {
    std::vector<Seg> out(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        out[static_cast<size_t>(i)].travel[axis] = steps * static_cast<int32_t>(kMicro);
        out[static_cast<size_t>(i)].slot = static_cast<uint16_t>(firstSlot + i);
    }
    return out;
}

// A status read whose completion can be observed.
struct Read {
    uint8_t buffer[60];
    std::atomic<int> completions{0};

    static void done(void* context) { static_cast<Read*>(context)->completions.fetch_add(1); }

    int start(telvo_backend_interface iface) {
        std::memset(buffer, 0xEE, sizeof buffer);
        return telvo_backend_read_pipe_async(iface, 0x81, buffer, sizeof buffer, &Read::done, this);
    }
    tsim_frame frame() const {
        tsim_frame f;
        tsim_frame_decode(buffer, &f);
        return f;
    }
};

inline std::vector<std::string> protocolErrors() {
    std::vector<std::string> out;
    for (int i = 0; i < tsim_protocol_error_count(); ++i) {
        const char* text = tsim_protocol_error_text(i);
        out.emplace_back(text != nullptr ? text : "(not kept)");
    }
    return out;
}

inline std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\n";
    return s;
}

// A fresh simulator with device 0 opened and initialised.
class BackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        tsim_reset();
        ASSERT_EQ(0, telvo_backend_open("sim://controller/0", &file));
        ASSERT_EQ(0, telvo_backend_initialize(file, &iface));
    }
    void TearDown() override {
        telvo_backend_free(iface);
        telvo_backend_close(file);
        tsim_reset();
    }

    int write(uint8_t pipe, const std::vector<uint8_t>& bytes, uint32_t* transferred = nullptr) {
        uint32_t n = 0;
        int rc = telvo_backend_write_pipe(iface, pipe, bytes.data(), static_cast<uint32_t>(bytes.size()), &n);
        if (transferred != nullptr) *transferred = n;
        return rc;
    }
    int command(uint8_t code, const std::vector<uint8_t>& payload) { return write(0x01, packet(code, payload)); }
    int send(const std::vector<Seg>& segs) { return write(0x02, block(segs)); }

    // Reads one machine frame now (one must be due or pushed).
    tsim_frame readNow() {
        Read r;
        EXPECT_EQ(0, r.start(iface));
        EXPECT_EQ(1, r.completions.load()) << "no frame was ready";
        return r.frame();
    }
    // Waits for the next frame, advancing the clock 1 ms at a time.
    tsim_frame readNext() {
        Read r;
        EXPECT_EQ(0, r.start(iface));
        for (int i = 0; i < 1000 && r.completions.load() == 0; ++i) tsim_advance_ms(1);
        EXPECT_EQ(1, r.completions.load());
        return r.frame();
    }

    telvo_backend_file file = nullptr;
    telvo_backend_interface iface = nullptr;
};

}  // namespace sim_test
