// Helpers for tests that drive the library through its exports against the
// simulated controller.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "telvo/telvo.h"
#include "telvo_sim.h"
#include "telvo_test.h"

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

using telvo_test::deliver;
using telvo_test::deliverRaw;
using telvo_test::packet;

// A library test whose link can be opened with the writes of the open
// forgotten.
class DeviceTest : public LibraryTest {
protected:
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

// Waits, yielding, until `done` holds; the wall clock only as a watchdog.
inline bool waitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::yield();
    }
    return true;
}

// Runs call on another thread with the simulator holding every pipe write,
// and returns what look() gives while the call's first write is held (-1
// when no write came): what the call did before that write and not after.
inline int whileFirstWriteHeld(const std::function<void()>& call, const std::function<int()>& look) {
    tsim_hold_writes(1);
    std::thread caller(call);
    const int seen = waitFor([] { return tsim_writes_held() >= 1; }) ? look() : -1;
    tsim_hold_writes(0);
    caller.join();
    return seen;
}

}  // namespace telvo_test
