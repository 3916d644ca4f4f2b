// What the tests that drive the library against the simulated controller
// share: the standard machine, command packets, frame delivery in scripted
// mode, and (with GoogleTest) the fixture that starts every such test from a
// fresh simulator and checks at its end that nothing was left open.
//
// The fuzz targets include it without GoogleTest: they define
// TELVO_TEST_NO_GTEST first.
#pragma once

#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <vector>

#include "telvo/telvo.h"
#include "telvo_sim.h"

#ifndef TELVO_TEST_NO_GTEST
#include <gtest/gtest.h>
#endif

namespace telvo_test {

// A machine whose moves plan well: 1000 steps per unit, 50 units/s,
// 100 units/s^2 on every axis.
inline MachineConfig standardConfig() {
    MachineConfig config;
    std::memset(&config, 0, sizeof config);
    for (auto& axis : config.axes) {
        axis.stepsPerUnit = 1000;
        axis.maxVelocity = 50000;
        axis.acceleration = 100000;
    }
    return config;
}

inline IoConfig standardIo() {
    IoConfig io;
    std::memset(&io, 0, sizeof io);
    return io;
}

// A command packet: code, complement, length, payload. Sized once and filled
// in place (growing a short vector by insert makes GCC 12 at -O3 report a
// copy past its first allocation).
inline std::vector<uint8_t> packet(uint8_t code, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> v(4 + payload.size());
    v[0] = code;
    v[1] = static_cast<uint8_t>(0xFF - code);
    v[2] = static_cast<uint8_t>(payload.size());
    v[3] = static_cast<uint8_t>(payload.size() >> 8);
    if (!payload.empty()) std::memcpy(v.data() + 4, payload.data(), payload.size());
    return v;
}

// Polls that always suffice to deliver one pushed frame in scripted mode:
// with no read in flight the first poll starts one (which takes the pushed
// frame at once) and the second takes the frame; a read already in flight
// completes when the frame is pushed, and the first poll takes it.
constexpr int kDeliverPolls = 2;

// Scripted mode: pushes the raw frame and polls until a call returns 1, at
// most `polls` times. Returns 1 when one did, else 0 (a corrupt frame is
// taken and dropped: every poll returns 0).
inline int deliverRaw(const uint8_t raw[60], MachineStatus* record, int polls = kDeliverPolls) {
    tsim_push_frame(raw);
    for (int i = 0; i < polls; ++i) {
        if (telvo_GetStatus(record) == 1) return 1;
    }
    return 0;
}

inline int deliver(const tsim_frame& f, MachineStatus* record, int polls = kDeliverPolls) {
    uint8_t raw[60];
    tsim_frame_encode(&f, raw);
    return deliverRaw(raw, record, polls);
}

#ifndef TELVO_TEST_NO_GTEST

// Device files and interfaces the simulator holds open: none after a close
// or a failed open, one of each while the link is open.
inline void expectOpenResources(int count, const char* when) {
    EXPECT_EQ(count, tsim_open_files()) << "device files open " << when;
    EXPECT_EQ(count, tsim_open_interfaces()) << "interfaces initialised " << when;
}

// A fresh simulator in scripted mode, the host queue empty and the buffer
// size at 1000; at the end the link is closed and must have left nothing
// open.
class LibraryTest : public ::testing::Test {
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
        expectOpenResources(0, "after telvo_Close");
        tsim_reset();
    }
};

#endif

}  // namespace telvo_test
