// The Win32 platform layer: WinUSB bound at load time, SetupAPI discovery,
// kernel32 handles, events and critical sections, and the user32 message box.
//
// WinUSB is never linked: the six entry points are looked up by name while
// the library itself loads, and a missing one turns the operation that needs
// it into a plain failure, so nothing here calls through a null pointer.
// Errors leave this file as HRESULT-form status codes built from the
// thread's last error.
#include "platform/platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#  define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>
#include <winusb.h>

#include <cstddef>
#include <cstring>
#include <new>

namespace telvo::platform {

namespace {

// WinUSB entry points, in the order the binding stores them.
enum WinUsbEntry : int {
    kInitialize = 0,
    kFree,
    kWritePipe,
    kReadPipe,
    kGetPipePolicy,
    kControlTransfer,
};
static_assert(kControlTransfer + 1 == WinUsbApi::kEntryCount);

constexpr const char* kWinUsbEntryNames[WinUsbApi::kEntryCount] = {
    "WinUsb_Initialize",    "WinUsb_Free",          "WinUsb_WritePipe",
    "WinUsb_ReadPipe",      "WinUsb_GetPipePolicy", "WinUsb_ControlTransfer",
};

using InitializeFn = BOOL(WINAPI*)(HANDLE, WINUSB_INTERFACE_HANDLE*);
using FreeFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE);
using WritePipeFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG, PULONG,
                                  LPOVERLAPPED);
using ReadPipeFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG, PULONG,
                                 LPOVERLAPPED);
using ControlTransferFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, WINUSB_SETUP_PACKET, PUCHAR,
                                        ULONG, PULONG, LPOVERLAPPED);

template <typename Fn>
Fn entryPoint(WinUsbEntry which) {
    return reinterpret_cast<Fn>(winUsbApi.entry[which]);
}

// The status code of the calling thread's last error.
int32_t lastErrorStatus() {
    return statusFromError(static_cast<uint32_t>(GetLastError()));
}

// Why an entry point cannot be called: WinUSB itself or only the entry is missing.
int32_t missingEntryStatus() {
    return statusFromError(winUsbApi.module == nullptr ? ERROR_MOD_NOT_FOUND
                                                       : ERROR_PROC_NOT_FOUND);
}

// What the opaque overlapped storage holds: the OVERLAPPED itself and the
// out-count of the read issued on it, which the driver may fill at any time
// until the read completes and so must live as long as the record.
struct OverlappedRecord {
    OVERLAPPED overlapped;
    ULONG transferred;
};
static_assert(sizeof(OverlappedRecord) <= sizeof(Overlapped::storage),
              "OVERLAPPED and its out-count must fit the opaque record");
static_assert(alignof(OverlappedRecord) <= alignof(Overlapped));

OverlappedRecord* recordOf(Overlapped* overlapped) {
    return std::launder(reinterpret_cast<OverlappedRecord*>(overlapped->storage));
}

// How long cancelRead waits for the driver to let go of a cancelled read.
constexpr DWORD kCancelWaitMs = 1000;

static_assert(sizeof(Guid) == sizeof(GUID));
static_assert(sizeof(HANDLE) == sizeof(Handle));

}  // namespace

// ---- run-time binding -------------------------------------------------------

DynamicLibrary::DynamicLibrary(const char* fileName) : name(fileName) {}

DynamicLibrary::~DynamicLibrary() = default;  // the module stays loaded

void DynamicLibrary::load() {
    module = LoadLibraryA(name);
}

void* DynamicLibrary::symbol(const char* entryName) const {
    if (module == nullptr) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), entryName));
}

WinUsbApi::WinUsbApi() : DynamicLibrary("WinUsb.dll") {
    load();
    if (module != nullptr) available = resolve() ? 1 : 0;
}

WinUsbApi::~WinUsbApi() = default;

