// Win32 device discovery and opening: SetupAPI lists the present interfaces
// of the controller's class, kernel32 opens the first one's path.
#include <cstddef>
#include <cstring>

#include "platform/win32/usb_win32.h"

#include <setupapi.h>

namespace telvo::platform {

static_assert(sizeof(Guid) == sizeof(GUID));
static_assert(sizeof(HANDLE) == sizeof(Handle));

Status listFirstInterface(const Guid& guid, char* path, uint32_t capacity, int32_t* deviceAbsent) {
    if (deviceAbsent != nullptr) *deviceAbsent = 0;
    // A failed listing leaves an empty path behind, never a stale one.
    if (capacity != 0) std::memset(path, 0, capacity);

    GUID classGuid;
    std::memcpy(&classGuid, &guid, sizeof classGuid);

    HDEVINFO set =
        SetupDiGetClassDevsA(&classGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return lastErrorStatus();

    // Only the first listed interface is ever used.
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &classGuid, 0, &interfaceData)) {
        const Status status = lastErrorStatus();
        if (status == statusFromError(kErrorNoMoreItems) && deviceAbsent != nullptr)
            *deviceAbsent = 1;
        SetupDiDestroyDeviceInfoList(set);
        return status;
    }

    // Size query: failing with "insufficient buffer" is the expected answer.
    DWORD required = 0;
    if (!SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &required, nullptr)) {
        const DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            SetupDiDestroyDeviceInfoList(set);
            return statusFromError(error != 0 ? static_cast<uint32_t>(error) : kErrorGenFailure);
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
        const Status status = lastErrorStatus();
        LocalFree(detail);
        SetupDiDestroyDeviceInfoList(set);
        return status;
    }

    // The path must fit with its NUL; one that does not is refused rather
    // than kept unterminated. The scan never leaves the record.
    const size_t pathRoom = recordSize - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    const size_t length = strnlen(detail->DevicePath, pathRoom);
    Status status = kOk;
    if (length == pathRoom || length >= capacity) {
        status = statusFromError(kErrorFilenameTooLong);
    } else {
        std::memcpy(path, detail->DevicePath, length);  // the rest stays NUL
    }
    LocalFree(detail);
    SetupDiDestroyDeviceInfoList(set);
    return status;
}

Status openDevice(const char* path, Handle* file) {
    *file = nullptr;
    HANDLE opened =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return lastErrorStatus();
    *file = opened;
    return kOk;
}

void closeDevice(Handle file) {
    if (file != nullptr) CloseHandle(file);
}

}  // namespace telvo::platform
