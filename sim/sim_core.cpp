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
#include "sim_core.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace tsim {

namespace {

constexpr uint32_t kHandleSlotBits = 4;
constexpr uint32_t kHandleSlotMask = (1u << kHandleSlotBits) - 1;
constexpr uint32_t kSerialLimit = 1u << 27;
static_assert(kMaxFiles <= (1 << kHandleSlotBits) && kMaxInterfaces <= (1 << kHandleSlotBits));

// The controller's device-interface class: {8F974853-102C-47CA-B6EC-613E800EAFAA}.
constexpr telvo_guid kControllerGuid = {0x8F974853u, 0x102Cu, 0x47CAu,
                                        {0xB6, 0xEC, 0x61, 0x3E, 0x80, 0x0E, 0xAF, 0xAA}};

bool sameGuid(const telvo_guid& a, const telvo_guid& b) {
    return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
           std::memcmp(a.data4, b.data4, sizeof a.data4) == 0;
}

int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

int64_t floorMod(int64_t a, int64_t b) { return a - floorDiv(a, b) * b; }

const char* kDefaultPaths[kMaxDevices] = {"sim://controller/0", "sim://controller/1"};
constexpr char kDefaultFirmware[kFirmwareMaxBytes] = {'0', '1', '.', '2', '3'};

}  // namespace

// The simulator lives from the loading of the module to its unloading (or
// the end of the process). Its teardown first stops and joins the real-time
// thread, so no thread outlives the module, and then destroys the state.
// Calls that arrive after that (from another library's own teardown) find no
// simulator and fail.
namespace {
alignas(Simulator) unsigned char storage[sizeof(Simulator)];
enum class Life { unborn, alive, gone };
Life life = Life::unborn;

struct Lifetime {
    Lifetime() { instance(); }
    ~Lifetime() {
        if (life != Life::alive) return;
        Simulator* sim = std::launder(reinterpret_cast<Simulator*>(storage));
        sim->stopRealtime();
        life = Life::gone;
        sim->~Simulator();
    }
} lifetime;
}  // namespace

Simulator* instance() {
    if (life == Life::unborn) {
        new (storage) Simulator;
        life = Life::alive;
    }
    return life == Life::alive ? std::launder(reinterpret_cast<Simulator*>(storage)) : nullptr;
}

Simulator::Simulator() {
    resetLocked();
}

void Simulator::stopRealtime() {
    SimLock control(realtimeControl_);
    ticker_.stop();
    SimLock lock(mutex_);
    realtimeSpeed_ = 0.0;
}

void Simulator::resetLocked() {
    deviceCount_ = 1;
    for (int i = 0; i < kMaxDevices; ++i) paths_[i] = kDefaultPaths[i];
    std::memcpy(firmware_, kDefaultFirmware, sizeof firmware_);
    firmwareLength_ = kFirmwareMaxBytes;
    for (Fault& f : faults_) f = Fault{false, 0, false};
    for (FileSlot& f : files_) f = FileSlot{false, 0, 0};
    for (InterfaceSlot& s : interfaces_) s = InterfaceSlot{};
    nextSerial_ = 1;
    holdWrites_.store(0, std::memory_order_release);

    writes_.clear();
    writeBase_ = 0;
    writeBytes_ = 0;
    controlCount_ = 0;
    readCount_ = 0;
    messageTexts_.clear();
    messageCaptions_.clear();
    messageHook_ = nullptr;
    messageHookContext_ = nullptr;
    protocolErrors_.clear();
    protocolErrorCount_ = 0;
    haveAxisConfig_ = false;
    haveIoConfig_ = false;
    std::memset(axisConfig_, 0, sizeof axisConfig_);
    std::memset(ioConfig_, 0, sizeof ioConfig_);
    for (auto& p : lastPayload_) p.clear();
    commandCount_.fill(0);
    executedLog_.clear();
    executedCount_ = 0;
    blockCount_ = 0;

    scripted_ = false;
    framePeriod_ = 1;
    msSinceFrame_ = 0;
    pushedFrames_.clear();
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
    counter6_ = 0;
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

    realtimeSpeed_ = 0.0;
    realtimeBaseMs_ = 0.0;
    realtimeAdvanced_ = 0;
}

// ---------------------------------------------------------------------------
// Records and faults

