// POSIX platform: pthreads for the locks, a small static pool of events, and
// a device backend module bound in WinUSB's place (see telvo_backend.h).
//
// The backend is loaded while the library is loaded, like WinUsb.dll on
// Windows: first from the directory that holds this library, then by the
// dynamic loader's search. A missing module or entry point leaves the entry
// null, and a null entry is never called.
#include <dlfcn.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "telvo/telvo_backend.h"

namespace telvo::platform {

namespace {

// Entry points of the backend module, in the order they are looked up.
enum Entry : int {
    kAbiVersion,
    kList,
    kOpen,
    kClose,
    kInitialize,
    kFree,
    kWritePipe,
    kReadPipeAsync,
    kControlTransfer,
    kShowMessage,
};
constexpr const char* kEntryNames[WinUsbApi::kEntryCount] = {
    "telvo_backend_abi_version", "telvo_backend_list",       "telvo_backend_open",
    "telvo_backend_close",       "telvo_backend_initialize", "telvo_backend_free",
    "telvo_backend_write_pipe",  "telvo_backend_read_pipe_async",
    "telvo_backend_control_transfer", "telvo_backend_show_message",
};

using AbiVersionFn = uint32_t (*)();
using ListFn = int (*)(const telvo_guid*, uint32_t, char*, uint32_t, uint32_t*);
using OpenFn = int (*)(const char*, telvo_backend_file*);
using CloseFn = void (*)(telvo_backend_file);
using InitializeFn = int (*)(telvo_backend_file, telvo_backend_interface*);
using FreeFn = void (*)(telvo_backend_interface);
using WritePipeFn = int (*)(telvo_backend_interface, uint8_t, const void*, uint32_t, uint32_t*);
using ReadPipeAsyncFn = int (*)(telvo_backend_interface, uint8_t, void*, uint32_t,
                                telvo_backend_completion, void*);
using ControlTransferFn = int (*)(telvo_backend_interface, const uint8_t*, void*, uint32_t,
                                  uint32_t*);
using ShowMessageFn = void (*)(const char*, const char*);

template <typename Fn>
Fn entryOf(Entry e) {
    return reinterpret_cast<Fn>(winUsbApi.entry[e]);
}

// A manual-reset event: a flag the backend's completion sets.
struct Event {
    std::atomic<int> signalled{0};
    std::atomic<int> inUse{0};
};
// The link uses three events at a time; a spare pair covers a close racing an
// open. Static: nothing is allocated after load.
constexpr int kEventPool = 8;
Event eventPool[kEventPool];

void completeRead(void* context) {
    static_cast<Event*>(context)->signalled.store(1, std::memory_order_release);
}

struct PosixOverlapped {
    uint32_t words[4];
    Event* event;
};
static_assert(sizeof(PosixOverlapped) <= sizeof(Overlapped));

// Directory of this library, for the module lookup beside it.
bool libraryDirectory(char* out, size_t capacity) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&libraryDirectory), &info) == 0 || info.dli_fname == nullptr) {
        return false;
    }
    const char* slash = std::strrchr(info.dli_fname, '/');
    if (slash == nullptr) return false;
    const auto length = static_cast<size_t>(slash - info.dli_fname) + 1;
    constexpr char kModule[] = TELVO_BACKEND_MODULE_NAME;
    if (length + sizeof kModule > capacity) return false;
    std::memcpy(out, info.dli_fname, length);
    std::memcpy(out + length, kModule, sizeof kModule);  // with its NUL
    return true;
}

}  // namespace

// ---- binding ---------------------------------------------------------------

DynamicLibrary::DynamicLibrary(const char* fileName) : name(fileName) {}
DynamicLibrary::~DynamicLibrary() = default;

void DynamicLibrary::load() {
    char besideUs[4096];
    if (libraryDirectory(besideUs, sizeof besideUs)) {
        module = dlopen(besideUs, RTLD_NOW | RTLD_LOCAL);
    }
    if (module == nullptr) {
        module = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    }
}

