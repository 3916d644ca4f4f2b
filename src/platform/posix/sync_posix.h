// POSIX events and overlapped records, shared by the USB layer (which arms
// reads on them) and the synchronisation layer (which owns the pool).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace telvo::platform {

// A manual-reset event: a flag the backend's completion sets.
struct Event {
    std::atomic<int> signalled{0};
    std::atomic<int> inUse{0};
};

struct PosixOverlapped {
    uint32_t words[4];
    Event* event;
};
static_assert(sizeof(PosixOverlapped) <= sizeof(Overlapped));

// The completion the backend calls: signals the event passed as context.
void completeRead(void* context);

}  // namespace telvo::platform