bool Simulator::faultFires(tsim_fault fault) {
    int kind = static_cast<int>(fault);
    if (kind <= 0 || kind >= kFaultKinds) return false;
    Fault& f = faults_[kind];
    if (!f.armed) return false;
    if (f.skip > 0) {
        --f.skip;
        return false;
    }
    if (!f.repeat) f.armed = false;
    return true;
}

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void Simulator::protocolError(const char* format, ...) {
    ++protocolErrorCount_;
    if (protocolErrors_.size() >= kProtocolErrorTextsKept) return;
    char text[200];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    protocolErrors_.emplace_back(text);
}

void Simulator::recordWrite(int device, uint8_t pipe, const uint8_t* data, uint32_t count, bool failed) {
    WriteRecord record{pipe, device, failed, std::vector<uint8_t>(data, data + count)};
    writeBytes_ += count;
    writes_.push_back(std::move(record));
    // Bound the log for long real-time runs: the oldest writes go first.
    while (writes_.size() > 1 && (writes_.size() > kWriteLogMaxEntries || writeBytes_ > kWriteLogMaxBytes)) {
        writeBytes_ -= writes_.front().bytes.size();
        writes_.pop_front();
        ++writeBase_;
    }
}

// ---------------------------------------------------------------------------
// Handles

void* Simulator::makeHandle(uint32_t serial, int slot) const {
    uint32_t value = (serial << kHandleSlotBits) | static_cast<uint32_t>(slot);
    return reinterpret_cast<void*>(static_cast<uintptr_t>(value));
}

int Simulator::fileSlot(telvo_backend_file file) const {
    uintptr_t value = reinterpret_cast<uintptr_t>(file);
    uint32_t slot = static_cast<uint32_t>(value & kHandleSlotMask);
    uint32_t serial = static_cast<uint32_t>(value >> kHandleSlotBits);
    if (slot >= kMaxFiles || !files_[slot].inUse || files_[slot].serial != serial) return -1;
    return static_cast<int>(slot);
}

int Simulator::interfaceSlot(telvo_backend_interface iface) const {
    uintptr_t value = reinterpret_cast<uintptr_t>(iface);
    uint32_t slot = static_cast<uint32_t>(value & kHandleSlotMask);
    uint32_t serial = static_cast<uint32_t>(value >> kHandleSlotBits);
    if (slot >= kMaxInterfaces || !interfaces_[slot].inUse || interfaces_[slot].serial != serial) return -1;
    return static_cast<int>(slot);
}

// ---------------------------------------------------------------------------
// The USB face

int Simulator::list(const telvo_guid* guid, uint32_t index, char* path, uint32_t capacity, uint32_t* required) {
    SimLock lock(mutex_);
    if (faultFires(TSIM_FAULT_LIST_FAILS)) return TELVO_BACKEND_ERROR_GEN_FAILURE;
    if (guid == nullptr || !sameGuid(*guid, kControllerGuid) || index >= static_cast<uint32_t>(deviceCount_))
        return TELVO_BACKEND_ERROR_NO_MORE_ITEMS;
    if (faultFires(TSIM_FAULT_PATH_QUERY_FAILS)) return kErrorDeviceNotConnected;
    const std::string& p = paths_[index];
    uint32_t needed = static_cast<uint32_t>(p.size() + 1);
    if (required != nullptr) *required = needed;
    if (path == nullptr || capacity < needed) return TELVO_BACKEND_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(path, p.c_str(), needed);
    return TELVO_BACKEND_OK;
}

int Simulator::open(const char* path, telvo_backend_file* file) {
    SimLock lock(mutex_);
    if (file == nullptr) return kErrorInvalidParameter;
    if (faultFires(TSIM_FAULT_OPEN_FAILS) || path == nullptr) return TELVO_BACKEND_ERROR_FILE_NOT_FOUND;
    int device = -1;
    for (int i = 0; i < deviceCount_; ++i)
        if (paths_[i] == path) {
            device = i;
            break;
        }
    if (device < 0) return TELVO_BACKEND_ERROR_FILE_NOT_FOUND;
    for (int slot = 0; slot < kMaxFiles; ++slot) {
        if (files_[slot].inUse) continue;
        uint32_t serial = nextSerial_;
        nextSerial_ = nextSerial_ + 1 >= kSerialLimit ? 1 : nextSerial_ + 1;
        files_[slot] = FileSlot{true, serial, device};
        *file = makeHandle(serial, slot);
        return TELVO_BACKEND_OK;
    }
    return TELVO_BACKEND_ERROR_GEN_FAILURE;
}

void Simulator::close(telvo_backend_file file) {
    SimLock lock(mutex_);
    int slot = fileSlot(file);
    if (slot >= 0) files_[slot].inUse = false;
}

