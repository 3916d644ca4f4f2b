// POSIX events, locks, sleeping and the failure message: pthreads for the
// locks and a small static pool of events, so nothing is allocated.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include "platform/platform.h"
#include "platform/posix/sync_posix.h"
#include "platform/posix/usb_posix.h"

namespace telvo::platform {

namespace {

// The link uses three events at a time; a spare pair covers a close racing an
// open. Static: nothing is allocated after load.
constexpr int kEventPool = 8;
Event eventPool[kEventPool];

}  // namespace

void completeRead(void* context) {
    static_cast<Event*>(context)->signalled.store(1, std::memory_order_release);
}

Status createEvent(Handle* event) {
    for (auto& candidate : eventPool) {
        int expected = 0;
        if (candidate.inUse.compare_exchange_strong(expected, 1)) {
            candidate.signalled.store(0);
            *event = &candidate;
            return kOk;
        }
    }
    *event = nullptr;
    return kStatusOutOfMemory;
}

void resetEvent(Handle event) {
    if (event != nullptr) static_cast<Event*>(event)->signalled.store(0, std::memory_order_release);
}

Status closeEvent(Handle event) {
    if (event == nullptr) return kStatusInvalidHandle;
    auto* e = static_cast<Event*>(event);
    e->signalled.store(0);
    e->inUse.store(0);
    return kOk;
}

Status testEvent(Handle event) {
    if (event == nullptr) return kStatusInvalidHandle;
    return static_cast<Event*>(event)->signalled.load(std::memory_order_acquire) != 0
               ? kOk
               : kStatusTimeout;
}

// ---- user, time, locks -------------------------------------------------------

void showMessage(const char* text, const char* caption) {
    if (usbApi.showMessage != nullptr) {
        usbApi.showMessage(text, caption);
    } else {
        (void)std::fprintf(stderr, "%s: %s\n", caption, text);
    }
}

void sleepMs(uint32_t milliseconds) {
    timespec request{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&request, &request) != 0 && errno == EINTR) {
    }
}

static_assert(sizeof(pthread_mutex_t) <= 64);

namespace {
pthread_mutex_t* mutexIn(unsigned char* storage) {
    return std::launder(reinterpret_cast<pthread_mutex_t*>(storage));
}
}  // namespace

RecursiveLock::RecursiveLock() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (storage_) pthread_mutex_t, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

RecursiveLock::~RecursiveLock() {
    pthread_mutex_destroy(mutexIn(storage_));
}
void RecursiveLock::lock() {
    pthread_mutex_lock(mutexIn(storage_));
}
void RecursiveLock::unlock() {
    pthread_mutex_unlock(mutexIn(storage_));
}

}  // namespace telvo::platform
