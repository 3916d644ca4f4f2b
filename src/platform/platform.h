// The platform layer: the one place that knows the operating system.
//
// Everything above it (link, config, status, motion, probe, api) calls these
// operations and never an OS header. The Win32 build implements them with
// WinUSB, SetupAPI and kernel32/user32 (platform/win32/*_win32.cpp); the
// POSIX build binds a device backend module (include/telvo/telvo_backend.h)
// in WinUSB's place and uses pthreads (platform/posix/*_posix.cpp).
//
// One result convention: every call that can fail returns a Status, 0 (kOk)
// for success or a negative HRESULT-form code, 0x80070000 | (error & 0xFFFF)
// of a Windows error number, and hands its results out through pointer
// parameters. Calls that cannot fail return void.
#pragma once

#include <cstddef>
#include <cstdint>

namespace telvo::platform {

using Handle = void*;
using Status = int32_t;

// HRESULT form of a platform error number (0 stays 0).
constexpr Status statusFromError(uint32_t error) {
    return error == 0 ? 0 : static_cast<Status>(0x80070000u | (error & 0xFFFFu));
}
constexpr Status kOk = 0;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorModNotFound = 126;
constexpr uint32_t kErrorProcNotFound = 127;
constexpr uint32_t kErrorFilenameTooLong = 206;
constexpr uint32_t kErrorWaitTimeout = 258;
constexpr uint32_t kErrorNoMoreItems = 259;
constexpr Status kStatusOutOfMemory = static_cast<Status>(0x8007000Eu);
constexpr Status kStatusInvalidHandle = statusFromError(kErrorInvalidHandle);
constexpr Status kStatusTimeout = statusFromError(kErrorWaitTimeout);

// A device-interface class GUID in the Windows layout.
struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

// ---- the USB binding, made once while telvo itself is loaded ---------------

// Constructing it loads the USB module (WinUsb.dll, or the device backend
// module the POSIX build selects) and resolves its entry points by name into
// the platform's typed entry table (platform/<os>/usb_<os>.h). An entry that
// was not bound is never called: the operation that needs it fails. The
// module stays loaded until the process ends.
class UsbBinding {
public:
    UsbBinding();
    ~UsbBinding() = default;
    UsbBinding(const UsbBinding&) = delete;
    UsbBinding& operator=(const UsbBinding&) = delete;
};

// Defined with the library's other static objects, in their creation order.
extern UsbBinding usbBinding;

// ---- device access --------------------------------------------------------

// Lists the present interfaces of guid and copies the path of the first one
// into path (capacity chars, NUL-padded). Sets *deviceAbsent (if given) to 1
// when none is listed. A path that does not fit with its NUL is refused.
Status listFirstInterface(const Guid& guid, char* path, uint32_t capacity, int32_t* deviceAbsent);

// Opens the device for overlapped read/write with sharing. *file is set on
// success and null otherwise.
Status openDevice(const char* path, Handle* file);
void closeDevice(Handle file);

// USB interface on an opened device; *iface is set on success only.
Status usbInitialize(Handle file, Handle* iface);
void usbFree(Handle iface);
// Synchronous pipe write; *transferred says how much the device took (also
// after a failure).
Status usbWritePipe(Handle iface, uint8_t pipe, const void* data, uint32_t count,
                    uint32_t* transferred);
// One synchronous control transfer.
Status usbControlTransfer(Handle iface, const uint8_t setup[8], void* buffer, uint32_t count,
                          uint32_t* transferred);

// The overlapped record of an asynchronous read: opaque, static storage.
struct Overlapped {
    alignas(8) unsigned char storage[40];
};
// Zeroes the record and binds its completion event.
void initOverlapped(Overlapped* overlapped, Handle event);
// Issues an asynchronous read that signals the record's event on completion.
// kOk when the read was started (or is pending); otherwise no completion
// follows.
Status usbReadPipe(Handle iface, uint8_t pipe, void* buffer, uint32_t count,
                   Overlapped* overlapped);
// Cancels a read in flight on the record and waits (bounded) until the
// platform no longer touches it. Best effort: with nothing in flight there
// is nothing to do. Used before the record is armed again or goes away.
void cancelRead(Handle file, Handle iface, Overlapped* overlapped);

// Manual-reset, unnamed, created non-signalled; *event is null on failure.
Status createEvent(Handle* event);
void resetEvent(Handle event);
// kStatusInvalidHandle for a null handle.
Status closeEvent(Handle event);
// Tests the event without waiting: kOk when signalled, kStatusTimeout when
// not, kStatusInvalidHandle for a null handle.
Status testEvent(Handle event);

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