bool WinUsbApi::resolve() {
    bool all = true;
    for (int i = 0; i < kEntryCount; ++i) {
        entry[i] = symbol(kWinUsbEntryNames[i]);
        if (entry[i] == nullptr) all = false;
    }
    return all;
}

// ---- device access ----------------------------------------------------------

int32_t listFirstInterface(const Guid& guid, char* path, uint32_t capacity,
                           int32_t* deviceAbsent) {
    if (deviceAbsent != nullptr) *deviceAbsent = 0;
    // A failed listing leaves an empty path behind, never a stale one.
    if (capacity != 0) std::memset(path, 0, capacity);

    GUID classGuid;
    std::memcpy(&classGuid, &guid, sizeof classGuid);

    HDEVINFO set = SetupDiGetClassDevsA(&classGuid, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return lastErrorStatus();

    // Only the first listed interface is ever used.
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &classGuid, 0, &interfaceData)) {
        DWORD error = GetLastError();
        if (error == ERROR_NO_MORE_ITEMS && deviceAbsent != nullptr) *deviceAbsent = 1;
        SetupDiDestroyDeviceInfoList(set);
        return statusFromError(static_cast<uint32_t>(error));
    }

    // Size query: failing with "insufficient buffer" is the expected answer.
    DWORD required = 0;
    if (!SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &required,
                                          nullptr)) {
        DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            SetupDiDestroyDeviceInfoList(set);
            return statusFromError(static_cast<uint32_t>(error));
        }
    }

    // Never smaller than the record's fixed part, whatever the query said.
    DWORD recordSize = required;
    if (recordSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        recordSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    auto* detail =
        static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(LocalAlloc(LMEM_FIXED, recordSize));
    if (detail == nullptr) {
        SetupDiDestroyDeviceInfoList(set);
        return kStatusOutOfMemory;
    }
    // cbSize is the record's fixed part: 5 on 32-bit Windows, 8 on 64-bit.
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, recordSize, nullptr,
                                          nullptr)) {
        int32_t status = lastErrorStatus();
        LocalFree(detail);
        SetupDiDestroyDeviceInfoList(set);
        return status;
    }

    // The path must fit with its NUL; one that does not is refused rather
    // than kept unterminated. The scan never leaves the record.
    const size_t pathRoom = recordSize - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    const size_t length = strnlen(detail->DevicePath, pathRoom);
    int32_t status = 0;
    if (length == pathRoom || length >= capacity) {
        status = statusFromError(kErrorFilenameTooLong);
    } else {
        std::memcpy(path, detail->DevicePath, length);  // the rest stays NUL
    }
    LocalFree(detail);
    SetupDiDestroyDeviceInfoList(set);
    return status;
}

Handle openDevice(const char* path, int32_t* status) {
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *status = lastErrorStatus();
        return nullptr;
    }
    *status = 0;
    return file;
}

void closeDevice(Handle file) {
    if (file != nullptr) CloseHandle(file);
}

bool usbInitialize(Handle file, Handle* iface, int32_t* status) {
    auto initialize = entryPoint<InitializeFn>(kInitialize);
    if (initialize == nullptr) {
        *status = missingEntryStatus();
        return false;
    }
    WINUSB_INTERFACE_HANDLE handle = nullptr;
    if (!initialize(file, &handle)) {
        *status = lastErrorStatus();
        return false;
    }
    *iface = handle;
    *status = 0;
    return true;
}

void usbFree(Handle iface) {
    auto release = entryPoint<FreeFn>(kFree);
    if (release != nullptr) release(iface);
}

bool usbWritePipe(Handle iface, uint8_t pipe, const void* data, uint32_t count,
                  uint32_t* transferred) {
    *transferred = 0;
    auto write = entryPoint<WritePipeFn>(kWritePipe);
    if (write == nullptr) return false;
    ULONG written = 0;
    // WinUSB does not write through the buffer of an OUT transfer.
    BOOL ok = write(iface, pipe, static_cast<PUCHAR>(const_cast<void*>(data)), count, &written,
                    nullptr);
    *transferred = written;
    return ok != FALSE;
}

