// The library without a usable device backend: a missing module, or one that
// lacks an entry point, behaves like a missing WinUSB. Nothing of the module
// is called, opening ends in the open-failed state, and every transfer
// returns 0. The library under test is loaded from the directory given as
// the first argument (a copy of libtelvo.so with or without the partial
// module beside it).
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "telvo/telvo.h"

namespace {

int failures = 0;
int checks = 0;

void check(bool ok, const char* what) {
    ++checks;
    if (!ok) {
        ++failures;
        std::fprintf(stderr, "FAILED: %s\n", what);
    }
}

template <typename Fn>
Fn bind(void* library, const char* name) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        std::fprintf(stderr, "missing export %s\n", name);
        std::exit(2);
    }
    return reinterpret_cast<Fn>(symbol);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s LIBRARY_DIR [partial]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const bool partial = argc > 2 && std::strcmp(argv[2], "partial") == 0;
    void* library = dlopen((dir + "/libtelvo.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "cannot load %s/libtelvo.so: %s\n", dir.c_str(), dlerror());
        return 2;
    }
    auto open = bind<int (*)()>(library, "telvo_Open");
    auto close = bind<int (*)()>(library, "telvo_Close");
    auto version = bind<const char* (*)()>(library, "telvo_GetFirmwareVersion");
    auto stop = bind<int (*)(uint8_t)>(library, "telvo_CmdStop");
    auto status = bind<int (*)(MachineStatus*)>(library, "telvo_GetStatus");
    auto add = bind<int (*)(const MotionSegment*)>(library, "telvo_BufAdd");
    auto update = bind<int (*)()>(library, "telvo_BufUpdate");

    check(open() == 1, "open returns 1 (open failed)");
    check(std::strcmp(version(), "00.00") == 0, "firmware text stays 00.00");
    check(stop(0) == 0, "commands return 0");
    MachineStatus record;
    check(status(&record) == 0, "status returns 0");
    MotionSegment segment;
    std::memset(&segment, 0, sizeof segment);
    check(add(&segment) == 1, "the queue still works");
    check(update() == 1, "streaming drains without a device");
    check(close() != 0, "close reports the events of the failed open");

    if (partial) {
        void* module = dlopen((dir + "/libtelvo_usb.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
        check(module != nullptr, "the partial module was loaded");
        if (module != nullptr) {
            auto calls = reinterpret_cast<int (*)()>(dlsym(module, "partial_backend_calls"));
            check(calls != nullptr && calls() == 0, "no entry point of the partial module was called");
        }
    }
    std::printf("%d passed, %d failed\n", checks - failures, failures);
    return failures == 0 ? 0 : 1;
}
