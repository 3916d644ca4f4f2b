// The Win32 USB binding: WinUSB's entry points, one typed field each, looked
// up by name in WinUsb.dll while the library loads (usb_win32.cpp). Internal
// to the platform layer; the Windows platform test reads and replaces it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winusb.h>

#include "platform/platform.h"

namespace telvo::platform {

// Each field is bound on its own: one WinUSB lacks stays null, and only the
// operations that need it fail (ERROR_MOD_NOT_FOUND without the module,
// ERROR_PROC_NOT_FOUND without the entry). All are WINAPI (stdcall on 32-bit
// Windows) and report failure as FALSE with the thread's last error.
struct UsbApi {
    HMODULE module;  // WinUsb.dll, or null

    // USB access on a device opened with FILE_FLAG_OVERLAPPED.
    BOOL(WINAPI* initialize)(HANDLE file, WINUSB_INTERFACE_HANDLE* iface);
    // Releases the interface (a read in flight ends with the file's I/O).
    BOOL(WINAPI* free)(WINUSB_INTERFACE_HANDLE iface);
    // Pipe write; synchronous when overlapped is null.
    BOOL(WINAPI* writePipe)
    (WINUSB_INTERFACE_HANDLE iface, UCHAR pipe, PUCHAR buffer, ULONG count, PULONG transferred,
     LPOVERLAPPED overlapped);
    // Pipe read; with an OVERLAPPED usually FALSE with ERROR_IO_PENDING, and
    // the OVERLAPPED's event is signalled when it completes.
    BOOL(WINAPI* readPipe)
    (WINUSB_INTERFACE_HANDLE iface, UCHAR pipe, PUCHAR buffer, ULONG count, PULONG transferred,
     LPOVERLAPPED overlapped);
    // Looked up with the others (part of the binding's contract), not called.
    BOOL(WINAPI* getPipePolicy)
    (WINUSB_INTERFACE_HANDLE iface, UCHAR pipe, ULONG policy, PULONG length, PVOID value);
    // Control transfer; synchronous when overlapped is null.
    BOOL(WINAPI* controlTransfer)
    (WINUSB_INTERFACE_HANDLE iface, WINUSB_SETUP_PACKET setup, PUCHAR buffer, ULONG count,
     PULONG transferred, LPOVERLAPPED overlapped);
};

extern UsbApi usbApi;

// Loads moduleName and looks up every entry point into *api (fields of
// missing entries null). True when the module and all entries were found.
bool bindUsbApi(const char* moduleName, UsbApi* api);

// The status code of the calling thread's last error; a failure that left
// no error number counts as ERROR_GEN_FAILURE, never as success.
Status lastErrorStatus();

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

OverlappedRecord* recordOf(Overlapped* overlapped);

}  // namespace telvo::platform
