// The Win32 platform layer on its own, against the real system calls (under
// Wine): the WinUSB binding and its order, device discovery through SetupAPI
// (absent, present, a path that does not fit), opening the device path,
// events and overlapped records, a read cancelled in flight, the WinUSB
// operations against the simulated controller (including entry points that
// are missing), the recursive lock, and the message box.
//
// Runs in the test prefix (scripts/windows/wine-prefix.sh) beside the
// simulator's WinUsb.dll; it links and re-links the simulated controller's
// device interface itself through the registry.
#include <windows.h>
#include <winternl.h>

#include <cstring>

#include "check.h"
#include "message_watch.h"
#include "sim_device.h"
#include "platform/platform.h"
#include "platform/win32/usb_win32.h"
#include "telvo_sim.h"

namespace telvo::platform {
UsbBinding usbBinding;
}

namespace {

namespace pf = telvo::platform;

constexpr pf::Guid kControllerGuid = {0x8F974853u, 0x102Cu, 0x47CAu,
                                      {0xB6, 0xEC, 0x61, 0x3E, 0x80, 0x0E, 0xAF, 0xAA}};
using wintest::kDevicePath;

bool setLinked(DWORD linked) { return wintest::setDeviceLinked(linked); }

bool allZero(const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

// The handle was opened for overlapped I/O, as WinUSB requires: its mode has
// neither synchronous-I/O flag (FILE_SYNCHRONOUS_IO_ALERT / _NONALERT).
bool openedOverlapped(HANDLE file) {
    using Query = LONG(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
    constexpr ULONG kFileModeInformation = 16;
    constexpr ULONG kSynchronousIo = 0x10 | 0x20;
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationFile")));
    IO_STATUS_BLOCK io{};
    ULONG mode = kSynchronousIo;
    return query != nullptr && query(file, &io, &mode, sizeof mode, kFileModeInformation) == 0 &&
           (mode & kSynchronousIo) == 0;
}

// Each field holds the entry point of its name.
bool boundTo(const void* field, const char* name) {
    void* expected = reinterpret_cast<void*>(GetProcAddress(pf::usbApi.module, name));
    return expected != nullptr && field == expected;
}

void binding() {
    wintest::group = "binding";
    CHECK(pf::usbApi.module != nullptr);
    CHECK(pf::usbApi.module == GetModuleHandleA("WinUsb.dll"));
    CHECK(boundTo(reinterpret_cast<const void*>(pf::usbApi.initialize), "WinUsb_Initialize"));
    CHECK(boundTo(reinterpret_cast<const void*>(pf::usbApi.free), "WinUsb_Free"));
    CHECK(boundTo(reinterpret_cast<const void*>(pf::usbApi.writePipe), "WinUsb_WritePipe"));
    CHECK(boundTo(reinterpret_cast<const void*>(pf::usbApi.readPipe), "WinUsb_ReadPipe"));
    CHECK(boundTo(reinterpret_cast<const void*>(pf::usbApi.getPipePolicy), "WinUsb_GetPipePolicy"));
    CHECK(boundTo(reinterpret_cast<const void*>(pf::usbApi.controlTransfer), "WinUsb_ControlTransfer"));

    // A module that cannot be found binds nothing.
    pf::UsbApi missing;
    CHECK(!pf::bindUsbApi("telvo-no-such-library.dll", &missing));
    CHECK(missing.module == nullptr);
    CHECK(missing.initialize == nullptr && missing.controlTransfer == nullptr);
    // A module that is not WinUSB binds none of the entries, and says so.
    pf::UsbApi foreign;
    CHECK(!pf::bindUsbApi("kernel32.dll", &foreign));
    CHECK(foreign.module != nullptr);
    CHECK(foreign.initialize == nullptr && foreign.readPipe == nullptr);
}

void eventsAndOverlapped() {
    wintest::group = "events";
    pf::Handle event = nullptr;
    CHECK_EQ(pf::createEvent(&event), pf::kOk);
    CHECK(event != nullptr);
    CHECK_EQ(pf::testEvent(event), pf::kStatusTimeout);
    SetEvent(event);
    CHECK_EQ(pf::testEvent(event), pf::kOk);
    CHECK_EQ(pf::testEvent(event), pf::kOk);  // manual reset: testing does not consume it
    pf::resetEvent(event);
    CHECK_EQ(pf::testEvent(event), pf::kStatusTimeout);
    CHECK_EQ(pf::testEvent(nullptr), pf::kStatusInvalidHandle);
    CHECK_EQ(pf::closeEvent(nullptr), pf::kStatusInvalidHandle);

    wintest::group = "overlapped";
    pf::Overlapped record;
    std::memset(record.storage, 0xFF, sizeof record.storage);
    pf::initOverlapped(&record, event);
    OVERLAPPED view;
    std::memcpy(&view, record.storage, sizeof view);
    CHECK(view.Internal == 0 && view.InternalHigh == 0);
    CHECK(view.Offset == 0 && view.OffsetHigh == 0);
    CHECK(view.hEvent == event);
    CHECK(allZero(record.storage, offsetof(OVERLAPPED, hEvent)));

    CHECK_EQ(pf::closeEvent(event), pf::kOk);
}

// A read in flight on a pipe that never delivers: cancelRead ends it, and
// afterwards the platform no longer holds the record (the read reports
// "aborted" and the event is signalled).
void cancelInFlight() {
    wintest::group = "cancel";
    const char* name = "\\\\.\\pipe\\telvo-platform-test";
    HANDLE server = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE, 1,
                                     64, 64, 0, nullptr);
    CHECK(server != INVALID_HANDLE_VALUE);
    HANDLE client = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    CHECK(client != INVALID_HANDLE_VALUE);

    pf::Handle event = nullptr;
    CHECK_EQ(pf::createEvent(&event), pf::kOk);
    pf::Overlapped record;
    pf::initOverlapped(&record, event);
    auto* overlapped = reinterpret_cast<OVERLAPPED*>(record.storage);
    char buffer[16];
    BOOL started = ReadFile(client, buffer, sizeof buffer, nullptr, overlapped);
    CHECK(!started && GetLastError() == ERROR_IO_PENDING);
    CHECK_EQ(pf::testEvent(event), pf::kStatusTimeout);

    pf::cancelRead(client, nullptr, &record);
    CHECK_EQ(pf::testEvent(event), pf::kOk);
    DWORD transferred = 0;
    CHECK(!GetOverlappedResult(client, overlapped, &transferred, FALSE));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    // Nothing in flight: nothing to cancel, and the call returns.
    pf::resetEvent(event);
    pf::cancelRead(client, nullptr, &record);
    CHECK_EQ(pf::testEvent(event), pf::kStatusTimeout);
    pf::cancelRead(nullptr, nullptr, &record);

    pf::closeEvent(event);
    CloseHandle(client);
    CloseHandle(server);
}

void discovery() {
    wintest::group = "discovery";
    char path[260];
    int32_t absent = -1;

    CHECK(setLinked(0));
    std::memset(path, 'x', sizeof path);
    CHECK_EQ(pf::listFirstInterface(kControllerGuid, path, sizeof path, &absent),
             pf::statusFromError(pf::kErrorNoMoreItems));
    CHECK_EQ(absent, 1);
    CHECK(allZero(path, sizeof path));
    // Without the out-flag the outcome is the same status.
    CHECK_EQ(pf::listFirstInterface(kControllerGuid, path, sizeof path, nullptr),
             static_cast<int32_t>(0x80070103u));

    CHECK(setLinked(1));
    std::memset(path, 'x', sizeof path);
    CHECK_EQ(pf::listFirstInterface(kControllerGuid, path, sizeof path, &absent), 0);
    CHECK_EQ(absent, 0);
    CHECK_TEXT(path, kDevicePath);
    const size_t length = std::strlen(kDevicePath);
    CHECK(allZero(path + length, sizeof path - length));  // padded to the end
    CHECK_EQ(pf::listFirstInterface(kControllerGuid, path, sizeof path, nullptr), 0);

    // A path that does not fit with its NUL is refused, never kept unterminated.
    const auto tight = static_cast<uint32_t>(length);
    std::memset(path, 'x', sizeof path);
    CHECK_EQ(pf::listFirstInterface(kControllerGuid, path, tight, &absent),
             pf::statusFromError(pf::kErrorFilenameTooLong));
    CHECK_EQ(absent, 0);
    CHECK(allZero(path, tight));
    CHECK(path[tight] == 'x');  // nothing written past the capacity
    CHECK_EQ(pf::listFirstInterface(kControllerGuid, path, tight + 1, &absent), 0);
    CHECK_TEXT(path, kDevicePath);

    // Another class lists nothing.
    pf::Guid other = kControllerGuid;
    other.data1 ^= 1;
    CHECK_EQ(pf::listFirstInterface(other, path, sizeof path, &absent),
             pf::statusFromError(pf::kErrorNoMoreItems));
    CHECK_EQ(absent, 1);

    wintest::group = "open";
    pf::Handle file = nullptr;
    CHECK_EQ(pf::openDevice(kDevicePath, &file), pf::kOk);
    CHECK(file != nullptr);
    CHECK(openedOverlapped(file));
    pf::closeDevice(file);
    const pf::Status status = pf::openDevice("\\\\?\\usb#vid_1234&pid_5678#nosuch#{0}", &file);
    CHECK(file == nullptr);
    CHECK((static_cast<uint32_t>(status) & 0xFFFF0000u) == 0x80070000u);
    CHECK((status & 0xFFFF) == ERROR_FILE_NOT_FOUND || (status & 0xFFFF) == ERROR_PATH_NOT_FOUND);
    CHECK(setLinked(0));
}

void usbWithSimulator() {
    wintest::group = "usb";
    tsim_reset();
    CHECK(setLinked(1));
    pf::Handle file = nullptr;
    CHECK_EQ(pf::openDevice(kDevicePath, &file), pf::kOk);
    CHECK(file != nullptr);
    pf::Handle iface = nullptr;
    CHECK_EQ(pf::usbInitialize(file, &iface), pf::kOk);
    CHECK(iface != nullptr);
    CHECK_EQ(tsim_device_open(), 1);

    // The firmware request: class request, device to host, 5 bytes.
    const uint8_t setup[8] = {0xA0, 0xE0, 0, 0, 0, 0, 5, 0};
    char version[6] = "00.00";
    uint32_t transferred = 0;
    CHECK_EQ(pf::usbControlTransfer(iface, setup, version, 5, &transferred), pf::kOk);
    CHECK_EQ(transferred, 5u);
    CHECK_TEXT(version, "01.23");
    CHECK_EQ(tsim_control_count(), 1);

    const uint8_t purge[4] = {0x0D, 0xF2, 0x00, 0x00};
    CHECK_EQ(pf::usbWritePipe(iface, 0x01, purge, sizeof purge, &transferred), pf::kOk);
    CHECK_EQ(transferred, 4u);
    uint8_t pipe = 0;
    uint8_t written[8] = {};
    CHECK_EQ(tsim_write_get(0, &pipe, written, sizeof written, nullptr, nullptr), 4);
    CHECK_EQ(pipe, 0x01);
    CHECK(std::memcmp(written, purge, sizeof purge) == 0);
    tsim_inject(TSIM_FAULT_COMMAND_WRITE_SHORT, 0, 0);
    CHECK_EQ(pf::usbWritePipe(iface, 0x01, purge, sizeof purge, &transferred), pf::kOk);
    CHECK_EQ(transferred, 3u);
    tsim_inject(TSIM_FAULT_COMMAND_WRITE_FAILS, 0, 0);
    const pf::Status failed = pf::usbWritePipe(iface, 0x01, purge, sizeof purge, &transferred);
    CHECK(failed < 0);  // a failure is a negative status, never success
    CHECK_EQ(transferred, 0u);

    // Status reads: completion is seen only through the record's event.
    pf::Handle event = nullptr;
    CHECK_EQ(pf::createEvent(&event), pf::kOk);
    pf::Overlapped record;
    pf::initOverlapped(&record, event);
    uint8_t frame[60];
    std::memset(frame, 0, sizeof frame);
    // A fresh pipe has a frame ready.
    CHECK_EQ(pf::usbReadPipe(iface, 0x81, frame, sizeof frame, &record), pf::kOk);
    CHECK_EQ(pf::testEvent(event), pf::kOk);
    CHECK_EQ(frame[0], 60);

    tsim_set_scripted(1);
    pf::resetEvent(event);
    std::memset(frame, 0, sizeof frame);
    // Pending counts as started.
    CHECK_EQ(pf::usbReadPipe(iface, 0x81, frame, sizeof frame, &record), pf::kOk);
    CHECK_EQ(pf::testEvent(event), pf::kStatusTimeout);
    CHECK_EQ(tsim_read_pending(), 1);
    tsim_frame pushed;
    std::memset(&pushed, 0, sizeof pushed);
    pushed.length = 60;
    pushed.position[0] = 123456;
    uint8_t raw[60];
    tsim_frame_encode(&pushed, raw);
    tsim_push_frame(raw);
    CHECK_EQ(pf::testEvent(event), pf::kOk);
    CHECK(std::memcmp(frame, raw, sizeof raw) == 0);

    // A read left in flight ends with the interface.
    pf::resetEvent(event);
    pf::usbReadPipe(iface, 0x81, frame, sizeof frame, &record);
    CHECK_EQ(tsim_read_pending(), 1);
    pf::usbFree(iface);
    CHECK_EQ(tsim_device_open(), 0);
    CHECK_EQ(tsim_read_pending(), 0);
    tsim_push_frame(raw);
    CHECK_EQ(pf::testEvent(event), pf::kStatusTimeout);

    // Entry points that were not found are never called: the operations fail.
    wintest::group = "missing entry points";
    CHECK_EQ(pf::usbInitialize(file, &iface), pf::kOk);
    const pf::UsbApi saved = pf::usbApi;
    pf::usbApi = pf::UsbApi{};
    pf::usbApi.module = saved.module;
    const int reads = tsim_read_count();
    const int writes = tsim_write_count();
    const pf::Status procNotFound = pf::statusFromError(ERROR_PROC_NOT_FOUND);
    pf::Handle unused = nullptr;
    CHECK_EQ(pf::usbInitialize(file, &unused), procNotFound);
    CHECK(unused == nullptr);
    transferred = 99;
    CHECK_EQ(pf::usbWritePipe(iface, 0x01, purge, sizeof purge, &transferred), procNotFound);
    CHECK_EQ(transferred, 0u);
    CHECK_EQ(pf::usbControlTransfer(iface, setup, version, 5, &transferred), procNotFound);
    pf::resetEvent(event);
    CHECK_EQ(pf::usbReadPipe(iface, 0x81, frame, sizeof frame, &record), procNotFound);
    pf::usbFree(iface);
    CHECK_EQ(tsim_read_count(), reads);
    CHECK_EQ(tsim_write_count(), writes);
    CHECK_EQ(tsim_device_open(), 1);  // the free was not made either
    // Without the module itself the status says so.
    pf::usbApi.module = nullptr;
    CHECK_EQ(pf::usbInitialize(file, &unused), pf::statusFromError(ERROR_MOD_NOT_FOUND));
    pf::usbApi = saved;
    pf::usbFree(iface);
    CHECK_EQ(tsim_device_open(), 0);

    pf::closeEvent(event);
    pf::closeDevice(file);
    CHECK(setLinked(0));
    tsim_reset();
}

struct LockProbe {
    pf::RecursiveLock* lock;
    volatile LONG entered;
};

DWORD WINAPI takeLock(LPVOID context) {
    auto* probe = static_cast<LockProbe*>(context);
    probe->lock->lock();
    InterlockedExchange(&probe->entered, 1);
    probe->lock->unlock();
    return 0;
}

void recursiveLock() {
    wintest::group = "lock";
    pf::RecursiveLock lock;
    lock.lock();
    lock.lock();  // the owner takes it again
    LockProbe probe{&lock, 0};
    HANDLE thread = CreateThread(nullptr, 0, &takeLock, &probe, 0, nullptr);
    CHECK(thread != nullptr);
    // The other thread cannot enter while this one holds the lock, at any depth.
    CHECK_EQ(WaitForSingleObject(thread, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    lock.unlock();
    CHECK_EQ(WaitForSingleObject(thread, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    CHECK_EQ(probe.entered, 0);
    lock.unlock();
    CHECK_EQ(WaitForSingleObject(thread, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    CHECK_EQ(probe.entered, 1);
    CloseHandle(thread);
    {
        pf::LockGuard guard(lock);
        pf::LockGuard again(lock);
    }
}

void messageBox() {
    wintest::group = "message box";
    wintest::MessageWatch watch;
    CHECK(watch.hooked());
    pf::showMessage("Error writing to device!", "telvo platform test");
    // It returned only after the box was shown and dismissed.
    CHECK_EQ(watch.count(), 1);
    CHECK_TEXT(watch.last().caption.c_str(), "telvo platform test");
    CHECK_TEXT(watch.last().text.c_str(), "Error writing to device!");
    CHECK_EQ(watch.last().buttons, 1);
    CHECK_TEXT(watch.last().button.c_str(), "OK");
    CHECK(watch.last().exclamation);
}

}  // namespace

int main() {
    binding();
    eventsAndOverlapped();
    cancelInFlight();
    discovery();
    usbWithSimulator();
    recursiveLock();
    messageBox();
    pf::sleepMs(1);
    return wintest::finish();
}
