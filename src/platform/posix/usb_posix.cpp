// POSIX USB layer: the device backend module chosen at load, bound in
// WinUSB's place, and the device operations over it.
//
// The module is the one named by the environment variable TELVO_BACKEND (a
// file name, or a path when it contains '/'), else libtelvo_usb.so. A file
// name is looked for beside this library first, then in the folder telvo/
// beside it (where the packages install the modules: plugins do not belong
// in the system library directory), then by the dynamic loader's search. It
// is bound while the library loads, like WinUsb.dll on Windows.
// A module that cannot be loaded, lacks an entry point or has another ABI
// version is not used: nothing of it is called, and opening ends in the
// open-failed state. When TELVO_BACKEND named it, the reason is reported
// once on stderr; a missing default module (no controller software
// installed) is a normal state and stays silent.
#include "platform/posix/usb_posix.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "platform/platform.h"
#include "platform/posix/sync_posix.h"

namespace telvo::platform {

UsbApi usbApi{};

namespace {

constexpr char kBackendVariable[] = TELVO_BACKEND_VARIABLE;
constexpr size_t kPathMax = 4096;

// The {name, field} table: each entry point by its exported name, stored
// into its typed field.
template <auto Field>
void store(UsbApi& api, void* symbol) {
    using Fn = std::remove_reference_t<decltype(api.*Field)>;
    api.*Field = reinterpret_cast<Fn>(symbol);
}

struct EntryPoint {
    const char* name;
    void (*store)(UsbApi& api, void* symbol);
};

constexpr EntryPoint kEntryPoints[] = {
    {"telvo_backend_abi_version", &store<&UsbApi::abiVersion>},
    {"telvo_backend_list", &store<&UsbApi::list>},
    {"telvo_backend_open", &store<&UsbApi::open>},
    {"telvo_backend_close", &store<&UsbApi::close>},
    {"telvo_backend_initialize", &store<&UsbApi::initialize>},
    {"telvo_backend_free", &store<&UsbApi::free>},
    {"telvo_backend_write_pipe", &store<&UsbApi::writePipe>},
    {"telvo_backend_read_pipe_async", &store<&UsbApi::readPipeAsync>},
    {"telvo_backend_control_transfer", &store<&UsbApi::controlTransfer>},
    {"telvo_backend_show_message", &store<&UsbApi::showMessage>},
};

void report(const char* module, const char* reason) {
    (void)std::fprintf(stderr, "telvo: backend \"%s\": %s\n", module, reason);
}

// The folder beside this library that holds the modules of an installed
// copy (/usr/lib/<triplet>/telvo/ in the packages).
constexpr char kModuleFolder[] = "telvo/";
constexpr const char* kModuleFolders[] = {"", kModuleFolder};

// The file name fileName in the directory that holds this library, under
// folder ("" for that directory itself).
bool besideLibrary(const char* folder, const char* fileName, char* out, size_t capacity) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&besideLibrary), &info) == 0 || info.dli_fname == nullptr) {
        return false;
    }
    const char* slash = std::strrchr(info.dli_fname, '/');
    if (slash == nullptr) return false;
    const auto directoryLength = static_cast<int>(slash - info.dli_fname) + 1;  // with its '/'
    const int written =
        std::snprintf(out, capacity, "%.*s%s%s", directoryLength, info.dli_fname, folder, fileName);
    return written > 0 && static_cast<size_t>(written) < capacity;
}

// dlopen of a path as given, or of a file name beside this library, then in
// its module folder, then by the loader's search. Null with dlerror() set on
// failure; the message is the loader's search's, the last one tried.
void* loadModule(const char* name) {
    if (std::strchr(name, '/') != nullptr) return dlopen(name, RTLD_NOW | RTLD_LOCAL);
    for (const char* folder : kModuleFolders) {
        char path[kPathMax];
        if (besideLibrary(folder, name, path, sizeof path)) {
            void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
            if (module != nullptr) return module;
        }
    }
    return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

// Resolves every entry point of module into api; the first missing one is
// named in *missing. The module's code is called only once all are present.
bool resolve(void* module, UsbApi& api, const char** missing, uint32_t* version) {
    for (const EntryPoint& entry : kEntryPoints) {
        void* symbol = dlsym(module, entry.name);
        if (symbol == nullptr) {
            *missing = entry.name;
            return false;
        }
        entry.store(api, symbol);
    }
    *version = api.abiVersion();
    return *version == TELVO_BACKEND_ABI_VERSION;
}

// A backend error number as a status; a reported success without the
// promised handle counts as a general failure.
Status backendStatus(int error) {
    return statusFromError(error != TELVO_BACKEND_OK ? static_cast<uint32_t>(error)
                                                     : kErrorGenFailure);
}

constexpr Status kStatusNoBackend = statusFromError(TELVO_BACKEND_ERROR_FILE_NOT_FOUND);

}  // namespace

// ---- binding ---------------------------------------------------------------

