// Win32 events, locks, sleeping and the failure message: kernel32 events and
// critical sections, and the user32 message box.
#include <new>

#include "platform/win32/usb_win32.h"

namespace telvo::platform {

Status createEvent(Handle* event) {
    *event = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // manual reset, not signalled
    return *event != nullptr ? kOk : lastErrorStatus();
}

void resetEvent(Handle event) {
    if (event != nullptr) ResetEvent(event);
}

Status closeEvent(Handle event) {
    if (event == nullptr) return kStatusInvalidHandle;
    return CloseHandle(event) ? kOk : lastErrorStatus();
}

Status testEvent(Handle event) {
    if (event == nullptr) return kStatusInvalidHandle;
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0 ? kOk : kStatusTimeout;
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
