// The last complete status frame.
#include "frame/frame.h"

#include <cstring>

#include "common/bytes.h"

namespace telvo::frame {

namespace {

struct FrameStore {
    uint8_t current[kFrameSize];
};

FrameStore store{};

}  // namespace

bool complete(const uint8_t* frame) {
    return frame[field::kLength] == kFrameSize;
}

void keep(const uint8_t incoming[kFrameSize]) {
    std::memcpy(store.current, incoming, kFrameSize);
}

const uint8_t* current() {
    return store.current;
}

uint16_t bufferLevel() {
    return getU16(store.current + field::kBufferLevel);
}
void setBufferLevel(uint16_t level) {
    putU16(store.current + field::kBufferLevel, level);
}
uint8_t state() {
    return store.current[field::kState];
}
int32_t position(int axis) {
    return getI32(store.current + field::kPosition + 4 * axis);
}

void reset() {
    store = FrameStore{};
}

}  // namespace telvo::frame
