// The simulator's lifetime, its clock and the real-time ticker.
#include "sim_device.h"

#include <algorithm>
#include <new>

namespace tsim {

// The simulator lives from the loading of the module to its unloading (or
// the end of the process). Its teardown first stops and joins the real-time
// thread, so no thread outlives the module, and then destroys the state.
// Calls that arrive after that (from another library's own teardown) find no
// simulator and fail.
namespace {
alignas(Device) unsigned char storage[sizeof(Device)];
enum class Life { unborn, alive, gone };
Life life = Life::unborn;

struct Lifetime {
    Lifetime() { instance(); }
    ~Lifetime() {
        if (life != Life::alive) return;
        Device* sim = std::launder(reinterpret_cast<Device*>(storage));
        sim->stopRealtime();
        life = Life::gone;
        sim->~Device();
    }
} lifetime;
}  // namespace

Device* instance() {
    if (life == Life::unborn) {
        new (storage) Device;
        life = Life::alive;
    }
    return life == Life::alive ? std::launder(reinterpret_cast<Device*>(storage)) : nullptr;
}

void Device::reset() {
    holdWrites_.store(0, std::memory_order_release);
    stopRealtime();
    SimLock lock(mutex);
    log.clear();
    usb.reset();
    machine.reset();
    realtimeSpeed_ = 0.0;
    realtimeBaseMs_ = 0.0;
    realtimeAdvanced_ = 0;
}

void Device::waitWhileWritesHeld() {
    if (holdWrites_.load(std::memory_order_acquire) == 0) return;
    writesHeld_.fetch_add(1, std::memory_order_acq_rel);
    while (holdWrites_.load(std::memory_order_acquire) != 0) yieldThread();
    writesHeld_.fetch_sub(1, std::memory_order_acq_rel);
}

void Device::advance(int ms) {
    SimLock lock(mutex);
    if (ms > 0) advanceLocked(ms);
}

void Device::advanceLocked(int ms) {
    for (int i = 0; i < ms; ++i) {
        machine.step();
        usb.tick();
    }
}

void Device::showMessage(const char* text, const char* caption) {
    MessageHook hook;
    {
        SimLock lock(mutex);
        hook = usb.showMessage(text, caption);
    }
    if (hook.hook != nullptr) hook.hook(hook.context);
}

void Device::stopRealtime() {
    SimLock control(realtimeControl_);
    ticker_.stop();
    SimLock lock(mutex);
    realtimeSpeed_ = 0.0;
}

void Device::realtimeTick(void* self) {
    Device& sim = *static_cast<Device*>(self);
    SimLock lock(sim.mutex);
    if (sim.realtimeSpeed_ <= 0.0) return;
    double elapsed = monotonicMs() - sim.realtimeBaseMs_;
    int64_t due = static_cast<int64_t>(elapsed * sim.realtimeSpeed_) - sim.realtimeAdvanced_;
    if (due <= 0) return;
    // A long catch-up is spread over several ticks so the lock is released
    // in between.
    int step = static_cast<int>(std::min<int64_t>(due, kMaxCatchUpMs));
    sim.realtimeAdvanced_ += step;
    sim.advanceLocked(step);
}

void Device::setRealtime(double speed) {
    SimLock control(realtimeControl_);
    if (!(speed > 0.0)) {  // also NaN
        ticker_.stop();
        SimLock lock(mutex);
        realtimeSpeed_ = 0.0;
        return;
    }
    {
        SimLock lock(mutex);
        realtimeSpeed_ = speed;
        realtimeBaseMs_ = monotonicMs();
        realtimeAdvanced_ = 0;
    }
    if (!ticker_.running()) ticker_.start(&Device::realtimeTick, this);
}

int Device::realtimeRunning() {
    SimLock control(realtimeControl_);
    return ticker_.running() ? 1 : 0;
}

}  // namespace tsim
