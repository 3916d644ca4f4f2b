// The simulated controller as Windows lists it in the test prefix
// (tests/windows/sim-device.reg, scripts/windows/wine-prefix.sh): its device
// path, and the switch that makes SetupAPI list it or not.
#pragma once

#include <windows.h>

namespace wintest {

// What SetupAPI returns as the DevicePath of the simulated controller.
constexpr const char kDevicePath[] =
    "\\\\?\\usb#vid_1234&pid_5678#sim0001#{8f974853-102c-47ca-b6ec-613e800eafaa}";

// Lists the controller's interface as present (1) or not (0): SetupAPI lists
// a device interface with DIGCF_PRESENT only while it is linked.
inline bool setDeviceLinked(DWORD linked) {
    static constexpr const char kControlKey[] =
        "System\\CurrentControlSet\\Control\\DeviceClasses\\{8F974853-102C-47CA-B6EC-613E800EAFAA}\\"
        "##?#USB#VID_1234&PID_5678#SIM0001#{8F974853-102C-47CA-B6EC-613E800EAFAA}\\#\\Control";
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kControlKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return false;
    LONG result = RegSetValueExA(key, "Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked),
                                 sizeof linked);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

}  // namespace wintest