void* DynamicLibrary::symbol(const char* entry) const {
    return module != nullptr ? dlsym(module, entry) : nullptr;
}

WinUsbApi::WinUsbApi() : DynamicLibrary(TELVO_BACKEND_MODULE_NAME) {
    load();
    if (module != nullptr) available = resolve() ? 1 : 0;
}

// The module stays loaded until the process ends, like WinUSB.
WinUsbApi::~WinUsbApi() = default;

bool WinUsbApi::resolve() {
    bool all = true;
    for (int i = 0; i < kEntryCount; ++i) {
        entry[i] = symbol(kEntryNames[i]);
        all = all && entry[i] != nullptr;
    }
    // A module that lacks an entry point, or was built against another ABI
    // version, is not used at all: it counts as missing.
    if (all && entryOf<AbiVersionFn>(kAbiVersion)() != TELVO_BACKEND_ABI_VERSION) all = false;
    if (!all) {
        for (auto& e : entry) e = nullptr;
    }
    return all;
}

// ---- device access -----------------------------------------------------------

int32_t listFirstInterface(const Guid& guid, char* path, uint32_t capacity, int32_t* deviceAbsent) {
    if (deviceAbsent != nullptr) *deviceAbsent = 0;
    auto list = entryOf<ListFn>(kList);
    if (list == nullptr) return statusFromError(TELVO_BACKEND_ERROR_FILE_NOT_FOUND);
    telvo_guid g{};
    g.data1 = guid.data1;
    g.data2 = guid.data2;
    g.data3 = guid.data3;
    std::memcpy(g.data4, guid.data4, sizeof g.data4);

    // The path is read into a buffer one larger than the field, so that a
    // path that fills the field without its NUL is seen and refused.
    char buffer[4096];
    uint32_t required = 0;
    const int error = list(&g, 0, buffer, sizeof buffer, &required);
    if (error == TELVO_BACKEND_ERROR_NO_MORE_ITEMS) {
        if (deviceAbsent != nullptr) *deviceAbsent = 1;
        return statusFromError(kErrorNoMoreItems);
    }
    if (error == TELVO_BACKEND_ERROR_INSUFFICIENT_BUFFER) {
        return statusFromError(kErrorFilenameTooLong);
    }
    if (error != TELVO_BACKEND_OK) return statusFromError(static_cast<uint32_t>(error));
    buffer[sizeof buffer - 1] = '\0';
    const size_t length = std::strlen(buffer);
    if (length >= capacity) return statusFromError(kErrorFilenameTooLong);
    std::memset(path, 0, capacity);
    std::memcpy(path, buffer, length + 1);  // with its NUL; the rest stays NUL
    return 0;
}

