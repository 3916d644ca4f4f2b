// Shared pieces of the USB backend tests: the module loaded through its C
// ABI, a bench per test, and bounded waits.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <time.h>

#include <chrono>
#include <functional>
#include <memory>

#include "telvo_sim.h"
#include "usb_bench.h"

namespace usbtest {

// Waits for a condition, yielding between looks; a generous wall-clock
// watchdog ends a wait that would never end.
inline bool waitFor(const std::function<bool()>& condition, double seconds = 20.0) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        timespec pause{0, 50'000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

// The module's entry points, bound by name as the library binds them.
struct Module {
    void* handle = nullptr;
    uint32_t (*abiVersion)();
    int (*list)(const telvo_guid*, uint32_t, char*, uint32_t, uint32_t*);
    int (*open)(const char*, telvo_backend_file*);
    void (*close)(telvo_backend_file);
    int (*initialize)(telvo_backend_file, telvo_backend_interface*);
    void (*free)(telvo_backend_interface);
    int (*writePipe)(telvo_backend_interface, uint8_t, const void*, uint32_t, uint32_t*);
    int (*readPipeAsync)(telvo_backend_interface, uint8_t, void*, uint32_t, telvo_backend_completion, void*);
    int (*controlTransfer)(telvo_backend_interface, const uint8_t*, void*, uint32_t, uint32_t*);

    bool load(const char* path) {
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return false;
        return bind(abiVersion, "telvo_backend_abi_version") && bind(list, "telvo_backend_list") &&
               bind(open, "telvo_backend_open") && bind(close, "telvo_backend_close") &&
               bind(initialize, "telvo_backend_initialize") && bind(free, "telvo_backend_free") &&
               bind(writePipe, "telvo_backend_write_pipe") && bind(readPipeAsync, "telvo_backend_read_pipe_async") &&
               bind(controlTransfer, "telvo_backend_control_transfer");
    }
    // Unloading stops the event thread and ends libusb.
    void unload() {
        if (handle != nullptr) dlclose(handle);
        handle = nullptr;
    }

private:
    template <typename Fn>
    bool bind(Fn& fn, const char* name) {
        fn = reinterpret_cast<Fn>(dlsym(handle, name));
        return fn != nullptr;
    }
};

// A fresh machine and bench for every test; the teardown always runs, so no
// testbed folder is left behind.
class BenchTest : public ::testing::Test {
protected:
    void SetUp() override {
        tsim_reset();
        unsetenv("TELVO_USB_IDS");
        bench = std::make_unique<Bench>();
    }
    void TearDown() override {
        unloadAll();
        EXPECT_TRUE(bench->unknownRequests().empty()) << bench->unknownRequests().front();
        bench.reset();
        tsim_reset();
    }
    virtual void unloadAll() {}

    std::unique_ptr<Bench> bench;
};

}  // namespace usbtest
