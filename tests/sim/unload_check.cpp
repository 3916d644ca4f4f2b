// Loads the simulator module by path, starts its real-time thread with a
// read in flight, unloads it, and checks that the module is gone and that
// nothing of it keeps running (a thread left behind would crash here once
// its code is unmapped). Exits 0 on success.
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "telvo/telvo_backend.h"
#include "telvo_sim.h"

namespace {

int completions = 0;
void onDone(void*) { ++completions; }

template <typename F>
F bind(void* module, const char* name) {
    return reinterpret_cast<F>(dlsym(module, name));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s path/to/libtelvo_usb.so\n", argv[0]);
        return 2;
    }
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    auto open = bind<decltype(&telvo_backend_open)>(module, "telvo_backend_open");
    auto initialize = bind<decltype(&telvo_backend_initialize)>(module, "telvo_backend_initialize");
    auto read = bind<decltype(&telvo_backend_read_pipe_async)>(module, "telvo_backend_read_pipe_async");
    auto realtime = bind<decltype(&tsim_set_realtime)>(module, "tsim_set_realtime");
    auto running = bind<decltype(&tsim_realtime_running)>(module, "tsim_realtime_running");
    if (!open || !initialize || !read || !realtime || !running) {
        std::fprintf(stderr, "missing entry point\n");
        return 1;
    }
    telvo_backend_file file = nullptr;
    telvo_backend_interface iface = nullptr;
    static uint8_t frame[2][60];
    if (open("sim://controller/0", &file) != 0 || initialize(file, &iface) != 0) return 1;
    if (read(iface, 0x81, frame[0], 60, &onDone, nullptr) != 0) return 1;  // completes at once
    realtime(1.0);
    if (running() != 1) return 1;
    if (read(iface, 0x81, frame[1], 60, &onDone, nullptr) != 0) return 1;  // left in flight
    std::this_thread::sleep_for(std::chrono::milliseconds(10));

    if (dlclose(module) != 0) {
        std::fprintf(stderr, "dlclose: %s\n", dlerror());
        return 1;
    }
    if (dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD) != nullptr) {
        std::fprintf(stderr, "the module stayed loaded\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::printf("unloaded cleanly after %d completions\n", completions);
    return 0;
}
