// Backend selection at load, and the library without a usable backend.
//
// Loads libtelvo.so from the directory given as the first argument, with
// TELVO_BACKEND set as the mode says, and checks what the host sees:
//   default        unset; no module beside the library or on the search path
//   named-missing  a file name that no directory holds
//   partial MODULE a module that lacks telvo_backend_show_message
//   abi MODULE     a complete module of ABI version 2 (MODULE: a path, or a
//                  file name that lies beside the library)
//   foreign NAME   a library that is no backend at all
//   sim NAME       the simulated controller, found beside the library or in
//                  the module folder telvo/ beside it
// Without a usable module telvo behaves as without WinUSB: nothing of the
// module is called, opening ends in the open-failed state and every transfer
// returns 0. A module that TELVO_BACKEND named is reported on stderr once,
// with its name and the reason; the default module's absence is silent.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "telvo/telvo.h"

namespace {

int failures = 0;
int checks = 0;
std::string failed;  // printed at the end: stderr is under test meanwhile

void check(bool ok, const std::string& what) {
    ++checks;
    if (!ok) {
        ++failures;
        failed += "FAILED: " + what + "\n";
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

// Sends this process's stderr to a file until restored, to read what the
// library wrote there.
class StderrCapture {
public:
    StderrCapture() {
        char name[] = "/tmp/telvo_backend_stderr_XXXXXX";
        fd_ = mkstemp(name);
        if (fd_ < 0) {
            std::perror("mkstemp");
            std::exit(2);
        }
        unlink(name);
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        dup2(fd_, STDERR_FILENO);
    }
    std::string finish() {
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        std::string text;
        char buffer[512];
        ssize_t n;
        lseek(fd_, 0, SEEK_SET);
        while ((n = read(fd_, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
        close(fd_);
        return text;
    }

private:
    int fd_ = -1;
    int saved_ = -1;
};

size_t lines(const std::string& s) {
    size_t n = 0;
    for (char c : s) n += c == '\n' ? 1 : 0;
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s LIBRARY_DIR MODE [MODULE]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const std::string mode = argv[2];
    const std::string module = argc > 3 ? argv[3] : (mode == "named-missing" ? "libtelvo_nosuch.so" : "");
    if (module.empty()) {
        unsetenv("TELVO_BACKEND");
    } else {
        setenv("TELVO_BACKEND", module.c_str(), 1);
    }

    StderrCapture capture;
    void* library = dlopen((dir + "/libtelvo.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const std::string text = capture.finish();
        std::fprintf(stderr, "%scannot load %s/libtelvo.so: %s\n", text.c_str(), dir.c_str(), dlerror());
        return 2;
    }
    auto open = bind<int (*)()>(library, "telvo_Open");
    auto close = bind<int (*)()>(library, "telvo_Close");
    auto version = bind<const char* (*)()>(library, "telvo_GetFirmwareVersion");
    auto stop = bind<int (*)(uint8_t)>(library, "telvo_CmdStop");
    auto status = bind<int (*)(MachineStatus*)>(library, "telvo_GetStatus");
    auto add = bind<int (*)(const MotionSegment*)>(library, "telvo_BufAdd");
    auto update = bind<int (*)()>(library, "telvo_BufUpdate");

    MachineStatus record;
    MotionSegment segment;
    std::memset(&segment, 0, sizeof segment);
    if (mode == "sim") {
        check(open() == 1, "the simulated controller opens");
        check(std::strcmp(version(), "00.00") != 0, "its firmware version was read");
        check(stop(0) == 1, "a command reaches it");
        check(close() != 0, "close");
    } else {
        check(open() == 1, "open returns 1 (open failed)");
        check(std::strcmp(version(), "00.00") == 0, "firmware text stays 00.00");
        check(stop(0) == 0, "commands return 0");
        check(status(&record) == 0, "status returns 0");
        check(add(&segment) == 1, "the queue still works");
        check(update() == 1, "streaming drains without a device");
        check(close() != 0, "close reports the events of the failed open");
        // Opening again reports nothing more: the reason belongs to the load.
        check(open() == 1 && stop(0) == 0 && close() != 0, "a second session is open-failed too");
    }
    const std::string text = capture.finish();

    const std::string prefix = "telvo: backend \"" + module + "\": ";
    if (mode == "default" || mode == "sim") {
        check(text.empty(), "nothing on stderr, got: " + text);
    } else {
        check(lines(text) == 1 && text.rfind(prefix, 0) == 0, "one report naming the module, got: " + text);
        std::string reason;
        if (mode == "named-missing") reason = "cannot open shared object file";
        if (mode == "partial") reason = "missing entry point telvo_backend_show_message\n";
        if (mode == "abi") reason = "ABI version 2, expected 1\n";
        if (mode == "foreign") reason = "missing entry point telvo_backend_abi_version\n";
        check(!reason.empty() && text.find(reason) != std::string::npos, "the reason '" + reason + "' in: " + text);
    }

    if (mode == "partial" || mode == "abi") {
        // A file name was found beside the library.
        const std::string path = module.find('/') == std::string::npos ? dir + "/" + module : module;
        void* loaded = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        check(loaded != nullptr, "the rejected module was loaded");
        if (loaded != nullptr) {
            auto calls = reinterpret_cast<int (*)()>(dlsym(loaded, "partial_backend_calls"));
            // Of another ABI version only the version query is called.
            const int allowed = mode == "abi" ? 1 : 0;
            check(calls != nullptr && calls() == allowed, "no other entry point of the module was called");
        }
    }
    std::fputs(failed.c_str(), stderr);
    std::printf("%d passed, %d failed\n", checks - failures, failures);
    return failures == 0 ? 0 : 1;
}