int Simulator::initialize(telvo_backend_file file, telvo_backend_interface* iface) {
    SimLock lock(mutex_);
    if (iface == nullptr) return kErrorInvalidParameter;
    int f = fileSlot(file);
    if (f < 0) return kErrorInvalidHandle;
    if (faultFires(TSIM_FAULT_INIT_FAILS) || deviceGone(files_[f].device)) return TELVO_BACKEND_ERROR_GEN_FAILURE;
    for (int slot = 0; slot < kMaxInterfaces; ++slot) {
        if (interfaces_[slot].inUse) continue;
        uint32_t serial = nextSerial_;
        nextSerial_ = nextSerial_ + 1 >= kSerialLimit ? 1 : nextSerial_ + 1;
        // A freshly opened status pipe has a frame ready.
        InterfaceSlot& s = interfaces_[slot];
        s = InterfaceSlot{};
        s.inUse = true;
        s.serial = serial;
        s.device = files_[f].device;
        s.frameDue = true;
        *iface = makeHandle(serial, slot);
        return TELVO_BACKEND_OK;
    }
    return TELVO_BACKEND_ERROR_GEN_FAILURE;
}

void Simulator::free(telvo_backend_interface iface) {
    SimLock lock(mutex_);
    int slot = interfaceSlot(iface);
    // The read in flight is dropped under the lock that every completion is
    // made under, so none can follow once this returns.
    if (slot >= 0) interfaces_[slot] = InterfaceSlot{};
}

int Simulator::writePipe(telvo_backend_interface iface, uint8_t pipe, const void* data, uint32_t count,
                         uint32_t* transferred) {
    if (holdWrites_.load(std::memory_order_acquire) != 0) {
        writesHeld_.fetch_add(1, std::memory_order_acq_rel);
        while (holdWrites_.load(std::memory_order_acquire) != 0) yieldThread();
        writesHeld_.fetch_sub(1, std::memory_order_acq_rel);
    }
    SimLock lock(mutex_);
    if (transferred != nullptr) *transferred = 0;
    int slot = interfaceSlot(iface);
    if (slot < 0) return kErrorInvalidHandle;
    if (data == nullptr && count > 0) return kErrorInvalidParameter;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    int device = interfaces_[slot].device;
    if (pipe != kCommandPipe && pipe != kBlockPipe) {
        recordWrite(device, pipe, bytes, count, true);
        protocolError("write of %u bytes on pipe 0x%02X, which is not an OUT pipe", count, pipe);
        return kErrorInvalidParameter;
    }
    if (deviceGone(device)) {
        recordWrite(device, pipe, bytes, count, true);
        return TELVO_BACKEND_ERROR_GEN_FAILURE;
    }
    if (pipe == kCommandPipe) {
        bool fails = faultFires(TSIM_FAULT_COMMAND_WRITE_FAILS);
        bool shortWrite = faultFires(TSIM_FAULT_COMMAND_WRITE_SHORT);
        if (fails) {
            recordWrite(device, pipe, bytes, count, true);
            return TELVO_BACKEND_ERROR_GEN_FAILURE;
        }
        if (shortWrite && count > 0) {
            // One byte went missing: the controller drops the torn packet.
            recordWrite(device, pipe, bytes, count, true);
            if (transferred != nullptr) *transferred = count - 1;
            return TELVO_BACKEND_OK;
        }
        recordWrite(device, pipe, bytes, count, false);
        if (transferred != nullptr) *transferred = count;
        handleCommand(bytes, count);
        return TELVO_BACKEND_OK;
    }
    if (faultFires(TSIM_FAULT_BLOCK_WRITE_FAILS)) {
        recordWrite(device, pipe, bytes, count, true);
        return TELVO_BACKEND_ERROR_GEN_FAILURE;
    }
    recordWrite(device, pipe, bytes, count, false);
    if (transferred != nullptr) *transferred = count;
    handleBlock(bytes, count);
    return TELVO_BACKEND_OK;
}

