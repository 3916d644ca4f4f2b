// The USB face of the simulated controller: the devices it lists, the files
// and interfaces opened on them, the pipes, the firmware control request,
// the status reads and the frames they deliver, and the records of what
// crossed the wire (writes, control and read counts, messages). Faults are
// injected here, since every one of them is a transfer that fails.
//
// What the OUT pipes carry is handed to the machine (sim_machine.h); status
// reads are answered with its frames. Plain state without locking: the
// simulator's one mutex is held by whoever calls in (sim_device.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "telvo/telvo_backend.h"
#include "sim_log.h"
#include "sim_machine.h"
#include "telvo_wire.h"
#include "telvo_sim.h"

namespace tsim {

constexpr int kMaxDevices = 2;
constexpr int kMaxFiles = 8;
constexpr int kMaxInterfaces = 8;
constexpr size_t kWriteLogMaxEntries = size_t{1} << 20;
constexpr size_t kWriteLogMaxBytes = size_t{64} << 20;
constexpr int kFaultKinds = TSIM_FAULT_READ_START_FAILS + 1;

// Error numbers (Windows numbering) beyond those the backend header names.
constexpr int kErrorInvalidHandle = 6;
constexpr int kErrorInvalidParameter = 87;
constexpr int kErrorDeviceNotConnected = 1167;

// The controller's device-interface class: {8F974853-102C-47CA-B6EC-613E800EAFAA}.
constexpr telvo_guid kControllerGuid = {
    0x8F974853u, 0x102Cu, 0x47CAu, {0xB6, 0xEC, 0x61, 0x3E, 0x80, 0x0E, 0xAF, 0xAA}};

// A callback the message box calls once shown (outside the lock).
struct MessageHook {
    void (*hook)(void*) = nullptr;
    void* context = nullptr;
};

class UsbFace {
public:
    UsbFace(Machine& machine, ProtocolLog& log) : machine_(machine), log_(log) { reset(); }
    UsbFace(const UsbFace&) = delete;
    UsbFace& operator=(const UsbFace&) = delete;

    void reset();

    // ---- telvo_backend_* semantics ----
    int list(const telvo_guid* guid, uint32_t index, char* path, uint32_t capacity,
             uint32_t* required);
    int open(const char* path, telvo_backend_file* file);
    void close(telvo_backend_file file);
    int initialize(telvo_backend_file file, telvo_backend_interface* iface);
    void free(telvo_backend_interface iface);
    int writePipe(telvo_backend_interface iface, uint8_t pipe, const void* data, uint32_t count,
                  uint32_t* transferred);
    int readPipeAsync(telvo_backend_interface iface, uint8_t pipe, void* buffer, uint32_t count,
                      telvo_backend_completion done, void* context);
    int controlTransfer(telvo_backend_interface iface, const uint8_t setup[8], void* buffer,
                        uint32_t count, uint32_t* transferred);
    // Records the message; returns the hook to call once the lock is released.
    MessageHook showMessage(const char* text, const char* caption);

    // ---- the status pipe ----
    // One millisecond of the clock passed: a frame falls due every period,
    // and pending reads are served.
    void tick();
    void setScripted(int scripted);
    void pushFrame(const uint8_t frame[kFrameBytes]);
    void setFramePeriod(int ms);

    // ---- devices and faults ----
    void setDeviceCount(int count);
    void setDevicePath(int index, const char* path);
    void setFirmware(const char* bytes, int length);
    void inject(tsim_fault fault, int skip, int repeat);
    void clearFaults();

    // ---- records ----
    int writeCount() const;
    int writeGet(int i, uint8_t* pipe, uint8_t* buffer, int capacity, int* device,
                 int* failed) const;
    void clearWrites();
    int controlCount() const { return controlCount_; }
    int readCount() const { return readCount_; }
    int readPending() const;
    // Counts of open files and initialised interfaces belong beside this one.
    int deviceOpen() const;
    // Device files opened and not closed, interfaces initialised and not
    // freed: a leak on a failure path shows here.
    int openFiles() const;
    int openInterfaces() const;
    int messageCount() const { return static_cast<int>(messageTexts_.size()); }
    const char* messageText(int i) const;
    const char* messageCaption(int i) const;
    void setMessageHook(void (*hook)(void*), void* context) {
        messageHook_ = MessageHook{hook, context};
    }

private:
    struct WriteRecord {
        uint8_t pipe;
        int device;
        bool failed;
        std::vector<uint8_t> bytes;
    };
    struct Fault {
        bool armed = false;
        int skip = 0;
        bool repeat = false;
    };
    struct FileSlot {
        bool inUse = false;
        uint32_t serial = 0;
        int device = 0;
    };
    struct InterfaceSlot {
        bool inUse = false;
        uint32_t serial = 0;
        int device = 0;
        bool frameDue = false;  // a machine frame is ready for the next read
        bool readPending = false;
        bool readStuck = false;  // accepted under TSIM_FAULT_READ_NEVER_COMPLETES
        uint8_t* buffer = nullptr;
        uint32_t count = 0;
        telvo_backend_completion done = nullptr;
        void* context = nullptr;
    };

    bool faultFires(tsim_fault fault);
    void recordWrite(int device, uint8_t pipe, const uint8_t* data, uint32_t count, bool failed);
    uint32_t takeSerial();
    void* makeHandle(uint32_t serial, int slot) const;
    int fileSlot(telvo_backend_file file) const;
    int interfaceSlot(telvo_backend_interface iface) const;
    bool deviceGone(int device) const { return device >= deviceCount_; }
    void serviceReads();
    void serviceRead(InterfaceSlot& slot);
    void complete(InterfaceSlot& slot, const uint8_t* frame);

    Machine& machine_;
    ProtocolLog& log_;

    // Devices and handles.
    int deviceCount_;
    std::string paths_[kMaxDevices];
    uint8_t firmware_[kFirmwareMaxBytes];
    int firmwareLength_;
    Fault faults_[kFaultKinds];
    FileSlot files_[kMaxFiles];
    InterfaceSlot interfaces_[kMaxInterfaces];
    uint32_t nextSerial_;

    // Records.
    std::deque<WriteRecord> writes_;
    int writeBase_;  // index of writes_.front() among all writes
    size_t writeBytes_;
    int controlCount_;
    int readCount_;
    std::deque<std::string> messageTexts_;
    std::deque<std::string> messageCaptions_;
    MessageHook messageHook_;

    // Frames.
    bool scripted_;
    int framePeriod_;
    int msSinceFrame_;
    std::deque<std::array<uint8_t, kFrameBytes>> pushedFrames_;
};

}  // namespace tsim