int usbControlTransfer(Handle iface, const uint8_t setup[8], void* buffer, uint32_t count,
                       uint32_t* transferred) {
    *transferred = 0;
    auto control = entryPoint<ControlTransferFn>(kControlTransfer);
    if (control == nullptr) return 0;
    // The setup packet's wire layout is WINUSB_SETUP_PACKET's: byte-packed, little-endian.
    static_assert(sizeof(WINUSB_SETUP_PACKET) == 8);
    WINUSB_SETUP_PACKET packet;
    packet.RequestType = setup[0];
    packet.Request = setup[1];
    packet.Value = static_cast<USHORT>(setup[2] | (setup[3] << 8));
    packet.Index = static_cast<USHORT>(setup[4] | (setup[5] << 8));
    packet.Length = static_cast<USHORT>(setup[6] | (setup[7] << 8));
    ULONG done = 0;
    BOOL result = control(iface, packet, static_cast<PUCHAR>(buffer), count, &done, nullptr);
    *transferred = done;
    return result;
}

void initOverlapped(Overlapped* overlapped, Handle event) {
    auto* record = new (overlapped->storage) OverlappedRecord();
    record->overlapped.hEvent = event;
}

void usbReadPipe(Handle iface, uint8_t pipe, void* buffer, uint32_t count,
                 Overlapped* overlapped) {
    auto read = entryPoint<ReadPipeFn>(kReadPipe);
    if (read == nullptr) return;
    OverlappedRecord* record = recordOf(overlapped);
    record->transferred = 0;
    // Usually FALSE with ERROR_IO_PENDING; the event alone says when it is done.
    read(iface, pipe, static_cast<PUCHAR>(buffer), count, &record->transferred,
         &record->overlapped);
}

void cancelRead(Handle file, Handle iface, Overlapped* overlapped) {
    (void)iface;  // WinUSB's reads are file I/O on the device handle
    if (file == nullptr) return;
    OverlappedRecord* record = recordOf(overlapped);
    // Without a read in flight there is nothing to cancel (ERROR_NOT_FOUND)
    // and nothing to wait for.
    if (!CancelIoEx(file, &record->overlapped)) return;
    if (record->overlapped.hEvent != nullptr)
        WaitForSingleObject(record->overlapped.hEvent, kCancelWaitMs);
}

Handle createEvent() {
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);  // manual reset, not signalled
}

void resetEvent(Handle event) {
    if (event != nullptr) ResetEvent(event);
}

int closeEvent(Handle event) {
    if (event == nullptr) return 0;
    return CloseHandle(event);
}

bool eventSignalled(Handle event) {
    if (event == nullptr) return false;
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

// ---- user, time, locks --------------------------------------------------------

void showMessage(const char* text, const char* caption) {
    MessageBoxA(nullptr, text, caption, MB_OK | MB_ICONEXCLAMATION);
}

void sleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

namespace {
CRITICAL_SECTION* sectionOf(unsigned char* storage) {
    return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}
}  // namespace

RecursiveLock::RecursiveLock() {
    static_assert(sizeof(CRITICAL_SECTION) <= sizeof(storage_),
                  "CRITICAL_SECTION must fit the lock's storage");
    static_assert(alignof(CRITICAL_SECTION) <= 16);
    auto* section = new (storage_) CRITICAL_SECTION;
    InitializeCriticalSection(section);
}

RecursiveLock::~RecursiveLock() {
    DeleteCriticalSection(sectionOf(storage_));
}

void RecursiveLock::lock() {
    EnterCriticalSection(sectionOf(storage_));
}

void RecursiveLock::unlock() {
    LeaveCriticalSection(sectionOf(storage_));
}

}  // namespace telvo::platform
