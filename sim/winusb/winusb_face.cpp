// The WinUSB face of the simulated controller: a WinUsb.dll for Windows
// (and Wine) that exports the WinUSB entry points telvo binds, over the same
// simulator core as the POSIX backend module, together with the tsim_*
// control API.
//
// Windows finds the device through SetupAPI and opens it with CreateFileA;
// neither passes through here. A test makes SetupAPI list a device (under
// Wine, from registry entries) whose opened file handle is then handed to
// WinUsb_Initialize, which attaches it to the simulator's first listed
// controller. From there every call maps onto the core: pipe writes, the
// firmware control request, and status reads that complete by setting the
// caller's OVERLAPPED and signalling its event, as WinUSB's do.
//
// Only what telvo calls is simulated: writes and control transfers are
// synchronous, reads are overlapped. A synchronous read, an overlapped
// write and WinUsb_GetPipePolicy fail with ERROR_NOT_SUPPORTED. A read in
// flight ends with WinUsb_Free (never with CancelIoEx, which sees only the
// plain file behind the device path).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winusb.h>

#include "sim_device.h"

namespace {

// Kernel status of an overlapped request that has not completed.
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr uint32_t kPathCapacity = 512;

// One WinUSB interface handle: the simulator's opened file and interface.
struct Attachment {
    bool inUse;
    telvo_backend_file file;
    telvo_backend_interface iface;
};
Attachment attachments[tsim::kMaxInterfaces];
tsim::SimMutex attachmentLock;

Attachment* attachmentOf(WINUSB_INTERFACE_HANDLE handle) {
    for (Attachment& a : attachments)
        if (handle == &a && a.inUse) return &a;
    return nullptr;
}

// The simulator's interface behind a WinUSB handle, read under the lock.
bool interfaceOf(WINUSB_INTERFACE_HANDLE handle, telvo_backend_interface* iface) {
    tsim::SimLock lock(attachmentLock);
    Attachment* a = attachmentOf(handle);
    if (a == nullptr) return false;
    *iface = a->iface;
    return true;
}

// One call into the simulator's USB face under its lock; `gone` when the
// module is being unloaded. The lock is taken per call, and always after
// attachmentLock when both are held.
template <typename Call>
int usbCall(Call call, int gone = ERROR_GEN_FAILURE) {
    tsim::Locked sim;
    if (!sim) return gone;
    return call(sim->usb);
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Completion of a status read: the request's outcome goes into the
// OVERLAPPED, then its event is signalled.
void readCompleted(void* context) {
    auto* overlapped = static_cast<OVERLAPPED*>(context);
    overlapped->Internal = kStatusSuccess;
    if (overlapped->hEvent != nullptr) SetEvent(overlapped->hEvent);
}

}  // namespace

extern "C" {

BOOL WINAPI WinUsb_Initialize(HANDLE deviceHandle, PWINUSB_INTERFACE_HANDLE interfaceHandle) {
    if (interfaceHandle == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (deviceHandle == nullptr || deviceHandle == INVALID_HANDLE_VALUE)
        return fail(ERROR_INVALID_HANDLE);
    if (tsim::instance() == nullptr) return fail(ERROR_GEN_FAILURE);

    char path[kPathCapacity];
    uint32_t required = 0;
    int error = usbCall([&](tsim::UsbFace& usb) {
        return usb.list(&tsim::kControllerGuid, 0, path, sizeof path, &required);
    });
    if (error != TELVO_BACKEND_OK) return fail(static_cast<DWORD>(error));

    tsim::SimLock lock(attachmentLock);
    for (Attachment& a : attachments) {
        if (a.inUse) continue;
        telvo_backend_file file = nullptr;
        error = usbCall([&](tsim::UsbFace& usb) { return usb.open(path, &file); });
        if (error != TELVO_BACKEND_OK) return fail(static_cast<DWORD>(error));
        telvo_backend_interface iface = nullptr;
        error = usbCall([&](tsim::UsbFace& usb) { return usb.initialize(file, &iface); });
        if (error != TELVO_BACKEND_OK) {
            usbCall([&](tsim::UsbFace& usb) {
                usb.close(file);
                return 0;
            });
            return fail(static_cast<DWORD>(error));
        }
        a = Attachment{true, file, iface};
        *interfaceHandle = &a;
        return TRUE;
    }
    return fail(ERROR_TOO_MANY_OPEN_FILES);
}

BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE interfaceHandle) {
    tsim::SimLock lock(attachmentLock);
    Attachment* a = attachmentOf(interfaceHandle);
    if (a == nullptr) return fail(ERROR_INVALID_HANDLE);
    usbCall([&](tsim::UsbFace& usb) {
        usb.free(a->iface);  // drops the read in flight: no completion follows
        usb.close(a->file);
        return 0;
    });
    *a = Attachment{};
    return TRUE;
}

BOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId, PUCHAR buffer,
                             ULONG bufferLength, PULONG lengthTransferred,
                             LPOVERLAPPED overlapped) {
    if (lengthTransferred != nullptr) *lengthTransferred = 0;
    if (overlapped != nullptr) return fail(ERROR_NOT_SUPPORTED);
    tsim::Device* device = tsim::instance();
    if (device == nullptr) return fail(ERROR_GEN_FAILURE);
    device->waitWhileWritesHeld();
    telvo_backend_interface iface;
    if (!interfaceOf(interfaceHandle, &iface)) return fail(ERROR_INVALID_HANDLE);
    uint32_t written = 0;
    int error = usbCall([&](tsim::UsbFace& usb) {
        return usb.writePipe(iface, pipeId, buffer, bufferLength, &written);
    });
    if (lengthTransferred != nullptr) *lengthTransferred = written;
    return error == TELVO_BACKEND_OK ? TRUE : fail(static_cast<DWORD>(error));
}

BOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId, PUCHAR buffer,
                            ULONG bufferLength, PULONG lengthTransferred, LPOVERLAPPED overlapped) {
    if (overlapped == nullptr) return fail(ERROR_NOT_SUPPORTED);
    if (tsim::instance() == nullptr) return fail(ERROR_GEN_FAILURE);
    telvo_backend_interface iface;
    if (!interfaceOf(interfaceHandle, &iface)) return fail(ERROR_INVALID_HANDLE);
    // Starting an overlapped request resets its event, as the I/O manager does.
    overlapped->Internal = kStatusPending;
    overlapped->InternalHigh = bufferLength;
    if (overlapped->hEvent != nullptr) ResetEvent(overlapped->hEvent);
    int error = usbCall([&](tsim::UsbFace& usb) {
        return usb.readPipeAsync(iface, pipeId, buffer, bufferLength, &readCompleted, overlapped);
    });
    if (error != TELVO_BACKEND_OK) {
        overlapped->Internal = kStatusSuccess;
        overlapped->InternalHigh = 0;
        return fail(static_cast<DWORD>(error));
    }
    // A frame that was already due completes the read inside the call.
    if (overlapped->Internal == kStatusSuccess) {
        if (lengthTransferred != nullptr) *lengthTransferred = bufferLength;
        return TRUE;
    }
    return fail(ERROR_IO_PENDING);
}

BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE interfaceHandle,
                                   WINUSB_SETUP_PACKET setupPacket, PUCHAR buffer,
                                   ULONG bufferLength, PULONG lengthTransferred,
                                   LPOVERLAPPED overlapped) {
    if (lengthTransferred != nullptr) *lengthTransferred = 0;
    if (overlapped != nullptr) return fail(ERROR_NOT_SUPPORTED);
    if (tsim::instance() == nullptr) return fail(ERROR_GEN_FAILURE);
    telvo_backend_interface iface;
    if (!interfaceOf(interfaceHandle, &iface)) return fail(ERROR_INVALID_HANDLE);
    // The packet's USB wire layout, little-endian.
    const uint8_t setup[8] = {
        setupPacket.RequestType,
        setupPacket.Request,
        static_cast<uint8_t>(setupPacket.Value & 0xFF),
        static_cast<uint8_t>(setupPacket.Value >> 8),
        static_cast<uint8_t>(setupPacket.Index & 0xFF),
        static_cast<uint8_t>(setupPacket.Index >> 8),
        static_cast<uint8_t>(setupPacket.Length & 0xFF),
        static_cast<uint8_t>(setupPacket.Length >> 8),
    };
    uint32_t done = 0;
    int error = usbCall([&](tsim::UsbFace& usb) {
        return usb.controlTransfer(iface, setup, buffer, bufferLength, &done);
    });
    if (lengthTransferred != nullptr) *lengthTransferred = done;
    return error == TELVO_BACKEND_OK ? TRUE : fail(static_cast<DWORD>(error));
}

BOOL WINAPI WinUsb_GetPipePolicy(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId,
                                 ULONG policyType, PULONG valueLength, PVOID value) {
    (void)interfaceHandle;
    (void)pipeId;
    (void)policyType;
    (void)valueLength;
    (void)value;
    return fail(ERROR_NOT_SUPPORTED);
}

}  // extern "C"
