// The one simulated controller of the process: its USB face and its machine
// under one mutex, with the millisecond clock that drives both and the
// real-time ticker of the host tool.
//
// The faces (backend_posix.cpp, winusb/winusb_face.cpp) and the control API
// (sim_api.cpp) reach the parts through Locked, which holds the mutex for
// the call, so the parts themselves add no locking. Time is the simulator's
// own millisecond clock: nothing moves unless advance() is called, by a test
// or by the real-time ticker.
#pragma once

#include <atomic>
#include <cstdint>

#include "sim_log.h"
#include "sim_machine.h"
#include "sim_sync.h"
#include "sim_usb.h"

namespace tsim {

constexpr int kMaxCatchUpMs = 250;  // real-time ticker: most ms advanced per lock

class Device {
public:
    Device() = default;
    ~Device() = default;  // the real-time thread is stopped before
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Held by Locked; recursive, since completions are made under it and
    // may call back in.
    SimMutex mutex;
    ProtocolLog log;
    Machine machine{log};
    UsbFace usb{machine, log};

    // Calls that manage the lock themselves (not under Locked).
    void reset();
    void advance(int ms);
    void setRealtime(double speed);
    void stopRealtime();
    int realtimeRunning();
    // Records a message and then calls the hook outside the lock, like a
    // message loop: the hook may re-enter the library, and the real-time
    // clock keeps running meanwhile.
    void showMessage(const char* text, const char* caption);
    // Write hold (tsim_hold_writes): while held, every pipe write waits on
    // entry, before it takes the lock, so a test can watch what another
    // thread does meanwhile. Reset releases it.
    void holdWrites(int hold) { holdWrites_.store(hold != 0 ? 1 : 0, std::memory_order_release); }
    int writesHeld() const { return writesHeld_.load(std::memory_order_acquire); }
    void waitWhileWritesHeld();

private:
    void advanceLocked(int ms);
    static void realtimeTick(void* self);

    SimMutex realtimeControl_;  // serialises starting and stopping the ticker
    Ticker ticker_;
    double realtimeSpeed_ = 0.0;
    double realtimeBaseMs_ = 0.0;
    int64_t realtimeAdvanced_ = 0;
    std::atomic<int> holdWrites_{0};
    std::atomic<int> writesHeld_{0};
};

// The one simulator of the process, created when the module loads; null
// once the module is being unloaded or the process has begun to exit.
Device* instance();

// The simulator with its mutex held for the life of this object; false once
// there is no simulator.
class Locked {
public:
    Locked() : device_(instance()) {
        if (device_ != nullptr) device_->mutex.lock();
    }
    ~Locked() {
        if (device_ != nullptr) device_->mutex.unlock();
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

    explicit operator bool() const { return device_ != nullptr; }
    Device* operator->() const { return device_; }

private:
    Device* device_;
};

}  // namespace tsim
