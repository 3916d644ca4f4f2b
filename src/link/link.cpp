// Device link: discovery, open and close of the controller, the command
// channel, the status poll and the motion block channel.
//
// The link is a small state machine: Closed (no handles, no events), Open
// (device and three events) and Open failed (events but no device: every
// transfer returns 0 quietly). A failed command write closes the link and
// shows the library's one message, once.
#include "link/link.h"

#include <atomic>
#include <cstring>

namespace telvo::link {

namespace {

using platform::Handle;

// {8F974853-102C-47CA-B6EC-613E800EAFAA}
constexpr platform::Guid kDeviceInterfaceGuid = {
    0x8F974853, 0x102C, 0x47CA, {0xB6, 0xEC, 0x61, 0x3E, 0x80, 0x0E, 0xAF, 0xAA}};

constexpr uint32_t kPathCapacity = 260;
constexpr uint8_t kFirmwareRequest = 0xE0;
constexpr uint16_t kFirmwareLength = 5;
constexpr char kNoFirmware[] = "00.00";

struct DeviceLink {
    // Read without the device lock by the quick checks before a write,
    // while a failing write on another thread closes the link under it.
    std::atomic<int32_t> isOpen;
    Handle interfaceHandle;
    Handle fileHandle;
    char path[kPathCapacity];
};

DeviceLink deviceLink{};
char firmwareText[6] = "00.00";

// Three events, each bound to an overlapped record; the second serves the
// status read. The first and third carry no transfer.
Handle events[3] = {};
platform::Overlapped overlapped[3];
Handle& statusEvent = events[1];
platform::Overlapped& statusOverlapped = overlapped[1];
int32_t readPending = 0;

uint8_t outBuffer[kOutBufferSize];
uint8_t inBuffer[kStatusReadMax];
uint8_t blockBuffer[kBlockCapacity];
uint32_t blockLength = 0;

using platform::kOk;
using platform::Status;

Status locateDevice(char* path, uint32_t capacity, int32_t* deviceAbsent) {
    return platform::listFirstInterface(kDeviceInterfaceGuid, path, capacity, deviceAbsent);
}

// The status of the first step that failed; the link is open only when all
// succeeded.
Status attachDevice(DeviceLink& dl, int32_t* deviceAbsent) {
    dl.isOpen = 0;
    const Status located = locateDevice(dl.path, kPathCapacity, deviceAbsent);
    if (located != kOk) return located;
    const Status opened = platform::openDevice(dl.path, &dl.fileHandle);
    if (opened != kOk) return opened;
    const Status initialized = platform::usbInitialize(dl.fileHandle, &dl.interfaceHandle);
    if (initialized != kOk) {
        platform::closeDevice(dl.fileHandle);
        return initialized;
    }
    dl.isOpen = 1;
    return kOk;
}

void detachDevice(DeviceLink& dl) {
    if (dl.isOpen != 1) return;
    platform::usbFree(dl.interfaceHandle);
    platform::closeDevice(dl.fileHandle);
    dl.isOpen = 0;
}

int readFirmwareVersion(uint8_t request, char* dest, uint16_t length) {
    // Device to host, class request, recipient device.
    const uint8_t setup[8] = {
        0xA0, request, 0, 0, 0, 0, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
    uint32_t transferred = 0;
    return platform::usbControlTransfer(deviceLink.interfaceHandle, setup, dest, length,
                                        &transferred) == kOk
               ? 1
               : 0;
}

}  // namespace

bool isOpen() {
    return deviceLink.isOpen == 1;
}

int shutdownLink() {
    // A read still in flight is cancelled before its overlapped record and
    // event go away, so that nothing completes into them later.
    if (readPending != 0 && deviceLink.isOpen == 1) {
        platform::cancelRead(deviceLink.fileHandle, deviceLink.interfaceHandle, &statusOverlapped);
    }
    detachDevice(deviceLink);
    int result = 0;
    for (auto& event : events) {
        result = platform::closeEvent(event) == kOk ? 1 : 0;
        event = nullptr;
    }
    readPending = 0;
    return result;
}

int open() {
    int32_t deviceAbsent = 0;
    std::memcpy(firmwareText, kNoFirmware, sizeof kNoFirmware);

    // Opening over an open or open-failed link first releases it.
    (void)shutdownLink();

    // Whatever failed, the link still gets its events: it is then open-failed.
    // Only a controller that is not there at all leaves it closed.
    (void)attachDevice(deviceLink, &deviceAbsent);
    if (deviceAbsent == 1) return 0;

    if (deviceLink.isOpen == 1) {
        // The text holds whatever arrived; a failed request leaves "00.00".
        (void)readFirmwareVersion(kFirmwareRequest, firmwareText, kFirmwareLength);
        firmwareText[5] = '\0';
    }
    for (auto& event : events) {
        if (platform::createEvent(&event) == kOk) platform::resetEvent(event);
    }
    for (int i = 0; i < 3; ++i) platform::initOverlapped(&overlapped[i], events[i]);
    return 1;
}

int close() {
    return shutdownLink();
}

void reset() {
    (void)shutdownLink();
    std::memcpy(firmwareText, kNoFirmware, sizeof kNoFirmware);
    blockLength = 0;
}

const char* firmwareVersion() {
    return firmwareText;
}

int sendCommand(uint8_t code, const void* payload, uint32_t length) {
    if (deviceLink.isOpen == 0) return 0;
    if (length > kMaxPayload || (length != 0 && payload == nullptr)) return 0;

    platform::LockGuard guard(deviceLock);
    // The lock may have been waited for while another thread's failed write
    // closed the link.
    if (deviceLink.isOpen == 0) return 0;
    outBuffer[0] = code;
    outBuffer[1] = static_cast<uint8_t>(0xFF - code);
    outBuffer[2] = static_cast<uint8_t>(length);
    outBuffer[3] = static_cast<uint8_t>(length >> 8);
    if (length != 0) std::memcpy(outBuffer + kPacketHeaderSize, payload, length);

    const uint32_t total = length + kPacketHeaderSize;
    uint32_t transferred = 0;
    const Status written = platform::usbWritePipe(deviceLink.interfaceHandle, kCommandPipe,
                                                  outBuffer, total, &transferred);
    if (written == kOk && transferred == total) return 1;

    (void)shutdownLink();
    platform::showMessage(kWriteFailedMessage, messageCaption());
    return 0;
}

int pollStatus(void* dest, uint32_t length) {
    if (deviceLink.isOpen == 0) return 0;
    if (length > kStatusReadMax) length = kStatusReadMax;
    if (readPending == 0) {
        platform::resetEvent(statusEvent);
        // Completion is judged by the event alone: a read that could not be
        // started never signals it, and the polls keep returning 0.
        (void)platform::usbReadPipe(deviceLink.interfaceHandle, kStatusPipe, inBuffer, length,
                                    &statusOverlapped);
        readPending = 1;
        return 0;
    }
    if (platform::testEvent(statusEvent) != kOk) return 0;
    readPending = 0;
    std::memcpy(dest, inBuffer, length);
    return 1;
}

void beginBlock() {
    blockLength = 0;
}

void appendToBlock(const void* data, uint32_t count) {
    // Callers stay within one block of 75 segments; anything beyond is dropped
    // rather than written past the buffer.
    if (count > kBlockCapacity - blockLength) return;
    std::memcpy(blockBuffer + blockLength, data, count);
    blockLength += count;
}

void sendBlock() {
    if (deviceLink.isOpen == 0 || blockLength == 0) return;
    platform::LockGuard guard(deviceLock);
    if (deviceLink.isOpen == 0) return;
    // A failed block write is not reported: its segments count as sent, and
    // the controller's frames show what it really holds.
    uint32_t transferred = 0;
    (void)platform::usbWritePipe(deviceLink.interfaceHandle, kBlockPipe, blockBuffer, blockLength,
                                 &transferred);
}

}  // namespace telvo::link