int Simulator::readPipeAsync(telvo_backend_interface iface, uint8_t pipe, void* buffer, uint32_t count,
                             telvo_backend_completion done, void* context) {
    SimLock lock(mutex_);
    int slot = interfaceSlot(iface);
    if (slot < 0) return kErrorInvalidHandle;
    ++readCount_;
    InterfaceSlot& s = interfaces_[slot];
    if (pipe != kStatusPipe) {
        protocolError("read on pipe 0x%02X, which is not the status pipe", pipe);
        return kErrorInvalidParameter;
    }
    if (buffer == nullptr || done == nullptr) return kErrorInvalidParameter;
    if (s.readPending) {
        protocolError("status read started while another one is in flight");
        return TELVO_BACKEND_ERROR_GEN_FAILURE;
    }
    bool stuck = faultFires(TSIM_FAULT_READ_NEVER_COMPLETES);
    if (faultFires(TSIM_FAULT_READ_START_FAILS) || deviceGone(s.device)) return TELVO_BACKEND_ERROR_GEN_FAILURE;
    s.readPending = true;
    s.readStuck = stuck;
    s.buffer = static_cast<uint8_t*>(buffer);
    s.count = count;
    s.done = done;
    s.context = context;
    serviceRead(s);
    return TELVO_BACKEND_OK;
}

int Simulator::controlTransfer(telvo_backend_interface iface, const uint8_t setup[8], void* buffer, uint32_t count,
                               uint32_t* transferred) {
    SimLock lock(mutex_);
    if (transferred != nullptr) *transferred = 0;
    int slot = interfaceSlot(iface);
    if (slot < 0) return kErrorInvalidHandle;
    ++controlCount_;
    if (setup == nullptr || (buffer == nullptr && count > 0)) return kErrorInvalidParameter;
    if (faultFires(TSIM_FAULT_CONTROL_FAILS) || deviceGone(interfaces_[slot].device))
        return TELVO_BACKEND_ERROR_GEN_FAILURE;
    if (std::memcmp(setup, kFirmwareSetup, sizeof kFirmwareSetup) != 0) {
        protocolError("control request %02X %02X %02X %02X %02X %02X %02X %02X is not the firmware request",
                      setup[0], setup[1], setup[2], setup[3], setup[4], setup[5], setup[6], setup[7]);
        return TELVO_BACKEND_ERROR_GEN_FAILURE;  // the device stalls it
    }
    uint32_t answer = std::min(static_cast<uint32_t>(firmwareLength_), count);
    if (answer > 0) std::memcpy(buffer, firmware_, answer);
    if (transferred != nullptr) *transferred = answer;
    return TELVO_BACKEND_OK;
}

void Simulator::showMessage(const char* text, const char* caption) {
    void (*hook)(void*) = nullptr;
    void* context = nullptr;
    {
        SimLock lock(mutex_);
        messageTexts_.emplace_back(text != nullptr ? text : "");
        messageCaptions_.emplace_back(caption != nullptr ? caption : "");
        hook = messageHook_;
        context = messageHookContext_;
    }
    // Outside the lock, like a message loop: the hook may re-enter the
    // library, and the real-time clock keeps running meanwhile.
    if (hook != nullptr) hook(context);
}

// ---------------------------------------------------------------------------
// Command packets

