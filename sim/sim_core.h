// The simulated motion controller: one machine, its USB face and its records.
//
// This is the portable core. The POSIX backend module (backend_posix.cpp) and
// the tsim_* control API (sim_api.cpp) are thin faces over the one Simulator
// instance; the Windows build wraps the same core in a WinUSB-shaped DLL.
// Every public member takes the one mutex, so the faces add no locking of
// their own. Time is the simulator's own millisecond clock: nothing moves
// unless advance() is called, by a test or by the real-time ticker.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "telvo/telvo_backend.h"
#include "sim_sync.h"
#include "sim_wire.h"
#include "telvo_sim.h"

namespace tsim {

constexpr int kMaxDevices = 2;
constexpr int kMaxFiles = 8;
constexpr int kMaxInterfaces = 8;
constexpr int kMotionAxes = 6;
constexpr int kCounters = 7;
constexpr int kMinBufferSize = 300;
constexpr int kMaxBufferSize = 1000;
constexpr int kDefaultBufferSize = 1000;
constexpr int kDefaultHomingMs = 50;
constexpr int kDefaultProbeDecelMs = 5;
constexpr int64_t kProbeDecelStepsPerMs = 2;
constexpr int64_t kMicro = 1'000'000;       // exact positions count millionths of a step
constexpr int64_t kMidStep = kMicro / 2;   // where the machine rests within a step
constexpr size_t kExecutedLogCapacity = size_t{1} << 20;
constexpr size_t kWriteLogMaxEntries = size_t{1} << 20;
constexpr size_t kWriteLogMaxBytes = size_t{64} << 20;
constexpr size_t kProtocolErrorTextsKept = 10000;
constexpr int kFaultKinds = TSIM_FAULT_READ_START_FAILS + 1;
constexpr int kMaxCatchUpMs = 250;         // real-time ticker: most ms advanced per lock

// Error numbers (Windows numbering) beyond those the backend header names.
constexpr int kErrorInvalidHandle = 6;
constexpr int kErrorInvalidParameter = 87;
constexpr int kErrorDeviceNotConnected = 1167;

class Simulator {
public:
    Simulator();
    ~Simulator() = default;  // the real-time thread is stopped before
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // ---- the USB face (telvo_backend_* semantics) ----
    int list(const telvo_guid* guid, uint32_t index, char* path, uint32_t capacity, uint32_t* required);
    int open(const char* path, telvo_backend_file* file);
    void close(telvo_backend_file file);
    int initialize(telvo_backend_file file, telvo_backend_interface* iface);
    void free(telvo_backend_interface iface);
    int writePipe(telvo_backend_interface iface, uint8_t pipe, const void* data, uint32_t count,
                  uint32_t* transferred);
    int readPipeAsync(telvo_backend_interface iface, uint8_t pipe, void* buffer, uint32_t count,
                      telvo_backend_completion done, void* context);
    int controlTransfer(telvo_backend_interface iface, const uint8_t setup[8], void* buffer, uint32_t count,
                        uint32_t* transferred);
    void showMessage(const char* text, const char* caption);

    // ---- control (tsim_* semantics) ----
    void reset();
    void setDeviceCount(int count);
    void setDevicePath(int index, const char* path);
    void setFirmware(const char* bytes, int length);
    void inject(tsim_fault fault, int skip, int repeat);
    void clearFaults();

    int writeCount();
    int writeGet(int i, uint8_t* pipe, uint8_t* buffer, int capacity, int* device, int* failed);
    void clearWrites();
    int controlCount();
    int readCount();
    int readPending();
    int deviceOpen();
    int openFiles();
    int openInterfaces();
    void holdWrites(int hold);
    int writesHeld();
    int messageCount();
    const char* messageText(int i);
    const char* messageCaption(int i);
    void setMessageHook(void (*hook)(void*), void* context);
    int axisConfig(uint8_t out[kAxisConfigBytes]);
    int ioConfig(uint8_t out[kIoConfigBytes]);
    int lastCommand(int code, uint8_t* out, int capacity);
    int commandCount(int code);

    void setScripted(int scripted);
    void pushFrame(const uint8_t frame[kFrameBytes]);
    void currentFrame(tsim_frame* frame);
    int pendingEvents();

    void setBufferSize(int size);
    void setFramePeriod(int ms);
    void advance(int ms);
    int64_t clockMs();
    void setRealtime(double speed);
    void stopRealtime();
    int realtimeRunning();

    void position(int32_t out[kCounters]);
    void exactPosition(int64_t out[kMotionAxes]);
    void setPosition(const int32_t position[kCounters]);
    int bufferLevel();
    int64_t executedCount();
    int64_t blockCount();
    int executedGet(int64_t n, tsim_executed* out);
    int protocolErrorCount();
    const char* protocolErrorText(int i);

