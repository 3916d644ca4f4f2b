// Helpers for tests that drive the library through its exports against the
// simulated controller.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "telvo/telvo.h"
#include "telvo_sim.h"

namespace telvo_test {

struct Write {
    uint8_t pipe = 0;
    std::vector<uint8_t> bytes;
    int device = 0;
    int failed = 0;
};

inline std::vector<Write> writes() {
    std::vector<Write> out;
    const int n = tsim_write_count();
    for (int i = 0; i < n; ++i) {
        Write w;
        const int length = tsim_write_get(i, nullptr, nullptr, 0, nullptr, nullptr);
        w.bytes.resize(static_cast<size_t>(length));
        tsim_write_get(i, &w.pipe, w.bytes.data(), length, &w.device, &w.failed);
        out.push_back(std::move(w));
    }
    return out;
}

inline std::vector<uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> v;
    for (int b : list) v.push_back(static_cast<uint8_t>(b));
    return v;
}

// A command packet: code, complement, length, payload.
inline std::vector<uint8_t> packet(uint8_t code, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> v;
    v.reserve(payload.size() + 4);
    v.push_back(code);
    v.push_back(static_cast<uint8_t>(0xFF - code));
    v.push_back(static_cast<uint8_t>(payload.size()));
    v.push_back(static_cast<uint8_t>(payload.size() >> 8));
    for (uint8_t b : payload) v.push_back(b);
    return v;
}

inline int32_t i32At(const std::vector<uint8_t>& b, size_t offset) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(b.at(offset + i)) << (8 * i);
    return static_cast<int32_t>(v);
}
inline uint16_t u16At(const std::vector<uint8_t>& b, size_t offset) {
    return static_cast<uint16_t>(b.at(offset) | (b.at(offset + 1) << 8));
}

inline tsim_frame validFrame() {
    tsim_frame f;
    std::memset(&f, 0, sizeof f);
    f.length = 60;
    return f;
}

// Scripted mode: pushes the frame and polls until the library took it.
// Returns the result of the call that delivered it (1) or 0 if none did.
inline int deliver(const tsim_frame& f, MachineStatus* record) {
    uint8_t raw[60];
    tsim_frame_encode(&f, raw);
    tsim_push_frame(raw);
    for (int i = 0; i < 4; ++i) {
        if (telvo_GetStatus(record) == 1) return 1;
    }
    return 0;
}

inline void deliverRaw(const uint8_t raw[60], MachineStatus* record, int polls = 4) {
    tsim_push_frame(raw);
    for (int i = 0; i < polls; ++i) telvo_GetStatus(record);
}

// A fresh simulator in scripted mode and an open link.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("TELVO_BACKEND"), nullptr)
            << "run with TELVO_BACKEND=libtelvo_sim.so: the library binds the module it names while it loads";
        telvo_Close();
        tsim_reset();
        tsim_set_scripted(1);
        telvo_BufClear();
        telvo_SetBuffSize(1000);
        telvo_CmdPurge(0);  // link closed: only the cached fill level drops to 0
    }
    void TearDown() override {
        telvo_Close();
        tsim_reset();
    }
    void openClean() {
        ASSERT_EQ(1, telvo_Open());
        tsim_clear_writes();
    }
};

inline MotionSegment segment(std::initializer_list<double> targets, int32_t tag = 0,
                             uint8_t code = 0, uint8_t aux = 0) {
    MotionSegment s;
    std::memset(&s, 0, sizeof s);
    int i = 0;
    for (double t : targets) s.target[i++] = t;
    s.tag = tag;
    s.segmentCode = code;
    s.segmentAux = aux;
    return s;
}

}  // namespace telvo_test