void Simulator::handleCommand(const uint8_t* bytes, uint32_t count) {
    if (count < kPacketHeaderBytes) {
        protocolError("command packet of %u bytes is shorter than its header", count);
        return;
    }
    uint8_t code = bytes[0];
    if (bytes[1] != static_cast<uint8_t>(~code)) {
        protocolError("code %u: complement byte 0x%02X, expected 0x%02X", code, bytes[1],
                      static_cast<uint8_t>(~code));
        return;
    }
    uint32_t length = getU16(bytes + 2);
    if (length != count - kPacketHeaderBytes) {
        protocolError("code %u: length field %u, but %u payload bytes were written", code, length,
                      count - kPacketHeaderBytes);
        return;
    }
    int expected = payloadSize(code);
    if (expected < 0) {
        protocolError("unknown command code %u", code);
        return;
    }
    if (length != static_cast<uint32_t>(expected)) {
        protocolError("code %u: payload of %u bytes, expected %d", code, length, expected);
        return;
    }
    const uint8_t* payload = bytes + kPacketHeaderBytes;

    // Field checks of what the library fixes; a packet that fails one is
    // refused whole, like a malformed one.
    switch (code) {
    case kCodeJogOn:
        if (payload[1] != 1 && payload[1] != 0xFF) {
            protocolError("jog: direction byte %u is neither 1 nor 255", payload[1]);
            return;
        }
        break;
    case kCodeProbe:
        for (int i = 24; i < 48; ++i)
            if (payload[i] != 0) {
                protocolError("probe: reserved byte %d is 0x%02X, not 0", i, payload[i]);
                return;
            }
        break;
    case kCodeHome:
        if (payload[0] >= kMotionAxes) {
            protocolError("home: axis %u is not a motion axis", payload[0]);
            return;
        }
        break;
    case kCodePurge:
        if (getU32(payload) != 0) {
            protocolError("purge: payload 0x%08X is not zero", getU32(payload));
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
        jogVelocity_[axis] = static_cast<int64_t>(getI32(payload + 2)) * (payload[1] == 1 ? 1 : -1);
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
            latchEvent(5, axis, nullptr);
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

void Simulator::purge(bool endMove) {
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

void Simulator::stop() {
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

void Simulator::handleBlock(const uint8_t* bytes, uint32_t count) {
    if (count == 0 || count % kSegmentBytes != 0) {
        protocolError("block of %u bytes is not a whole number of 52-byte segments", count);
        return;
    }
    uint32_t segments = count / kSegmentBytes;
    if (segments > static_cast<uint32_t>(kMaxSegmentsPerBlock)) {
        protocolError("block of %u segments, at most %d allowed", segments, kMaxSegmentsPerBlock);
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
        if (s.slot >= kSlotCount) protocolError("segment slot index %u is not below %d", s.slot, kSlotCount);
        if (ringCount_ >= bufferSize_) {
            protocolError("buffer overrun: %u of %u segments did not fit in %d", segments - i, segments,
                          bufferSize_);
            return;
        }
        ring_[static_cast<size_t>((ringHead_ + ringCount_) % kMaxBufferSize)] = s;
        ++ringCount_;
    }
}

// ---------------------------------------------------------------------------
// The machine

int32_t Simulator::counter(int axis) const {
    // Counters are 32-bit on the wire; positions beyond that wrap.
    return static_cast<int32_t>(floorDiv(exact_[axis], kMicro));
}

void Simulator::snapAxis(int axis) {
    exact_[axis] = floorDiv(exact_[axis], kMicro) * kMicro + kMidStep;
}

void Simulator::latchEvent(uint8_t code, uint8_t axis, const int32_t* position) {
    Event e{code, axis, position != nullptr, {}};
    if (position != nullptr) std::memcpy(e.position, position, sizeof e.position);
    events_.push_back(e);
}

uint8_t Simulator::machineState() const {
    if (halted_) return 3;
    if (decelLeft_ > 0 || ringCount_ > 0) return 1;
    for (int a = 0; a < kMotionAxes; ++a)
        if (jogging_[a] || homingLeft_[a] > 0) return 2;
    return 0;
}

void Simulator::startDeceleration() {
    decelLeft_ = decelMs_;
    if (decelLeft_ == 0)
        for (int a = 0; a < kMotionAxes; ++a) snapAxis(a);
}

void Simulator::stepMachine() {
    for (int a = 0; a < kMotionAxes; ++a) {
        if (homingLeft_[a] > 0 && --homingLeft_[a] == 0) {
            exact_[a] = kMidStep;
            latchEvent(5, static_cast<uint8_t>(a), nullptr);
        }
        if (jogging_[a]) {
            // velocity/4096 steps per second is velocity*1000/4096 millionths
            // per ms; the remainder below 1/4096 millionth is carried.
            int64_t moved = jogRemainder_[a] + jogVelocity_[a] * 1000;
            int64_t whole = floorDiv(moved, 4096);
            exact_[a] += whole;
            jogRemainder_[a] = moved - whole * 4096;
        }
    }
    if (decelLeft_ > 0) {
        for (int a = 0; a < kMotionAxes; ++a) exact_[a] += decelDirection_[a] * kProbeDecelStepsPerMs * kMicro;
        --decelLeft_;
        return;  // held segments wait until the machine has stopped
    }
    if (!halted_ && ringCount_ > 0) executeSegment();
}

void Simulator::executeSegment() {
    const Segment s = ring_[static_cast<size_t>(ringHead_)];
    ringHead_ = (ringHead_ + 1) % kMaxBufferSize;
    --ringCount_;
    for (int a = 0; a < kMotionAxes; ++a) {
        int32_t phase = s.phase[a];
        if (phase < 0 || phase > kMaxStartPhase || phase % kPhaseUnit != 0) {
            protocolError("slot %u axis %d: start phase %d is not a multiple of 250 in 0..249999750", s.slot, a,
                          phase);
        } else {
            int64_t current = floorMod(exact_[a], kMicro);
            int64_t received = phase / kPhaseUnit;
            if (received != current) {
                protocolError("slot %u axis %d: start phase discontinuity "
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
        executedLog_[static_cast<size_t>(executedCount_ % static_cast<int64_t>(kExecutedLogCapacity))] = entry;
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
        at[6] = counter6_;
        latchEvent(7, 0, at);
        probeArmed_ = false;
        for (int a = 0; a < kMotionAxes; ++a) decelDirection_[a] = (s.travel[a] > 0) - (s.travel[a] < 0);
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
        latchEvent(6, 0, nullptr);
        probeArmed_ = false;
    }
}

void Simulator::advanceLocked(int ms) {
    for (int i = 0; i < ms; ++i) {
        ++clock_;
        stepMachine();
        if (++msSinceFrame_ >= framePeriod_) {
            msSinceFrame_ = 0;
            for (InterfaceSlot& s : interfaces_)
                if (s.inUse) s.frameDue = true;
        }
        serviceReads();
    }
}

// ---------------------------------------------------------------------------
// Status frames

void Simulator::buildFrame(tsim_frame* frame, bool takeEvent) {
    *frame = tsim_frame{};
    frame->length = kFrameBytes;
    frame->state = machineState();
    for (int a = 0; a < kMotionAxes; ++a) frame->position[a] = counter(a);
    frame->position[6] = counter6_;
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

void Simulator::complete(InterfaceSlot& slot, const uint8_t* frame) {
    std::memcpy(slot.buffer, frame, std::min<uint32_t>(slot.count, kFrameBytes));
    telvo_backend_completion done = slot.done;
    void* context = slot.context;
    slot.readPending = false;
    slot.buffer = nullptr;
    slot.done = nullptr;
    slot.context = nullptr;
    done(context);
}

void Simulator::serviceRead(InterfaceSlot& slot) {
    if (!slot.inUse || !slot.readPending || slot.readStuck) return;
    if (!pushedFrames_.empty()) {
        std::array<uint8_t, kFrameBytes> frame = pushedFrames_.front();
        pushedFrames_.pop_front();
        complete(slot, frame.data());
        return;
    }
    if (scripted_ || !slot.frameDue) return;
    slot.frameDue = false;
    tsim_frame f;
    buildFrame(&f, true);
    uint8_t bytes[kFrameBytes];
    encodeFrame(f, bytes);
    complete(slot, bytes);
}

void Simulator::serviceReads() {
    for (InterfaceSlot& s : interfaces_) serviceRead(s);
}

// ---------------------------------------------------------------------------
// Control

void Simulator::reset() {
    stopRealtime();
    SimLock lock(mutex_);
    resetLocked();
}

void Simulator::setDeviceCount(int count) {
    SimLock lock(mutex_);
    deviceCount_ = std::clamp(count, 0, kMaxDevices);
}

void Simulator::setDevicePath(int index, const char* path) {
    SimLock lock(mutex_);
    if (index >= 0 && index < kMaxDevices) paths_[index] = path != nullptr ? path : "";
}

void Simulator::setFirmware(const char* bytes, int length) {
    SimLock lock(mutex_);
    firmwareLength_ = bytes == nullptr ? 0 : std::clamp(length, 0, kFirmwareMaxBytes);
    if (firmwareLength_ > 0) std::memcpy(firmware_, bytes, static_cast<size_t>(firmwareLength_));
}

void Simulator::inject(tsim_fault fault, int skip, int repeat) {
    SimLock lock(mutex_);
    int kind = static_cast<int>(fault);
    if (kind <= 0 || kind >= kFaultKinds) return;
    faults_[kind] = Fault{true, std::max(skip, 0), repeat != 0};
}

void Simulator::clearFaults() {
    SimLock lock(mutex_);
    for (Fault& f : faults_) f = Fault{false, 0, false};
}

int Simulator::writeCount() {
    SimLock lock(mutex_);
    return writeBase_ + static_cast<int>(writes_.size());
}

int Simulator::writeGet(int i, uint8_t* pipe, uint8_t* buffer, int capacity, int* device, int* failed) {
    SimLock lock(mutex_);
    if (i < writeBase_ || i - writeBase_ >= static_cast<int>(writes_.size())) return -1;
    const WriteRecord& w = writes_[static_cast<size_t>(i - writeBase_)];
    if (pipe != nullptr) *pipe = w.pipe;
    if (device != nullptr) *device = w.device;
    if (failed != nullptr) *failed = w.failed ? 1 : 0;
    int length = static_cast<int>(w.bytes.size());
    if (buffer != nullptr && capacity > 0 && length > 0)
        std::memcpy(buffer, w.bytes.data(), static_cast<size_t>(std::min(capacity, length)));
    return length;
}

void Simulator::clearWrites() {
    SimLock lock(mutex_);
    writes_.clear();
    writeBase_ = 0;
    writeBytes_ = 0;
}

int Simulator::controlCount() {
    SimLock lock(mutex_);
    return controlCount_;
}

int Simulator::readCount() {
    SimLock lock(mutex_);
    return readCount_;
}

int Simulator::readPending() {
    SimLock lock(mutex_);
    for (const InterfaceSlot& s : interfaces_)
        if (s.inUse && s.readPending) return 1;
    return 0;
}

int Simulator::deviceOpen() {
    SimLock lock(mutex_);
    for (const InterfaceSlot& s : interfaces_)
        if (s.inUse) return 1;
    return 0;
}

// ---- open-resource counts (leak checks) ----

int Simulator::openFiles() {
    SimLock lock(mutex_);
    int n = 0;
    for (const FileSlot& f : files_) n += f.inUse ? 1 : 0;
    return n;
}

int Simulator::openInterfaces() {
    SimLock lock(mutex_);
    int n = 0;
    for (const InterfaceSlot& s : interfaces_) n += s.inUse ? 1 : 0;
    return n;
}

void Simulator::holdWrites(int hold) { holdWrites_.store(hold != 0 ? 1 : 0, std::memory_order_release); }
int Simulator::writesHeld() { return writesHeld_.load(std::memory_order_acquire); }

int Simulator::messageCount() {
    SimLock lock(mutex_);
    return static_cast<int>(messageTexts_.size());
}

const char* Simulator::messageText(int i) {
    SimLock lock(mutex_);
    if (i < 0 || i >= static_cast<int>(messageTexts_.size())) return nullptr;
    return messageTexts_[static_cast<size_t>(i)].c_str();
}

const char* Simulator::messageCaption(int i) {
    SimLock lock(mutex_);
    if (i < 0 || i >= static_cast<int>(messageCaptions_.size())) return nullptr;
    return messageCaptions_[static_cast<size_t>(i)].c_str();
}

void Simulator::setMessageHook(void (*hook)(void*), void* context) {
    SimLock lock(mutex_);
    messageHook_ = hook;
    messageHookContext_ = context;
}

int Simulator::axisConfig(uint8_t out[kAxisConfigBytes]) {
    SimLock lock(mutex_);
    if (!haveAxisConfig_) return 0;
    if (out != nullptr) std::memcpy(out, axisConfig_, kAxisConfigBytes);
    return 1;
}

int Simulator::ioConfig(uint8_t out[kIoConfigBytes]) {
    SimLock lock(mutex_);
    if (!haveIoConfig_) return 0;
    if (out != nullptr) std::memcpy(out, ioConfig_, kIoConfigBytes);
    return 1;
}

int Simulator::lastCommand(int code, uint8_t* out, int capacity) {
    SimLock lock(mutex_);
    if (code < 0 || code > 255 || commandCount_[static_cast<size_t>(code)] == 0) return -1;
    const std::vector<uint8_t>& p = lastPayload_[static_cast<size_t>(code)];
    int length = static_cast<int>(p.size());
    if (out != nullptr && capacity > 0 && length > 0)
        std::memcpy(out, p.data(), static_cast<size_t>(std::min(capacity, length)));
    return length;
}

int Simulator::commandCount(int code) {
    SimLock lock(mutex_);
    if (code < 0 || code > 255) return 0;
    return commandCount_[static_cast<size_t>(code)];
}

void Simulator::setScripted(int scripted) {
    SimLock lock(mutex_);
    scripted_ = scripted != 0;
    serviceReads();
}

void Simulator::pushFrame(const uint8_t frame[kFrameBytes]) {
    SimLock lock(mutex_);
    if (frame == nullptr) return;
    std::array<uint8_t, kFrameBytes> copy;
    std::memcpy(copy.data(), frame, kFrameBytes);
    pushedFrames_.push_back(copy);
    serviceReads();
}

void Simulator::currentFrame(tsim_frame* frame) {
    SimLock lock(mutex_);
    if (frame != nullptr) buildFrame(frame, false);
}

int Simulator::pendingEvents() {
    SimLock lock(mutex_);
    return static_cast<int>(events_.size());
}

void Simulator::setBufferSize(int size) {
    SimLock lock(mutex_);
    bufferSize_ = std::clamp(size, kMinBufferSize, kMaxBufferSize);
}

void Simulator::setFramePeriod(int ms) {
    SimLock lock(mutex_);
    framePeriod_ = std::max(ms, 1);
    msSinceFrame_ = std::min(msSinceFrame_, framePeriod_ - 1);
}

void Simulator::advance(int ms) {
    SimLock lock(mutex_);
    if (ms > 0) advanceLocked(ms);
}

int64_t Simulator::clockMs() {
    SimLock lock(mutex_);
    return clock_;
}

void Simulator::realtimeTick(void* self) {
    Simulator& sim = *static_cast<Simulator*>(self);
    SimLock lock(sim.mutex_);
    if (sim.realtimeSpeed_ <= 0.0) return;
    double elapsed = monotonicMs() - sim.realtimeBaseMs_;
    int64_t due = static_cast<int64_t>(elapsed * sim.realtimeSpeed_) - sim.realtimeAdvanced_;
    if (due <= 0) return;
    // A long catch-up is spread over several ticks so the lock is released
    // in between.
    int step = static_cast<int>(std::min<int64_t>(due, kMaxCatchUpMs));
    sim.realtimeAdvanced_ += step;
    sim.advanceLocked(step);
}

void Simulator::setRealtime(double speed) {
    SimLock control(realtimeControl_);
    if (!(speed > 0.0)) {  // also NaN
        ticker_.stop();
        SimLock lock(mutex_);
        realtimeSpeed_ = 0.0;
        return;
    }
    {
        SimLock lock(mutex_);
        realtimeSpeed_ = speed;
        realtimeBaseMs_ = monotonicMs();
        realtimeAdvanced_ = 0;
    }
    if (!ticker_.running()) ticker_.start(&Simulator::realtimeTick, this);
}

int Simulator::realtimeRunning() {
    SimLock control(realtimeControl_);
    return ticker_.running() ? 1 : 0;
}

void Simulator::position(int32_t out[kCounters]) {
    SimLock lock(mutex_);
    if (out == nullptr) return;
    for (int a = 0; a < kMotionAxes; ++a) out[a] = counter(a);
    out[6] = counter6_;
}

void Simulator::exactPosition(int64_t out[kMotionAxes]) {
    SimLock lock(mutex_);
    if (out == nullptr) return;
    for (int a = 0; a < kMotionAxes; ++a) out[a] = exact_[a];
}

void Simulator::setPosition(const int32_t position[kCounters]) {
    SimLock lock(mutex_);
    if (position == nullptr) return;
    for (int a = 0; a < kMotionAxes; ++a) {
        exact_[a] = static_cast<int64_t>(position[a]) * kMicro + kMidStep;
        jogRemainder_[a] = 0;
    }
    counter6_ = position[6];
}

int Simulator::bufferLevel() {
    SimLock lock(mutex_);
    return ringCount_;
}

int64_t Simulator::executedCount() {
    SimLock lock(mutex_);
    return executedCount_;
}

int64_t Simulator::blockCount() {
    SimLock lock(mutex_);
    return blockCount_;
}

int Simulator::executedGet(int64_t n, tsim_executed* out) {
    SimLock lock(mutex_);
    int64_t capacity = static_cast<int64_t>(kExecutedLogCapacity);
    if (n < 0 || n >= executedCount_ || n < executedCount_ - capacity) return 0;
    if (out != nullptr) *out = executedLog_[static_cast<size_t>(n % capacity)];
    return 1;
}

int Simulator::protocolErrorCount() {
    SimLock lock(mutex_);
    return protocolErrorCount_;
}

const char* Simulator::protocolErrorText(int i) {
    SimLock lock(mutex_);
    if (i < 0 || i >= static_cast<int>(protocolErrors_.size())) return nullptr;
    return protocolErrors_[static_cast<size_t>(i)].c_str();
}

void Simulator::setHomingTime(int ms) {
    SimLock lock(mutex_);
    homingMs_ = std::max(ms, 0);
}

void Simulator::setProbeSurface(int axis, int32_t threshold, int direction) {
    SimLock lock(mutex_);
    probeAxis_ = axis >= 0 && axis < kMotionAxes ? axis : -1;
    probeThreshold_ = threshold;
    probeDirection_ = direction < 0 ? -1 : 1;
}

void Simulator::setProbeDecel(int ms) {
    SimLock lock(mutex_);
    decelMs_ = std::max(ms, 0);
}

int Simulator::probeArmed() {
    SimLock lock(mutex_);
    return probeArmed_ ? 1 : 0;
}

uint32_t Simulator::spindlePeriod() {
    SimLock lock(mutex_);
    return spindlePeriod_;
}

void Simulator::setSpindlePeriod(uint32_t ticks) {
    SimLock lock(mutex_);
    spindlePeriod_ = ticks;
}

}  // namespace tsim
