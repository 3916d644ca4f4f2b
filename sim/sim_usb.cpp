// The simulated controller's USB face: listing and opening, the interfaces
// and their handles, pipe writes, the firmware request, status reads, and
// the records of all of it.
#include "sim_usb.h"

#include <algorithm>
#include <cstring>

namespace tsim {

namespace {

constexpr uint32_t kHandleSlotBits = 4;
constexpr uint32_t kHandleSlotMask = (1u << kHandleSlotBits) - 1;
constexpr uint32_t kSerialLimit = 1u << 27;
static_assert(kMaxFiles <= (1 << kHandleSlotBits) && kMaxInterfaces <= (1 << kHandleSlotBits));

bool sameGuid(const telvo_guid& a, const telvo_guid& b) {
    return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
           std::memcmp(a.data4, b.data4, sizeof a.data4) == 0;
}

const char* kDefaultPaths[kMaxDevices] = {"sim://controller/0", "sim://controller/1"};
constexpr char kDefaultFirmware[kFirmwareMaxBytes] = {'0', '1', '.', '2', '3'};

}  // namespace

void UsbFace::reset() {
    deviceCount_ = 1;
    for (int i = 0; i < kMaxDevices; ++i) paths_[i] = kDefaultPaths[i];
    std::memcpy(firmware_, kDefaultFirmware, sizeof firmware_);
    firmwareLength_ = kFirmwareMaxBytes;
    for (Fault& f : faults_) f = Fault{false, 0, false};
    for (FileSlot& f : files_) f = FileSlot{false, 0, 0};
    for (InterfaceSlot& s : interfaces_) s = InterfaceSlot{};
    nextSerial_ = 1;

    writes_.clear();
    writeBase_ = 0;
    writeBytes_ = 0;
    controlCount_ = 0;
    readCount_ = 0;
    messageTexts_.clear();
    messageCaptions_.clear();
    messageHook_ = MessageHook{};

    scripted_ = false;
    framePeriod_ = 1;
    msSinceFrame_ = 0;
    pushedFrames_.clear();
}

// ---------------------------------------------------------------------------
// Records and faults

bool UsbFace::faultFires(tsim_fault fault) {
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

void UsbFace::recordWrite(int device, uint8_t pipe, const uint8_t* data, uint32_t count,
                          bool failed) {
    WriteRecord record{pipe, device, failed, std::vector<uint8_t>(data, data + count)};
    writeBytes_ += count;
    writes_.push_back(std::move(record));
    // Bound the log for long real-time runs: the oldest writes go first.
    while (writes_.size() > 1 &&
           (writes_.size() > kWriteLogMaxEntries || writeBytes_ > kWriteLogMaxBytes)) {
        writeBytes_ -= writes_.front().bytes.size();
        writes_.pop_front();
        ++writeBase_;
    }
}

// ---------------------------------------------------------------------------
// Handles

uint32_t UsbFace::takeSerial() {
    uint32_t serial = nextSerial_;
    nextSerial_ = nextSerial_ + 1 >= kSerialLimit ? 1 : nextSerial_ + 1;
    return serial;
}

void* UsbFace::makeHandle(uint32_t serial, int slot) const {
    // A handle is an opaque number (serial and slot) that the caller only
    // hands back; it never points anywhere.
    uint32_t value = (serial << kHandleSlotBits) | static_cast<uint32_t>(slot);
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    return reinterpret_cast<void*>(static_cast<uintptr_t>(value));
}

int UsbFace::fileSlot(telvo_backend_file file) const {
    uintptr_t value = reinterpret_cast<uintptr_t>(file);
    uint32_t slot = static_cast<uint32_t>(value & kHandleSlotMask);
    uint32_t serial = static_cast<uint32_t>(value >> kHandleSlotBits);
    if (slot >= kMaxFiles || !files_[slot].inUse || files_[slot].serial != serial) return -1;
    return static_cast<int>(slot);
}

int UsbFace::interfaceSlot(telvo_backend_interface iface) const {
    uintptr_t value = reinterpret_cast<uintptr_t>(iface);
    uint32_t slot = static_cast<uint32_t>(value & kHandleSlotMask);
    uint32_t serial = static_cast<uint32_t>(value >> kHandleSlotBits);
    if (slot >= kMaxInterfaces || !interfaces_[slot].inUse || interfaces_[slot].serial != serial)
        return -1;
    return static_cast<int>(slot);
}

// ---------------------------------------------------------------------------
// Pipes and transfers

int UsbFace::list(const telvo_guid* guid, uint32_t index, char* path, uint32_t capacity,
                  uint32_t* required) {
    if (faultFires(TSIM_FAULT_LIST_FAILS)) return TELVO_BACKEND_ERROR_GEN_FAILURE;
    if (guid == nullptr || !sameGuid(*guid, kControllerGuid) ||
        index >= static_cast<uint32_t>(deviceCount_))
        return TELVO_BACKEND_ERROR_NO_MORE_ITEMS;
    if (faultFires(TSIM_FAULT_PATH_QUERY_FAILS)) return kErrorDeviceNotConnected;
    const std::string& p = paths_[index];
    uint32_t needed = static_cast<uint32_t>(p.size() + 1);
    if (required != nullptr) *required = needed;
    if (path == nullptr || capacity < needed) return TELVO_BACKEND_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(path, p.c_str(), needed);
    return TELVO_BACKEND_OK;
}

int UsbFace::open(const char* path, telvo_backend_file* file) {
    if (file == nullptr) return kErrorInvalidParameter;
    if (faultFires(TSIM_FAULT_OPEN_FAILS) || path == nullptr)
        return TELVO_BACKEND_ERROR_FILE_NOT_FOUND;
    int device = -1;
    for (int i = 0; i < deviceCount_; ++i)
        if (paths_[i] == path) {
            device = i;
            break;
        }
    if (device < 0) return TELVO_BACKEND_ERROR_FILE_NOT_FOUND;
    for (int slot = 0; slot < kMaxFiles; ++slot) {
        if (files_[slot].inUse) continue;
        uint32_t serial = takeSerial();
        files_[slot] = FileSlot{true, serial, device};
        *file = makeHandle(serial, slot);
        return TELVO_BACKEND_OK;
    }
    return TELVO_BACKEND_ERROR_GEN_FAILURE;
}

void UsbFace::close(telvo_backend_file file) {
    int slot = fileSlot(file);
    if (slot >= 0) files_[slot].inUse = false;
}

int UsbFace::initialize(telvo_backend_file file, telvo_backend_interface* iface) {
    if (iface == nullptr) return kErrorInvalidParameter;
    int f = fileSlot(file);
    if (f < 0) return kErrorInvalidHandle;
    if (faultFires(TSIM_FAULT_INIT_FAILS) || deviceGone(files_[f].device))
        return TELVO_BACKEND_ERROR_GEN_FAILURE;
    for (int slot = 0; slot < kMaxInterfaces; ++slot) {
        if (interfaces_[slot].inUse) continue;
        uint32_t serial = takeSerial();
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

void UsbFace::free(telvo_backend_interface iface) {
    int slot = interfaceSlot(iface);
    // The read in flight is dropped under the lock that every completion is
    // made under, so none can follow once this returns.
    if (slot >= 0) interfaces_[slot] = InterfaceSlot{};
}

int UsbFace::writePipe(telvo_backend_interface iface, uint8_t pipe, const void* data,
                       uint32_t count, uint32_t* transferred) {
    if (transferred != nullptr) *transferred = 0;
    int slot = interfaceSlot(iface);
    if (slot < 0) return kErrorInvalidHandle;
    if (data == nullptr && count > 0) return kErrorInvalidParameter;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    int device = interfaces_[slot].device;
    if (pipe != kCommandPipe && pipe != kBlockPipe) {
        recordWrite(device, pipe, bytes, count, true);
        log_.add("write of %u bytes on pipe 0x%02X, which is not an OUT pipe", count, pipe);
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
        machine_.handleCommand(bytes, count);
        return TELVO_BACKEND_OK;
    }
    if (faultFires(TSIM_FAULT_BLOCK_WRITE_FAILS)) {
        recordWrite(device, pipe, bytes, count, true);
        return TELVO_BACKEND_ERROR_GEN_FAILURE;
    }
    recordWrite(device, pipe, bytes, count, false);
    if (transferred != nullptr) *transferred = count;
    machine_.handleBlock(bytes, count);
    return TELVO_BACKEND_OK;
}

int UsbFace::readPipeAsync(telvo_backend_interface iface, uint8_t pipe, void* buffer,
                           uint32_t count, telvo_backend_completion done, void* context) {
    int slot = interfaceSlot(iface);
    if (slot < 0) return kErrorInvalidHandle;
    ++readCount_;
    InterfaceSlot& s = interfaces_[slot];
    if (pipe != kStatusPipe) {
        log_.add("read on pipe 0x%02X, which is not the status pipe", pipe);
        return kErrorInvalidParameter;
    }
    if (buffer == nullptr || done == nullptr) return kErrorInvalidParameter;
    if (s.readPending) {
        log_.add("status read started while another one is in flight");
        return TELVO_BACKEND_ERROR_GEN_FAILURE;
    }
    bool stuck = faultFires(TSIM_FAULT_READ_NEVER_COMPLETES);
    if (faultFires(TSIM_FAULT_READ_START_FAILS) || deviceGone(s.device))
        return TELVO_BACKEND_ERROR_GEN_FAILURE;
    s.readPending = true;
    s.readStuck = stuck;
    s.buffer = static_cast<uint8_t*>(buffer);
    s.count = count;
    s.done = done;
    s.context = context;
    serviceRead(s);
    return TELVO_BACKEND_OK;
}

int UsbFace::controlTransfer(telvo_backend_interface iface, const uint8_t setup[8], void* buffer,
                             uint32_t count, uint32_t* transferred) {
    if (transferred != nullptr) *transferred = 0;
    int slot = interfaceSlot(iface);
    if (slot < 0) return kErrorInvalidHandle;
    ++controlCount_;
    if (setup == nullptr || (buffer == nullptr && count > 0)) return kErrorInvalidParameter;
    if (faultFires(TSIM_FAULT_CONTROL_FAILS) || deviceGone(interfaces_[slot].device))
        return TELVO_BACKEND_ERROR_GEN_FAILURE;
    if (std::memcmp(setup, kFirmwareSetup, sizeof kFirmwareSetup) != 0) {
        log_.add(
            "control request %02X %02X %02X %02X %02X %02X %02X %02X is not the firmware request",
            setup[0], setup[1], setup[2], setup[3], setup[4], setup[5], setup[6], setup[7]);
        return TELVO_BACKEND_ERROR_GEN_FAILURE;  // the device stalls it
    }
    uint32_t answer = std::min(static_cast<uint32_t>(firmwareLength_), count);
    if (answer > 0) std::memcpy(buffer, firmware_, answer);
    if (transferred != nullptr) *transferred = answer;
    return TELVO_BACKEND_OK;
}

MessageHook UsbFace::showMessage(const char* text, const char* caption) {
    messageTexts_.emplace_back(text != nullptr ? text : "");
    messageCaptions_.emplace_back(caption != nullptr ? caption : "");
    return messageHook_;
}

// ---------------------------------------------------------------------------
// Status reads

void UsbFace::complete(InterfaceSlot& slot, const uint8_t* frame) {
    std::memcpy(slot.buffer, frame, std::min<uint32_t>(slot.count, kFrameBytes));
    telvo_backend_completion done = slot.done;
    void* context = slot.context;
    slot.readPending = false;
    slot.buffer = nullptr;
    slot.done = nullptr;
    slot.context = nullptr;
    done(context);
}

void UsbFace::serviceRead(InterfaceSlot& slot) {
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
    machine_.buildFrame(&f, true);
    uint8_t bytes[kFrameBytes];
    encodeFrame(f, bytes);
    complete(slot, bytes);
}

void UsbFace::serviceReads() {
    for (InterfaceSlot& s : interfaces_) serviceRead(s);
}

void UsbFace::tick() {
    if (++msSinceFrame_ >= framePeriod_) {
        msSinceFrame_ = 0;
        for (InterfaceSlot& s : interfaces_)
            if (s.inUse) s.frameDue = true;
    }
    serviceReads();
}

void UsbFace::setScripted(int scripted) {
    scripted_ = scripted != 0;
    serviceReads();
}

void UsbFace::pushFrame(const uint8_t frame[kFrameBytes]) {
    if (frame == nullptr) return;
    std::array<uint8_t, kFrameBytes> copy;
    std::memcpy(copy.data(), frame, kFrameBytes);
    pushedFrames_.push_back(copy);
    serviceReads();
}

void UsbFace::setFramePeriod(int ms) {
    framePeriod_ = std::max(ms, 1);
    msSinceFrame_ = std::min(msSinceFrame_, framePeriod_ - 1);
}

// ---------------------------------------------------------------------------
// Devices, faults and records

void UsbFace::setDeviceCount(int count) {
    deviceCount_ = std::clamp(count, 0, kMaxDevices);
}

void UsbFace::setDevicePath(int index, const char* path) {
    if (index >= 0 && index < kMaxDevices) paths_[index] = path != nullptr ? path : "";
}

void UsbFace::setFirmware(const char* bytes, int length) {
    firmwareLength_ = bytes == nullptr ? 0 : std::clamp(length, 0, kFirmwareMaxBytes);
    if (firmwareLength_ > 0) std::memcpy(firmware_, bytes, static_cast<size_t>(firmwareLength_));
}

void UsbFace::inject(tsim_fault fault, int skip, int repeat) {
    int kind = static_cast<int>(fault);
    if (kind <= 0 || kind >= kFaultKinds) return;
    faults_[kind] = Fault{true, std::max(skip, 0), repeat != 0};
}

void UsbFace::clearFaults() {
    for (Fault& f : faults_) f = Fault{false, 0, false};
}

int UsbFace::writeCount() const {
    return writeBase_ + static_cast<int>(writes_.size());
}

int UsbFace::writeGet(int i, uint8_t* pipe, uint8_t* buffer, int capacity, int* device,
                      int* failed) const {
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

void UsbFace::clearWrites() {
    writes_.clear();
    writeBase_ = 0;
    writeBytes_ = 0;
}

int UsbFace::readPending() const {
    for (const InterfaceSlot& s : interfaces_)
        if (s.inUse && s.readPending) return 1;
    return 0;
}

int UsbFace::deviceOpen() const {
    for (const InterfaceSlot& s : interfaces_)
        if (s.inUse) return 1;
    return 0;
}

const char* UsbFace::messageText(int i) const {
    if (i < 0 || i >= static_cast<int>(messageTexts_.size())) return nullptr;
    return messageTexts_[static_cast<size_t>(i)].c_str();
}

const char* UsbFace::messageCaption(int i) const {
    if (i < 0 || i >= static_cast<int>(messageCaptions_.size())) return nullptr;
    return messageCaptions_[static_cast<size_t>(i)].c_str();
}

int UsbFace::openFiles() const {
    int n = 0;
    for (const FileSlot& f : files_) n += f.inUse ? 1 : 0;
    return n;
}

int UsbFace::openInterfaces() const {
    int n = 0;
    for (const InterfaceSlot& s : interfaces_) n += s.inUse ? 1 : 0;
    return n;
}

}  // namespace tsim