// Runs once, while the library is being loaded: under the dynamic loader's
// lock, before any thread can call into the library, so the environment and
// dlerror are read without a race. The module stays loaded until the
// process ends, like WinUSB.
UsbBinding::UsbBinding() {
    const char* chosen = std::getenv(kBackendVariable);  // NOLINT(concurrency-mt-unsafe): see above
    const bool named = chosen != nullptr && chosen[0] != '\0';
    const char* name = named ? chosen : TELVO_BACKEND_MODULE_NAME;

    void* module = loadModule(name);
    if (module == nullptr) {
        if (named) {
            const char* why = dlerror();  // NOLINT(concurrency-mt-unsafe): see above
            report(name, why != nullptr ? why : "cannot be loaded");
        }
        return;
    }
    UsbApi candidate{};
    candidate.module = module;
    const char* missing = nullptr;
    uint32_t version = 0;
    if (resolve(module, candidate, &missing, &version)) {
        usbApi = candidate;
        return;
    }
    // Not a telvo backend of this ABI: none of it is used (it stays loaded,
    // like a bound module). The default module is reported the same way,
    // since a module of that name that is not a backend is a broken install.
    char reason[128];
    if (missing != nullptr) {
        (void)std::snprintf(reason, sizeof reason, "missing entry point %s", missing);
    } else {
        (void)std::snprintf(reason, sizeof reason, "ABI version %u, expected %u", version,
                            TELVO_BACKEND_ABI_VERSION);
    }
    report(name, reason);
}

// ---- device access -----------------------------------------------------------

Status listFirstInterface(const Guid& guid, char* path, uint32_t capacity, int32_t* deviceAbsent) {
    if (deviceAbsent != nullptr) *deviceAbsent = 0;
    if (usbApi.list == nullptr) return kStatusNoBackend;
    telvo_guid g{};
    g.data1 = guid.data1;
    g.data2 = guid.data2;
    g.data3 = guid.data3;
    std::memcpy(g.data4, guid.data4, sizeof g.data4);

    // The path is read into a buffer one larger than the field, so that a
    // path that fills the field without its NUL is seen and refused.
    char buffer[kPathMax];
    uint32_t required = 0;
    const int error = usbApi.list(&g, 0, buffer, sizeof buffer, &required);
    if (error == TELVO_BACKEND_ERROR_NO_MORE_ITEMS) {
        if (deviceAbsent != nullptr) *deviceAbsent = 1;
        return statusFromError(kErrorNoMoreItems);
    }
    if (error == TELVO_BACKEND_ERROR_INSUFFICIENT_BUFFER)
        return statusFromError(kErrorFilenameTooLong);
    if (error != TELVO_BACKEND_OK) return statusFromError(static_cast<uint32_t>(error));
    buffer[sizeof buffer - 1] = '\0';
    const size_t length = std::strlen(buffer);
    if (length >= capacity) return statusFromError(kErrorFilenameTooLong);
    std::memset(path, 0, capacity);
    std::memcpy(path, buffer, length + 1);  // with its NUL; the rest stays NUL
    return kOk;
}

Status openDevice(const char* path, Handle* file) {
    *file = nullptr;
    if (usbApi.open == nullptr) return kStatusNoBackend;
    telvo_backend_file opened = nullptr;
    const int error = usbApi.open(path, &opened);
    if (error != TELVO_BACKEND_OK || opened == nullptr) return backendStatus(error);
    *file = opened;
    return kOk;
}

void closeDevice(Handle file) {
    if (usbApi.close != nullptr && file != nullptr) usbApi.close(file);
}

Status usbInitialize(Handle file, Handle* iface) {
    if (usbApi.initialize == nullptr) return kStatusNoBackend;
    telvo_backend_interface handle = nullptr;
    const int error = usbApi.initialize(file, &handle);
    if (error != TELVO_BACKEND_OK || handle == nullptr) return backendStatus(error);
    *iface = handle;
    return kOk;
}

void usbFree(Handle iface) {
    if (usbApi.free != nullptr && iface != nullptr) usbApi.free(iface);
}

Status usbWritePipe(Handle iface, uint8_t pipe, const void* data, uint32_t count,
                    uint32_t* transferred) {
    *transferred = 0;
    if (usbApi.writePipe == nullptr) return kStatusNoBackend;
    const int error = usbApi.writePipe(iface, pipe, data, count, transferred);
    return error == TELVO_BACKEND_OK ? kOk : backendStatus(error);
}

Status usbControlTransfer(Handle iface, const uint8_t setup[8], void* buffer, uint32_t count,
                          uint32_t* transferred) {
    *transferred = 0;
    if (usbApi.controlTransfer == nullptr) return kStatusNoBackend;
    const int error = usbApi.controlTransfer(iface, setup, buffer, count, transferred);
    return error == TELVO_BACKEND_OK ? kOk : backendStatus(error);
}

void initOverlapped(Overlapped* overlapped, Handle event) {
    auto* record = new (overlapped->storage) PosixOverlapped{};
    record->event = static_cast<Event*>(event);
}

Status usbReadPipe(Handle iface, uint8_t pipe, void* buffer, uint32_t count,
                   Overlapped* overlapped) {
    auto* record = std::launder(reinterpret_cast<PosixOverlapped*>(overlapped->storage));
    if (usbApi.readPipeAsync == nullptr) return kStatusNoBackend;
    if (record->event == nullptr) return kStatusInvalidHandle;
    const int error =
        usbApi.readPipeAsync(iface, pipe, buffer, count, &completeRead, record->event);
    return error == TELVO_BACKEND_OK ? kOk : backendStatus(error);
}

// The backend cancels a read in flight when the interface is freed, and
// never completes it afterwards; nothing else is needed here.
void cancelRead(Handle, Handle, Overlapped*) {}

}  // namespace telvo::platform