    void setHomingTime(int ms);
    void setProbeSurface(int axis, int32_t threshold, int direction);
    void setProbeDecel(int ms);
    int probeArmed();
    uint32_t spindlePeriod();
    void setSpindlePeriod(uint32_t ticks);

private:
    struct Segment {
        int32_t phase[kMotionAxes];
        int32_t travel[kMotionAxes];
        uint16_t slot;
        uint8_t code;
        uint8_t aux;
    };
    struct Event {
        uint8_t code;
        uint8_t axis;
        bool hasPosition;
        int32_t position[kCounters];
    };
    struct WriteRecord {
        uint8_t pipe;
        int device;
        bool failed;
        std::vector<uint8_t> bytes;
    };
    struct Fault {
        bool armed;
        int skip;
        bool repeat;
    };
    struct FileSlot {
        bool inUse;
        uint32_t serial;
        int device;
    };
    struct InterfaceSlot {
        bool inUse = false;
        uint32_t serial = 0;
        int device = 0;
        bool frameDue = false;     // a machine frame is ready for the next read
        bool readPending = false;
        bool readStuck = false;    // accepted under TSIM_FAULT_READ_NEVER_COMPLETES
        uint8_t* buffer = nullptr;
        uint32_t count = 0;
        telvo_backend_completion done = nullptr;
        void* context = nullptr;
    };

    // State handling; every *Locked member expects mutex_ held.
    void resetLocked();
    bool faultFires(tsim_fault fault);
    void protocolError(const char* format, ...);
    void recordWrite(int device, uint8_t pipe, const uint8_t* data, uint32_t count, bool failed);

    void* makeHandle(uint32_t serial, int slot) const;
    int fileSlot(telvo_backend_file file) const;
    int interfaceSlot(telvo_backend_interface iface) const;
    bool deviceGone(int device) const { return device >= deviceCount_; }

    void handleCommand(const uint8_t* bytes, uint32_t count);
    void handleBlock(const uint8_t* bytes, uint32_t count);
    void purge(bool endMove);
    void stop();

    void advanceLocked(int ms);
    void stepMachine();
    void executeSegment();
    void startDeceleration();
    void snapAxis(int axis);
    void latchEvent(uint8_t code, uint8_t axis, const int32_t* position);
    int32_t counter(int axis) const;
    uint8_t machineState() const;
    void buildFrame(tsim_frame* frame, bool takeEvent);
    void serviceReads();
    void serviceRead(InterfaceSlot& slot);
    void complete(InterfaceSlot& slot, const uint8_t* frame);

    static void realtimeTick(void* self);

    SimMutex mutex_;
    SimMutex realtimeControl_;  // serialises starting and stopping the ticker
    Ticker ticker_;

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
    int writeBase_;             // index of writes_.front() among all writes
    size_t writeBytes_;
    int controlCount_;
    int readCount_;
    std::deque<std::string> messageTexts_;
    std::deque<std::string> messageCaptions_;
    void (*messageHook_)(void*);
    void* messageHookContext_;
    std::deque<std::string> protocolErrors_;
    int protocolErrorCount_;
    bool haveAxisConfig_;
    bool haveIoConfig_;
    uint8_t axisConfig_[kAxisConfigBytes];
    uint8_t ioConfig_[kIoConfigBytes];
    std::array<std::vector<uint8_t>, 256> lastPayload_;
    std::array<int, 256> commandCount_;
    std::vector<tsim_executed> executedLog_;
    int64_t executedCount_;
    int64_t blockCount_;

    // Frames.
    bool scripted_;
    int framePeriod_;
    int msSinceFrame_;
    std::deque<std::array<uint8_t, kFrameBytes>> pushedFrames_;
    std::deque<Event> events_;

    // The machine.
    int64_t clock_;
    int64_t exact_[kMotionAxes];   // millionths of a step
    int32_t counter6_;             // axis 6 only reports what it was set to
    bool jogging_[kMotionAxes];
    int64_t jogVelocity_[kMotionAxes];   // steps per second << 12, signed
    int64_t jogRemainder_[kMotionAxes];  // millionths << 12 not yet moved
    int homingLeft_[kMotionAxes];        // ms until the homing ends, 0 none
    int homingMs_;
    std::vector<Segment> ring_;
    int ringHead_;
    int ringCount_;
    int bufferSize_;
    bool halted_;
    uint16_t lastSlot_;
    uint32_t spindlePeriod_;

    // Probing.
    bool probeArmed_;
    bool decelAfterPurge_;
    int decelLeft_;
    int decelMs_;
    int decelDirection_[kMotionAxes];
    int probeAxis_;
    int32_t probeThreshold_;
    int probeDirection_;

    // Real time.
    double realtimeSpeed_;
    // Write hold (tsim_hold_writes): writes wait at the door, outside the
    // simulator's lock, while held.
    std::atomic<int> holdWrites_{0};
    std::atomic<int> writesHeld_{0};
    double realtimeBaseMs_;
    int64_t realtimeAdvanced_;
};

// Little-endian packing of the 60-byte status frame.
void encodeFrame(const tsim_frame& frame, uint8_t out[kFrameBytes]);
void decodeFrame(const uint8_t in[kFrameBytes], tsim_frame* frame);

// The one simulator of the process, created when the module loads; null
// once the module is being unloaded or the process has begun to exit.
Simulator* instance();

}  // namespace tsim
