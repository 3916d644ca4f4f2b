// No call into the library allocates on the heap once it is loaded.
//
// This program counts every heap allocation made while one of the 26
// exports runs on the calling thread: in plain builds it interposes malloc
// and its relatives (operator new reaches them too); under AddressSanitizer
// and ThreadSanitizer, which own the allocator, it counts through the
// sanitizer's allocation hook. The simulated controller may allocate (it
// records what it receives): every backend entry point the library bound
// is wrapped so that counting pauses while the simulator runs. Everything
// the library does around those calls is counted.
//
// The exports run through a whole session: open (also failing ways and over
// an open link), configuration, streaming with status polls, every direct
// command, homing and probing to their events, purges, a failed write with
// its message, disconnect and close.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <type_traits>

#include "platform/platform.h"
#include "platform/posix/usb_posix.h"
#include "telvo/telvo.h"
#include "telvo/telvo_backend.h"
#include "telvo_sim.h"

// ---- counting --------------------------------------------------------------

namespace {

thread_local bool counting = false;
std::atomic<long> allocations{0};
const char* firstAllocator = nullptr;  // the export that allocated first
const char* currentExport = nullptr;

void noteAllocation() {
    if (!counting) return;
    if (allocations.fetch_add(1) == 0) firstAllocator = currentExport;
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TELVO_COUNT_WITH_HOOKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TELVO_COUNT_WITH_HOOKS 1
#endif
#endif

#if defined(TELVO_COUNT_WITH_HOOKS)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                                         void (*free_hook)(const volatile void*));
namespace {
void mallocHook(const volatile void*, size_t) { noteAllocation(); }
void freeHook(const volatile void*) {}
const int hooksInstalled = __sanitizer_install_malloc_and_free_hooks(&mallocHook, &freeHook);
}  // namespace
#else
// glibc's own allocator under the interposed names.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

void* malloc(size_t size) {
    noteAllocation();
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    noteAllocation();
    return __libc_calloc(count, size);
}
void* realloc(void* p, size_t size) {
    noteAllocation();
    return __libc_realloc(p, size);
}
void* memalign(size_t alignment, size_t size) {
    noteAllocation();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
    noteAllocation();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
    noteAllocation();
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
void free(void* p) { __libc_free(p); }
}
namespace {
const int hooksInstalled = 1;
}  // namespace
#endif

// ---- the backend, with counting paused ---------------------------------------

namespace {

struct Paused {
    bool was;
    Paused() : was(counting) { counting = false; }
    ~Paused() { counting = was; }
    Paused(const Paused&) = delete;
    Paused& operator=(const Paused&) = delete;
};

using ListFn = int (*)(const telvo_guid*, uint32_t, char*, uint32_t, uint32_t*);
using OpenFn = int (*)(const char*, telvo_backend_file*);
using CloseFn = void (*)(telvo_backend_file);
using InitializeFn = int (*)(telvo_backend_file, telvo_backend_interface*);
using FreeFn = void (*)(telvo_backend_interface);
using WritePipeFn = int (*)(telvo_backend_interface, uint8_t, const void*, uint32_t, uint32_t*);
using ReadFn = int (*)(telvo_backend_interface, uint8_t, void*, uint32_t, telvo_backend_completion, void*);
using ControlFn = int (*)(telvo_backend_interface, const uint8_t*, void*, uint32_t, uint32_t*);
using MessageFn = void (*)(const char*, const char*);

ListFn realList;
OpenFn realOpen;
CloseFn realClose;
InitializeFn realInitialize;
FreeFn realFree;
WritePipeFn realWrite;
ReadFn realRead;
ControlFn realControl;
MessageFn realMessage;

int wrapList(const telvo_guid* g, uint32_t i, char* p, uint32_t c, uint32_t* r) {
    Paused paused;
    return realList(g, i, p, c, r);
}
int wrapOpen(const char* p, telvo_backend_file* f) {
    Paused paused;
    return realOpen(p, f);
}
void wrapClose(telvo_backend_file f) {
    Paused paused;
    realClose(f);
}
int wrapInitialize(telvo_backend_file f, telvo_backend_interface* i) {
    Paused paused;
    return realInitialize(f, i);
}
void wrapFree(telvo_backend_interface i) {
    Paused paused;
    realFree(i);
}
int wrapWrite(telvo_backend_interface i, uint8_t pipe, const void* d, uint32_t n, uint32_t* t) {
    Paused paused;
    return realWrite(i, pipe, d, n, t);
}
int wrapRead(telvo_backend_interface i, uint8_t pipe, void* b, uint32_t n, telvo_backend_completion done,
             void* context) {
    Paused paused;
    return realRead(i, pipe, b, n, done, context);
}
int wrapControl(telvo_backend_interface i, const uint8_t* s, void* b, uint32_t n, uint32_t* t) {
    Paused paused;
    return realControl(i, s, b, n, t);
}
void wrapMessage(const char* text, const char* caption) {
    Paused paused;
    realMessage(text, caption);
}

// Replaces a bound entry point by its wrapper, keeping the real one; false
// when the entry is not bound to the simulator's function of that name.
template <typename Fn>
bool wrap(Fn& entry, const char* name, Fn& real, Fn wrapper) {
    void* symbol = dlsym(RTLD_DEFAULT, name);
    if (symbol == nullptr || reinterpret_cast<void*>(entry) != symbol) return false;
    real = entry;
    entry = wrapper;
    return true;
}

// Replaces each bound entry point by its wrapper; returns how many were
// found (all nine that the library calls, besides the version query).
int wrapBackend() {
    auto& api = telvo::platform::usbApi;
    int wrapped = 0;
    wrapped += wrap(api.list, "telvo_backend_list", realList, &wrapList) ? 1 : 0;
    wrapped += wrap(api.open, "telvo_backend_open", realOpen, &wrapOpen) ? 1 : 0;
    wrapped += wrap(api.close, "telvo_backend_close", realClose, &wrapClose) ? 1 : 0;
    wrapped += wrap(api.initialize, "telvo_backend_initialize", realInitialize, &wrapInitialize) ? 1 : 0;
    wrapped += wrap(api.free, "telvo_backend_free", realFree, &wrapFree) ? 1 : 0;
    wrapped += wrap(api.writePipe, "telvo_backend_write_pipe", realWrite, &wrapWrite) ? 1 : 0;
    wrapped += wrap(api.readPipeAsync, "telvo_backend_read_pipe_async", realRead, &wrapRead) ? 1 : 0;
    wrapped += wrap(api.controlTransfer, "telvo_backend_control_transfer", realControl, &wrapControl) ? 1 : 0;
    wrapped += wrap(api.showMessage, "telvo_backend_show_message", realMessage, &wrapMessage) ? 1 : 0;
    return wrapped;
}

std::set<std::string> exercised;

// Runs one export with counting on.
template <typename F>
auto counted(const char* name, F call) {
    exercised.insert(name);
    currentExport = name;
    counting = true;
    if constexpr (std::is_void_v<decltype(call())>) {
        call();
        counting = false;
    } else {
        auto result = call();
        counting = false;
        return result;
    }
}
#define LIB(fn, ...) counted(#fn, [&] { return fn(__VA_ARGS__); })

// Called through volatile pointers, so that the compiler cannot pair and
// remove the allocations of the counter's own check.
void* (*volatile allocate)(size_t) = &std::malloc;
void (*volatile release)(void*) = &std::free;
void* (*volatile allocateNew)(size_t) = static_cast<void* (*)(size_t)>(&::operator new);
void (*volatile releaseNew)(void*) = static_cast<void (*)(void*)>(&::operator delete);

class NoAllocation : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(9, wrapBackend()); }
    void SetUp() override {
        ASSERT_EQ(1, hooksInstalled);
        allocations = 0;
        firstAllocator = nullptr;
        tsim_reset();
    }
};

// The counter sees allocations made while counting is on, and none while
// a backend call has it paused.
TEST_F(NoAllocation, CounterSeesAllocations) {
    counting = true;
    release(allocate(24));
    releaseNew(allocateNew(24));
    counting = false;
    EXPECT_GE(allocations.load(), 2);
    const long before = allocations.load();
    counting = true;
    {
        Paused paused;
        release(allocate(24));
    }
    counting = false;
    EXPECT_EQ(before, allocations.load());
}

MotionSegment segment(double x, int32_t tag) {
    MotionSegment s;
    std::memset(&s, 0, sizeof s);
    for (int a = 0; a < 6; ++a) s.target[a] = x * (a + 1);
    s.tag = tag;
    return s;
}

TEST_F(NoAllocation, NoExportAllocates) {
    // Open over every failing path first, then for real.
    tsim_set_device_count(0);
    EXPECT_EQ(0, LIB(telvo_Open));
    tsim_set_device_count(1);
    tsim_inject(TSIM_FAULT_INIT_FAILS, 0, 0);
    EXPECT_EQ(1, LIB(telvo_Open));
    EXPECT_NE(0, LIB(telvo_Close));
    ASSERT_EQ(1, LIB(telvo_Open));
    ASSERT_EQ(1, LIB(telvo_Open));  // over an open link
    EXPECT_STREQ("01.23", LIB(telvo_GetFirmwareVersion));

    MachineConfig config;
    std::memset(&config, 0, sizeof config);
    for (auto& a : config.axes) {
        a.stepsPerUnit = 1000;
        a.maxVelocity = 50000;
        a.acceleration = 100000;
    }
    config.axes[4].slaveOf = 1;
    IoConfig io;
    std::memset(&io, 0, sizeof io);
    EXPECT_EQ(1, LIB(telvo_Init, &config, &io));
    EXPECT_EQ(1000, LIB(telvo_SetBuffSize, 1000));

    // Streaming in machine mode.
    MachineStatus record;
    int frames = 0;
    for (int i = 0; i < 10 && frames == 0; ++i) {
        tsim_advance_ms(1);
        frames += LIB(telvo_GetStatus, &record);
    }
    ASSERT_EQ(1, frames);
    LIB(telvo_PosResync);
    int sent = 0;
    for (int n = 0; n < 3000; ++n) {
        if (LIB(telvo_BufFreeCnt) > 0) {
            const MotionSegment s = segment(0.25 * n, n + 1);
            EXPECT_EQ(1, LIB(telvo_BufAdd, &s));
        }
        tsim_advance_ms(1);
        if (LIB(telvo_GetStatus, &record) == 1) sent += LIB(telvo_BufUpdate);
    }
    EXPECT_GT(sent, 1000);
    for (int n = 0; n < 10; ++n) {
        const MotionSegment s = segment(750.0, n + 1);
        EXPECT_EQ(1, LIB(telvo_BufAdd, &s));
    }
    EXPECT_EQ(0, LIB(telvo_BufEmpty));
    EXPECT_EQ(1, LIB(telvo_CmdPurge, 0));
    EXPECT_EQ(1, LIB(telvo_CmdPurge, 1));
    EXPECT_EQ(1, LIB(telvo_BufClear));

    // Direct commands; a homing to its event.
    EXPECT_EQ(1, LIB(telvo_CmdSetOutputs, 1, 2, 3));
    EXPECT_EQ(1, LIB(telvo_CmdJogOn, 1, 0, 1000));
    EXPECT_EQ(1, LIB(telvo_CmdJogOff, 1));
    EXPECT_EQ(1, LIB(telvo_CmdSpindle, 1, 2, 3000));
    EXPECT_EQ(1, LIB(telvo_SetupMPG, 1, 0.001, 500, 1));
    EXPECT_EQ(1, LIB(telvo_CmdHomeAxis, 2));
    EXPECT_EQ(1, LIB(telvo_IsHoming));
    for (int i = 0; i < 200 && LIB(telvo_IsHoming) == 1; ++i) {
        tsim_advance_ms(1);
        LIB(telvo_GetStatus, &record);
    }
    EXPECT_EQ(0, LIB(telvo_IsHoming));

    // A probe fed, triggered and settled.
    for (int i = 0; i < 4; ++i) {
        tsim_advance_ms(1);
        LIB(telvo_GetStatus, &record);
    }
    LIB(telvo_PosResync);
    tsim_set_probe_surface(0, 3000, 1);
    const double start[6] = {0, 0, 0, 0, 0, 0};
    const double end[6] = {10000, 0, 0, 0, 0, 0};
    EXPECT_EQ(1, LIB(telvo_CmdProbe, start, end, 20.0));
    EXPECT_EQ(1, LIB(telvo_IsProbing));
    for (int i = 0; i < 3000 && LIB(telvo_IsProbing) == 1; ++i) {
        tsim_advance_ms(1);
        if (LIB(telvo_GetStatus, &record) == 1) LIB(telvo_BufUpdate);
    }
    EXPECT_EQ(3, LIB(telvo_GetProbeResult));
    double pos[6] = {};
    EXPECT_EQ(1, LIB(telvo_GetProbePos, pos));
    EXPECT_EQ(1, LIB(telvo_CmdStop, 0));

    // A failed write with its message, then the closed link.
    tsim_inject(TSIM_FAULT_COMMAND_WRITE_FAILS, 0, 0);
    EXPECT_EQ(0, LIB(telvo_CmdJogOff, 1));
    EXPECT_EQ(1, tsim_message_count());
    EXPECT_EQ(0, LIB(telvo_CmdStop, 0));
    EXPECT_EQ(0, LIB(telvo_Close));

    ASSERT_EQ(1, LIB(telvo_Open));
    EXPECT_EQ(0, LIB(telvo_Disconnect));
    EXPECT_NE(0, LIB(telvo_Close));

    EXPECT_EQ(0, allocations.load()) << "first allocation in " << (firstAllocator ? firstAllocator : "?");
    EXPECT_EQ(26u, exercised.size());
}

}  // namespace
