// The Win32 USB layer: WinUSB bound at load time, and the interface, pipe
// and control operations over it, with the overlapped status read.
//
// WinUSB is never linked: its entry points are looked up by name while the
// library itself loads, and a missing one turns the operation that needs it
// into a plain failure, so nothing here calls through a null pointer.
#include "platform/win32/usb_win32.h"

#include <cstring>
#include <new>
#include <type_traits>

namespace telvo::platform {

UsbApi usbApi{};

namespace {

// The {name, field} table: each entry point by its exported name, stored
// into its typed field.
template <auto Field>
void store(UsbApi& api, FARPROC symbol) {
    using Fn = std::remove_reference_t<decltype(api.*Field)>;
    api.*Field = reinterpret_cast<Fn>(reinterpret_cast<void*>(symbol));
}

struct EntryPoint {
    const char* name;
    void (*store)(UsbApi& api, FARPROC symbol);
};

constexpr EntryPoint kEntryPoints[] = {
    {"WinUsb_Initialize", &store<&UsbApi::initialize>},
    {"WinUsb_Free", &store<&UsbApi::free>},
    {"WinUsb_WritePipe", &store<&UsbApi::writePipe>},
    {"WinUsb_ReadPipe", &store<&UsbApi::readPipe>},
    {"WinUsb_GetPipePolicy", &store<&UsbApi::getPipePolicy>},
    {"WinUsb_ControlTransfer", &store<&UsbApi::controlTransfer>},
};

// Why an entry point cannot be called: WinUSB itself or only the entry is missing.
Status missingEntryStatus() {
    return statusFromError(usbApi.module == nullptr ? kErrorModNotFound : kErrorProcNotFound);
}

}  // namespace

Status lastErrorStatus() {
    const DWORD error = GetLastError();
    return statusFromError(error != 0 ? static_cast<uint32_t>(error) : kErrorGenFailure);
}

OverlappedRecord* recordOf(Overlapped* overlapped) {
    return std::launder(reinterpret_cast<OverlappedRecord*>(overlapped->storage));
}

// ---- binding ------------------------------------------------------------------

bool bindUsbApi(const char* moduleName, UsbApi* api) {
    *api = UsbApi{};
    api->module = LoadLibraryA(moduleName);
    if (api->module == nullptr) return false;
    bool all = true;
    for (const EntryPoint& entry : kEntryPoints) {
        const FARPROC symbol = GetProcAddress(api->module, entry.name);
        if (symbol == nullptr) {
            all = false;
            continue;
        }
        entry.store(*api, symbol);
    }
    return all;
}

// WinUSB stays loaded until the process ends.
UsbBinding::UsbBinding() {
    (void)bindUsbApi("WinUsb.dll", &usbApi);
}

// ---- interface and pipes --------------------------------------------------------

Status usbInitialize(Handle file, Handle* iface) {
    if (usbApi.initialize == nullptr) return missingEntryStatus();
    WINUSB_INTERFACE_HANDLE handle = nullptr;
    if (!usbApi.initialize(file, &handle)) return lastErrorStatus();
    *iface = handle;
    return kOk;
}

void usbFree(Handle iface) {
    if (usbApi.free != nullptr) usbApi.free(iface);
}

Status usbWritePipe(Handle iface, uint8_t pipe, const void* data, uint32_t count,
                    uint32_t* transferred) {
    *transferred = 0;
    if (usbApi.writePipe == nullptr) return missingEntryStatus();
    ULONG written = 0;
    // WinUSB does not write through the buffer of an OUT transfer.
    const BOOL ok = usbApi.writePipe(iface, pipe, static_cast<PUCHAR>(const_cast<void*>(data)),
                                     count, &written, nullptr);
    const Status status = ok ? kOk : lastErrorStatus();
    *transferred = written;
    return status;
}

Status usbControlTransfer(Handle iface, const uint8_t setup[8], void* buffer, uint32_t count,
                          uint32_t* transferred) {
    *transferred = 0;
    if (usbApi.controlTransfer == nullptr) return missingEntryStatus();
    // The setup packet's wire layout is WINUSB_SETUP_PACKET's: byte-packed, little-endian.
    static_assert(sizeof(WINUSB_SETUP_PACKET) == 8);
    WINUSB_SETUP_PACKET packet;
    packet.RequestType = setup[0];
    packet.Request = setup[1];
    packet.Value = static_cast<USHORT>(setup[2] | (setup[3] << 8));
    packet.Index = static_cast<USHORT>(setup[4] | (setup[5] << 8));
    packet.Length = static_cast<USHORT>(setup[6] | (setup[7] << 8));
    ULONG done = 0;
    const BOOL ok =
        usbApi.controlTransfer(iface, packet, static_cast<PUCHAR>(buffer), count, &done, nullptr);
    const Status status = ok ? kOk : lastErrorStatus();
    *transferred = done;
    return status;
}

// ---- the overlapped status read -------------------------------------------------

void initOverlapped(Overlapped* overlapped, Handle event) {
    auto* record = new (overlapped->storage) OverlappedRecord();
    record->overlapped.hEvent = event;
}

Status usbReadPipe(Handle iface, uint8_t pipe, void* buffer, uint32_t count,
                   Overlapped* overlapped) {
    if (usbApi.readPipe == nullptr) return missingEntryStatus();
    OverlappedRecord* record = recordOf(overlapped);
    record->transferred = 0;
    // Usually FALSE with ERROR_IO_PENDING: started, and the event says when
    // it is done.
    if (usbApi.readPipe(iface, pipe, static_cast<PUCHAR>(buffer), count, &record->transferred,
                        &record->overlapped)) {
        return kOk;
    }
    return GetLastError() == ERROR_IO_PENDING ? kOk : lastErrorStatus();
}

namespace {
// How long cancelRead waits for the driver to let go of a cancelled read.
constexpr DWORD kCancelWaitMs = 1000;
}  // namespace

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

}  // namespace telvo::platform
