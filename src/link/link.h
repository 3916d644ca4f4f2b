// Device link: the open controller, command packets, status polls and motion
// blocks. Everything the library exchanges with the controller goes through
// here.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace telvo::link {

// USB endpoints of the controller.
constexpr uint8_t kCommandPipe = 0x01;
constexpr uint8_t kBlockPipe = 0x02;
constexpr uint8_t kStatusPipe = 0x81;

// Command codes (the whole set the library sends).
enum CommandCode : uint8_t {
    kCmdJogOn = 2,
    kCmdJogOff = 3,
    kCmdProbe = 4,
    kCmdHomeAxis = 5,
    kCmdSetOutputs = 6,
    kCmdSpindle = 7,
    kCmdAxisConfig = 9,
    kCmdIoConfig = 11,
    kCmdPurge = 12,
    kCmdPurgeEnd = 13,
    kCmdStop = 14,
    kCmdSetupMpg = 17,
};

constexpr uint32_t kOutBufferSize = 10000;
constexpr uint32_t kPacketHeaderSize = 4;
constexpr uint32_t kMaxPayload = kOutBufferSize - kPacketHeaderSize;  // 9996
constexpr uint32_t kStatusReadMax = 512;
constexpr uint32_t kBlockCapacity = 75 * 52;  // the largest motion block

constexpr const char* kWriteFailedMessage = "Error writing to device!";

// Serialises command writes and block sends; created at library load.
extern platform::RecursiveLock deviceLock;

// The caption of the library's message box (the application object).
const char* messageCaption();

// Frames and writes one command packet on the command pipe. 1 when the whole
// packet went out; 0 when the link is closed or the write failed (the link is
// then closed and the failure message shown once).
int sendCommand(uint8_t code, const void* payload, uint32_t length);

// Non-blocking status poll: 1 when a completed read was copied to dest.
int pollStatus(void* dest, uint32_t length);

// Motion blocks: assembled in a buffer of their own, so that a command write
// from another thread cannot overwrite a block under assembly.
void beginBlock();
void appendToBlock(const void* data, uint32_t count);
void sendBlock();

// Releases device, events and the pending read; the result of closing the
// third event.
int shutdownLink();

bool isOpen();

// Back to the state at load: closed (as by shutdownLink), firmware "00.00".
void reset();

// Exports of the link.
int open();
int close();
const char* firmwareVersion();

}  // namespace telvo::link