Handle openDevice(const char* path, int32_t* status) {
    auto openFn = entryOf<OpenFn>(kOpen);
    if (openFn == nullptr) {
        *status = statusFromError(TELVO_BACKEND_ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    telvo_backend_file file = nullptr;
    const int error = openFn(path, &file);
    if (error != TELVO_BACKEND_OK || file == nullptr) {
        *status = statusFromError(error != 0 ? static_cast<uint32_t>(error)
                                             : TELVO_BACKEND_ERROR_GEN_FAILURE);
        return nullptr;
    }
    *status = 0;
    return file;
}

void closeDevice(Handle file) {
    auto closeFn = entryOf<CloseFn>(kClose);
    if (closeFn != nullptr && file != nullptr) closeFn(file);
}

bool usbInitialize(Handle file, Handle* iface, int32_t* status) {
    auto init = entryOf<InitializeFn>(kInitialize);
    if (init == nullptr) {
        *status = statusFromError(TELVO_BACKEND_ERROR_FILE_NOT_FOUND);
        return false;
    }
    telvo_backend_interface handle = nullptr;
    const int error = init(file, &handle);
    if (error != TELVO_BACKEND_OK || handle == nullptr) {
        *status = statusFromError(error != 0 ? static_cast<uint32_t>(error)
                                             : TELVO_BACKEND_ERROR_GEN_FAILURE);
        return false;
    }
    *iface = handle;
    *status = 0;
    return true;
}

void usbFree(Handle iface) {
    auto freeFn = entryOf<FreeFn>(kFree);
    if (freeFn != nullptr && iface != nullptr) freeFn(iface);
}

bool usbWritePipe(Handle iface, uint8_t pipe, const void* data, uint32_t count, uint32_t* transferred) {
    *transferred = 0;
    auto write = entryOf<WritePipeFn>(kWritePipe);
    if (write == nullptr) return false;
    return write(iface, pipe, data, count, transferred) == TELVO_BACKEND_OK;
}

int usbControlTransfer(Handle iface, const uint8_t setup[8], void* buffer, uint32_t count,
                       uint32_t* transferred) {
    *transferred = 0;
    auto control = entryOf<ControlTransferFn>(kControlTransfer);
    if (control == nullptr) return 0;
    return control(iface, setup, buffer, count, transferred) == TELVO_BACKEND_OK ? 1 : 0;
}

void initOverlapped(Overlapped* overlapped, Handle event) {
    auto* record = new (overlapped->storage) PosixOverlapped{};
    record->event = static_cast<Event*>(event);
}

void usbReadPipe(Handle iface, uint8_t pipe, void* buffer, uint32_t count, Overlapped* overlapped) {
    auto read = entryOf<ReadPipeAsyncFn>(kReadPipeAsync);
    auto* record = std::launder(reinterpret_cast<PosixOverlapped*>(overlapped->storage));
    if (read == nullptr || record->event == nullptr) return;
    (void)read(iface, pipe, buffer, count, &completeRead, record->event);
}

// The backend cancels a read in flight when the interface is freed, and
// never completes it afterwards; nothing else is needed here.
void cancelRead(Handle, Handle, Overlapped*) {}

Handle createEvent() {
    for (auto& event : eventPool) {
        int expected = 0;
        if (event.inUse.compare_exchange_strong(expected, 1)) {
            event.signalled.store(0);
            return &event;
        }
    }
    return nullptr;
}

void resetEvent(Handle event) {
    if (event != nullptr) static_cast<Event*>(event)->signalled.store(0, std::memory_order_release);
}

int closeEvent(Handle event) {
    if (event == nullptr) return 0;
    auto* e = static_cast<Event*>(event);
    e->signalled.store(0);
    e->inUse.store(0);
    return 1;
}

bool eventSignalled(Handle event) {
    return event != nullptr &&
           static_cast<Event*>(event)->signalled.load(std::memory_order_acquire) != 0;
}

// ---- user, time, locks -------------------------------------------------------

void showMessage(const char* text, const char* caption) {
    auto show = entryOf<ShowMessageFn>(kShowMessage);
    if (show != nullptr) {
        show(text, caption);
    } else {
        (void)std::fprintf(stderr, "%s: %s\n", caption, text);
    }
}

void sleepMs(uint32_t milliseconds) {
    timespec request{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&request, &request) != 0 && errno == EINTR) {
    }
}

static_assert(sizeof(pthread_mutex_t) <= 64);

namespace {
pthread_mutex_t* mutexIn(unsigned char* storage) {
    return std::launder(reinterpret_cast<pthread_mutex_t*>(storage));
}
}  // namespace

RecursiveLock::RecursiveLock() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (storage_) pthread_mutex_t, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

RecursiveLock::~RecursiveLock() { pthread_mutex_destroy(mutexIn(storage_)); }
void RecursiveLock::lock() { pthread_mutex_lock(mutexIn(storage_)); }
void RecursiveLock::unlock() { pthread_mutex_unlock(mutexIn(storage_)); }

}  // namespace telvo::platform
