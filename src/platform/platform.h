// The platform layer: the one place that knows the operating system.
//
// Everything above it (link, config, status, motion, probe, api) calls these
// operations and never an OS header. The Win32 build implements them with
// WinUSB, SetupAPI and kernel32/user32; the POSIX build binds a device
// backend module (include/telvo/telvo_backend.h) in WinUSB's place and uses
// pthreads. Status codes are signed 32-bit values in HRESULT form: 0 for
// success, 0x80070000 | (error & 0xFFFF) for a platform error.
#pragma once

#include <cstddef>
#include <cstdint>

namespace telvo::platform {

using Handle = void*;

// HRESULT form of a platform error number (0 stays 0).
constexpr int32_t statusFromError(uint32_t error) {
    return error == 0 ? 0 : static_cast<int32_t>(0x80070000u | (error & 0xFFFFu));
}
constexpr int32_t kStatusOutOfMemory = static_cast<int32_t>(0x8007000Eu);
constexpr uint32_t kErrorNoMoreItems = 259;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorFilenameTooLong = 206;

// A device-interface class GUID in the Windows layout.
struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

// ---- run-time binding of a library, made while telvo itself is loaded ----

// A library loaded by name whose entry points are looked up by name.
class DynamicLibrary {
public:
    explicit DynamicLibrary(const char* fileName);
    virtual ~DynamicLibrary();
    virtual bool resolve() = 0;

    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    const char* name;
    void* module = nullptr;
    int32_t available = 0;

protected:
    void load();                               // LoadLibraryA / dlopen
    void* symbol(const char* entry) const;     // GetProcAddress / dlsym
};

// The USB binding: WinUSB's entry points on Windows, the device backend's
// elsewhere. Entry points are null until found; a null one is never called.
class WinUsbApi final : public DynamicLibrary {
public:
#if defined(_WIN32)
    static constexpr int kEntryCount = 6;
#else
    static constexpr int kEntryCount = 10;
#endif
    WinUsbApi();
    ~WinUsbApi() override;
    bool resolve() override;
    void* entry[kEntryCount] = {};
};

// Defined with the library's other static objects, in their creation order.
extern WinUsbApi winUsbApi;

// ---- device access --------------------------------------------------------

// Lists the present interfaces of guid and copies the path of the first one
// into path (capacity chars, NUL-padded). Sets *deviceAbsent (if given) to 1
// when none is listed. A path that does not fit with its NUL is refused.
int32_t listFirstInterface(const Guid& guid, char* path, uint32_t capacity,
                           int32_t* deviceAbsent);

// Opens the device for overlapped read/write with sharing; null on failure
// with *status set.
Handle openDevice(const char* path, int32_t* status);
void closeDevice(Handle file);

// USB interface on an opened device.
bool usbInitialize(Handle file, Handle* iface, int32_t* status);
void usbFree(Handle iface);
// Synchronous pipe write; true when the call succeeded (transferred says how much).
bool usbWritePipe(Handle iface, uint8_t pipe, const void* data, uint32_t count,
                  uint32_t* transferred);
// One synchronous control transfer; the platform's BOOL result (1 success).
int usbControlTransfer(Handle iface, const uint8_t setup[8], void* buffer,
                       uint32_t count, uint32_t* transferred);

// The overlapped record of an asynchronous read: opaque, static storage.
struct Overlapped {
    alignas(8) unsigned char storage[40];
};
// Zeroes the record and binds its completion event.
void initOverlapped(Overlapped* overlapped, Handle event);
// Issues an asynchronous read that signals the record's event on completion.
// The call's own result is not reported: completion is judged by the event.
void usbReadPipe(Handle iface, uint8_t pipe, void* buffer, uint32_t count,
                 Overlapped* overlapped);
// Cancels a read in flight on the record and waits (bounded) until the
// platform no longer touches it. Used before the record is armed again.
void cancelRead(Handle file, Handle iface, Overlapped* overlapped);

// Manual-reset, unnamed, created non-signalled. closeEvent returns nonzero on
// success and 0 for a null handle.
Handle createEvent();
void resetEvent(Handle event);
int closeEvent(Handle event);
// Tests the event with a time-out of 0.
bool eventSignalled(Handle event);

// ---- user, time, locks, floating point ------------------------------------

// The modal failure message: OK button, exclamation icon; returns once dismissed.
void showMessage(const char* text, const char* caption);
void sleepMs(uint32_t milliseconds);

// A process-wide recursive lock (critical section / recursive mutex).
class RecursiveLock {
public:
    RecursiveLock();
    ~RecursiveLock();
    void lock();
    void unlock();
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;

private:
    alignas(16) unsigned char storage_[64];
};

class LockGuard {
public:
    explicit LockGuard(RecursiveLock& lock) : lock_(lock) { lock_.lock(); }
    ~LockGuard() { lock_.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    RecursiveLock& lock_;
};

}  // namespace telvo::platform
