// The simulated controller's behaviour: listing and opening, the firmware
// request, command packets, motion blocks, the machine that executes them one
// per millisecond, homing, jogging, probing, and the status frames.
//
// Positions are exact: each motion axis holds an int64 count of millionths of
// a step, and the step counter it reports is the floor of that count. A
// machine at rest sits in the middle of its step (counter + 500,000
// millionths), which is where a host that realigns its stream with the
// counters (stream position = counter + 0.5) believes it to be. So whenever
// the machine comes to rest by itself or by a command other than running out
// of segments (homing, end of a jog, stop, a purge that drops segments, end of
// a probe deceleration, tsim_set_position), it settles on the middle of its
// current step; running out of segments keeps the exact position, so a host
// that goes on streaming without realigning stays continuous.
#include "sim_machine.h"

#include <algorithm>
#include <cstring>

namespace tsim {

namespace {

// Jog velocities carry 12 fractional bits of steps per second.
constexpr int64_t kJogVelocityOne = 4096;
constexpr int64_t kMsPerSecond = 1000;

int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

int64_t floorMod(int64_t a, int64_t b) {
    return a - floorDiv(a, b) * b;
}

}  // namespace

void Machine::reset() {
    haveAxisConfig_ = false;
    haveIoConfig_ = false;
    std::memset(axisConfig_, 0, sizeof axisConfig_);
    std::memset(ioConfig_, 0, sizeof ioConfig_);
    for (auto& p : lastPayload_) p.clear();
    commandCount_.fill(0);
    executedLog_.clear();
    executedCount_ = 0;
    blockCount_ = 0;
    events_.clear();

    clock_ = 0;
    for (int a = 0; a < kMotionAxes; ++a) {
        exact_[a] = kMidStep;
        jogging_[a] = false;
        jogVelocity_[a] = 0;
        jogRemainder_[a] = 0;
        homingLeft_[a] = 0;
        decelDirection_[a] = 0;
    }
    seventh_ = 0;
    homingMs_ = kDefaultHomingMs;
    ring_.assign(kMaxBufferSize, Segment{});
    ringHead_ = 0;
    ringCount_ = 0;
    bufferSize_ = kDefaultBufferSize;
    halted_ = false;
    lastSlot_ = kNoSegment;
    spindlePeriod_ = 0;

    probeArmed_ = false;
    decelAfterPurge_ = false;
    decelLeft_ = 0;
    decelMs_ = kDefaultProbeDecelMs;
    probeAxis_ = -1;
    probeThreshold_ = 0;
    probeDirection_ = 1;
}

// ---------------------------------------------------------------------------
// Command packets

void Machine::handleCommand(const uint8_t* bytes, uint32_t count) {
    if (count < kPacketHeaderBytes) {
        log_.add("command packet of %u bytes is shorter than its header", count);
        return;
    }
    uint8_t code = bytes[0];
    if (bytes[1] != static_cast<uint8_t>(~code)) {
        log_.add("code %u: complement byte 0x%02X, expected 0x%02X", code, bytes[1],
                 static_cast<uint8_t>(~code));
        return;
    }
    uint32_t length = getU16(bytes + 2);
    if (length != count - kPacketHeaderBytes) {
        log_.add("code %u: length field %u, but %u payload bytes were written", code, length,
                 count - kPacketHeaderBytes);
        return;
    }
    int expected = payloadSize(code);
    if (expected < 0) {
        log_.add("unknown command code %u", code);
        return;
    }
    if (length != static_cast<uint32_t>(expected)) {
        log_.add("code %u: payload of %u bytes, expected %d", code, length, expected);
        return;
    }
    const uint8_t* payload = bytes + kPacketHeaderBytes;

    // Field checks of what the library fixes; a packet that fails one is
    // refused whole, like a malformed one.
    switch (code) {
        case kCodeJogOn:
            if (payload[1] != 1 && payload[1] != 0xFF) {
                log_.add("jog: direction byte %u is neither 1 nor 255", payload[1]);
                return;
            }
            break;
        case kCodeProbe:
            for (int i = kProbeReservedOffset; i < payloadSize(kCodeProbe); ++i)
                if (payload[i] != 0) {
                    log_.add("probe: reserved byte %d is 0x%02X, not 0", i, payload[i]);
                    return;
                }
            break;
        case kCodeHome:
            if (payload[0] >= kMotionAxes) {
                log_.add("home: axis %u is not a motion axis", payload[0]);
                return;
            }
            break;
        case kCodePurge:
            if (getU32(payload) != 0) {
                log_.add("purge: payload 0x%08X is not zero", getU32(payload));
                return;
            }
            break;
        default:
            break;
    }
    lastPayload_[code].assign(payload, payload + length);
    ++commandCount_[code];

    switch (code) {
        case kCodeJogOn: {
            uint8_t axis = payload[0];
            if (axis >= kMotionAxes) return;  // no such motion axis: nothing moves
            jogging_[axis] = true;
            jogVelocity_[axis] =
                static_cast<int64_t>(getI32(payload + 2)) * (payload[1] == 1 ? 1 : -1);
            break;
        }
        case kCodeJogOff: {
            uint8_t axis = payload[0];
            if (axis < kMotionAxes && jogging_[axis]) {
                jogging_[axis] = false;
                jogRemainder_[axis] = 0;
                snapAxis(axis);
            }
            break;
        }
        case kCodeProbe:
            probeArmed_ = true;
            break;
        case kCodeHome: {
            uint8_t axis = payload[0];
            if (jogging_[axis]) {
                jogging_[axis] = false;
                jogRemainder_[axis] = 0;
            }
            homingLeft_[axis] = homingMs_;
            if (homingMs_ == 0) {
                exact_[axis] = kMidStep;
                latchEvent(kEventHomed, axis, nullptr);
            }
            break;
        }
        case kCodeAxisConfig:
            std::memcpy(axisConfig_, payload, kAxisConfigBytes);
            haveAxisConfig_ = true;
            break;
        case kCodeIoConfig:
            std::memcpy(ioConfig_, payload, kIoConfigBytes);
            haveIoConfig_ = true;
            break;
        case kCodePurge:
            purge(false);
            break;
        case kCodePurgeEndMove:
            purge(true);
            break;
        case kCodeStop:
            stop();
            break;
        default:  // outputs, spindle, MPG: only recorded
            break;
    }
}

void Machine::purge(bool endMove) {
    int dropped = ringCount_;
    ringHead_ = 0;
    ringCount_ = 0;
    if (dropped > 0)
        for (int a = 0; a < kMotionAxes; ++a) snapAxis(a);
    if (halted_) {
        halted_ = false;
        if (decelAfterPurge_) {
            decelAfterPurge_ = false;
            startDeceleration();
        }
    }
    if (endMove) probeArmed_ = false;
}

void Machine::stop() {
    for (int a = 0; a < kMotionAxes; ++a) {
        if (jogging_[a] || homingLeft_[a] > 0) snapAxis(a);
        jogging_[a] = false;
        jogRemainder_[a] = 0;
        homingLeft_[a] = 0;  // a cancelled homing reports nothing
    }
    probeArmed_ = false;
    if (ringCount_ > 0 && !halted_) {
        halted_ = true;
        for (int a = 0; a < kMotionAxes; ++a) snapAxis(a);
    }
}

// ---------------------------------------------------------------------------
// Motion blocks

void Machine::handleBlock(const uint8_t* bytes, uint32_t count) {
    if (count == 0 || count % kSegmentBytes != 0) {
        log_.add("block of %u bytes is not a whole number of 52-byte segments", count);
        return;
    }
    uint32_t segments = count / kSegmentBytes;
    if (segments > static_cast<uint32_t>(kMaxSegmentsPerBlock)) {
        log_.add("block of %u segments, at most %d allowed", segments, kMaxSegmentsPerBlock);
        return;
    }
    ++blockCount_;
    for (uint32_t i = 0; i < segments; ++i) {
        const uint8_t* p = bytes + i * kSegmentBytes;
        Segment s{};
        for (int a = 0; a < kMotionAxes; ++a) {
            s.phase[a] = getI32(p + 8 * a);
            s.travel[a] = getI32(p + 8 * a + 4);
        }
        s.slot = getU16(p + kSegmentSlotOffset);
        s.code = p[kSegmentCodeOffset];
        s.aux = p[kSegmentAuxOffset];
        if (s.slot >= kSlotCount)
            log_.add("segment slot index %u is not below %d", s.slot, kSlotCount);
        if (ringCount_ >= bufferSize_) {
            log_.add("buffer overrun: %u of %u segments did not fit in %d", segments - i, segments,
                     bufferSize_);
            return;
        }
        ring_[static_cast<size_t>((ringHead_ + ringCount_) % kMaxBufferSize)] = s;
        ++ringCount_;
    }
}

// ---------------------------------------------------------------------------
// The machine

int32_t Machine::counter(int axis) const {
    // Counters are 32-bit on the wire; positions beyond that wrap.
    return static_cast<int32_t>(floorDiv(exact_[axis], kMicro));
}

void Machine::snapAxis(int axis) {
    exact_[axis] = floorDiv(exact_[axis], kMicro) * kMicro + kMidStep;
}

void Machine::latchEvent(MachineEvent code, uint8_t axis, const int32_t* position) {
    Event e{code, axis, position != nullptr, {}};
    if (position != nullptr) std::memcpy(e.position, position, sizeof e.position);
    events_.push_back(e);
}

MachineState Machine::state() const {
    if (halted_) return kStateHalted;
    if (decelLeft_ > 0 || ringCount_ > 0) return kStateMoving;
    for (int a = 0; a < kMotionAxes; ++a)
        if (jogging_[a] || homingLeft_[a] > 0) return kStateManual;
    return kStateIdle;
}

void Machine::startDeceleration() {
    decelLeft_ = decelMs_;
    if (decelLeft_ == 0)
        for (int a = 0; a < kMotionAxes; ++a) snapAxis(a);
}

void Machine::step() {
    ++clock_;
    for (int a = 0; a < kMotionAxes; ++a) {
        if (homingLeft_[a] > 0 && --homingLeft_[a] == 0) {
            exact_[a] = kMidStep;
            latchEvent(kEventHomed, static_cast<uint8_t>(a), nullptr);
        }
        if (jogging_[a]) {
            // velocity/4096 steps per second is velocity*1000/4096 millionths
            // per ms; the remainder below 1/4096 millionth is carried.
            int64_t moved = jogRemainder_[a] + jogVelocity_[a] * (kMicro / kMsPerSecond);
            int64_t whole = floorDiv(moved, kJogVelocityOne);
            exact_[a] += whole;
            jogRemainder_[a] = moved - whole * kJogVelocityOne;
        }
    }
    if (decelLeft_ > 0) {
        for (int a = 0; a < kMotionAxes; ++a)
            exact_[a] += decelDirection_[a] * kProbeDecelStepsPerMs * kMicro;
        --decelLeft_;
        return;  // held segments wait until the machine has stopped
    }
    if (!halted_ && ringCount_ > 0) executeSegment();
}

void Machine::executeSegment() {
    const Segment s = ring_[static_cast<size_t>(ringHead_)];
    ringHead_ = (ringHead_ + 1) % kMaxBufferSize;
    --ringCount_;
    for (int a = 0; a < kMotionAxes; ++a) {
        int32_t phase = s.phase[a];
        if (phase < 0 || phase > kMaxStartPhase || phase % kPhaseUnit != 0) {
            log_.add("slot %u axis %d: start phase %d is not a multiple of 250 in 0..249999750",
                     s.slot, a, phase);
        } else {
            int64_t current = floorMod(exact_[a], kMicro);
            int64_t received = phase / kPhaseUnit;
            if (received != current) {
                log_.add(
                    "slot %u axis %d: start phase discontinuity "
                    "(segment starts at %lld, machine at %lld millionths)",
                    s.slot, a, static_cast<long long>(received), static_cast<long long>(current));
                exact_[a] += received - current;
            }
        }
        exact_[a] += s.travel[a];
    }
    lastSlot_ = s.slot;

    tsim_executed entry{};
    entry.slotIndex = s.slot;
    entry.segmentCode = s.code;
    entry.segmentAux = s.aux;
    for (int a = 0; a < kMotionAxes; ++a) entry.position[a] = counter(a);
    if (executedLog_.size() < kExecutedLogCapacity)
        executedLog_.push_back(entry);
    else
        executedLog_[static_cast<size_t>(executedCount_ %
                                         static_cast<int64_t>(kExecutedLogCapacity))] = entry;
    ++executedCount_;

    if (!probeArmed_) return;
    bool contact = false;
    if (probeAxis_ >= 0 && probeAxis_ < kMotionAxes) {
        int32_t c = counter(probeAxis_);
        contact = probeDirection_ >= 0 ? c >= probeThreshold_ : c <= probeThreshold_;
    }
    if (contact) {
        int32_t at[kCounters];
        for (int a = 0; a < kMotionAxes; ++a) at[a] = counter(a);
        at[kSeventhCounter] = seventh_;
        latchEvent(kEventProbeTriggered, 0, at);
        probeArmed_ = false;
        for (int a = 0; a < kMotionAxes; ++a)
            decelDirection_[a] = (s.travel[a] > 0) - (s.travel[a] < 0);
        if (ringCount_ > 0) {
            // Motion is held until the host purges it; then the machine
            // decelerates.
            halted_ = true;
            decelAfterPurge_ = true;
            for (int a = 0; a < kMotionAxes; ++a) snapAxis(a);
        } else {
            for (int a = 0; a < kMotionAxes; ++a) snapAxis(a);
            startDeceleration();
        }
    } else if (ringCount_ == 0) {
        latchEvent(kEventProbeMissed, 0, nullptr);
        probeArmed_ = false;
    }
}

// ---------------------------------------------------------------------------
// Status frames

void Machine::buildFrame(tsim_frame* frame, bool takeEvent) {
    *frame = tsim_frame{};
    frame->length = kFrameBytes;
    frame->state = state();
    for (int a = 0; a < kMotionAxes; ++a) frame->position[a] = counter(a);
    frame->position[kSeventhCounter] = seventh_;
    frame->spindlePeriod = spindlePeriod_;
    frame->bufferLevel = static_cast<uint16_t>(ringCount_);
    frame->segmentIndex = lastSlot_;
    if (!events_.empty()) {
        const Event& e = events_.front();
        frame->event = e.code;
        frame->eventAxis = e.axis;
        if (e.hasPosition) std::memcpy(frame->position, e.position, sizeof frame->position);
        if (takeEvent) events_.pop_front();
    }
}

void encodeFrame(const tsim_frame& f, uint8_t out[kFrameBytes]) {
    out[0] = f.length;
    out[1] = f.state;
    out[2] = f.event;
    out[3] = f.flags;
    putU16(out + 4, f.deviceWord0);
    putU16(out + 6, f.deviceWord1);
    for (int a = 0; a < kCounters; ++a) putI32(out + 8 + 4 * a, f.position[a]);
    putU32(out + 36, f.spindlePeriod);
    putU16(out + 40, f.bufferLevel);
    putU32(out + 42, f.deviceInt0);
    putU32(out + 46, f.deviceInt1);
    putU32(out + 50, f.deviceInt2);
    out[54] = f.deviceByte;
    out[55] = f.eventAxis;
    putU16(out + 56, f.segmentIndex);
    putU16(out + 58, f.deviceWord2);
}

void decodeFrame(const uint8_t in[kFrameBytes], tsim_frame* f) {
    f->length = in[0];
    f->state = in[1];
    f->event = in[2];
    f->flags = in[3];
    f->deviceWord0 = getU16(in + 4);
    f->deviceWord1 = getU16(in + 6);
    for (int a = 0; a < kCounters; ++a) f->position[a] = getI32(in + 8 + 4 * a);
    f->spindlePeriod = getU32(in + 36);
    f->bufferLevel = getU16(in + 40);
    f->deviceInt0 = getU32(in + 42);
    f->deviceInt1 = getU32(in + 46);
    f->deviceInt2 = getU32(in + 50);
    f->deviceByte = in[54];
    f->eventAxis = in[55];
    f->segmentIndex = getU16(in + 56);
    f->deviceWord2 = getU16(in + 58);
}

// ---------------------------------------------------------------------------
// Records and settings

int Machine::axisConfig(uint8_t out[kAxisConfigBytes]) const {
    if (!haveAxisConfig_) return 0;
    if (out != nullptr) std::memcpy(out, axisConfig_, kAxisConfigBytes);
    return 1;
}

int Machine::ioConfig(uint8_t out[kIoConfigBytes]) const {
    if (!haveIoConfig_) return 0;
    if (out != nullptr) std::memcpy(out, ioConfig_, kIoConfigBytes);
    return 1;
}

int Machine::lastCommand(int code, uint8_t* out, int capacity) const {
    if (code < 0 || code > 255 || commandCount_[static_cast<size_t>(code)] == 0) return -1;
    const std::vector<uint8_t>& p = lastPayload_[static_cast<size_t>(code)];
    int length = static_cast<int>(p.size());
    if (out != nullptr && capacity > 0 && length > 0)
        std::memcpy(out, p.data(), static_cast<size_t>(std::min(capacity, length)));
    return length;
}

int Machine::commandCount(int code) const {
    if (code < 0 || code > 255) return 0;
    return commandCount_[static_cast<size_t>(code)];
}

int Machine::executedGet(int64_t n, tsim_executed* out) const {
    int64_t capacity = static_cast<int64_t>(kExecutedLogCapacity);
    if (n < 0 || n >= executedCount_ || n < executedCount_ - capacity) return 0;
    if (out != nullptr) *out = executedLog_[static_cast<size_t>(n % capacity)];
    return 1;
}

void Machine::position(int32_t out[kCounters]) const {
    if (out == nullptr) return;
    for (int a = 0; a < kMotionAxes; ++a) out[a] = counter(a);
    out[kSeventhCounter] = seventh_;
}

void Machine::exactPosition(int64_t out[kMotionAxes]) const {
    if (out == nullptr) return;
    for (int a = 0; a < kMotionAxes; ++a) out[a] = exact_[a];
}

void Machine::setPosition(const int32_t position[kCounters]) {
    if (position == nullptr) return;
    for (int a = 0; a < kMotionAxes; ++a) {
        exact_[a] = static_cast<int64_t>(position[a]) * kMicro + kMidStep;
        jogRemainder_[a] = 0;
    }
    seventh_ = position[kSeventhCounter];
}

void Machine::setBufferSize(int size) {
    bufferSize_ = std::clamp(size, kMinBufferSize, kMaxBufferSize);
}

void Machine::setHomingTime(int ms) {
    homingMs_ = std::max(ms, 0);
}

void Machine::setProbeSurface(int axis, int32_t threshold, int direction) {
    probeAxis_ = axis >= 0 && axis < kMotionAxes ? axis : -1;
    probeThreshold_ = threshold;
    probeDirection_ = direction < 0 ? -1 : 1;
}

void Machine::setProbeDecel(int ms) {
    decelMs_ = std::max(ms, 0);
}

}  // namespace tsim
