// The simulated machine: what the controller does with the command packets
// and motion blocks it accepted. Six motion axes and a reporting-only
// seventh counter, the segment buffer and its execution one segment per
// millisecond, jogging, homing, the probe with its deceleration, the events
// the status frames carry, and the records the control API reads back.
//
// Plain state without locking: the simulator's one mutex is held by whoever
// calls in (sim_device.h). Nothing moves unless step() is called.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "sim_log.h"
#include "telvo_wire.h"
#include "telvo_sim.h"

namespace tsim {

// The wire format and the control API count the same axes and counters.
static_assert(kMotionAxes == TSIM_MOTION_AXES && kCounters == TSIM_COUNTERS);

constexpr int kMinBufferSize = 300;
constexpr int kMaxBufferSize = 1000;
constexpr int kDefaultBufferSize = 1000;
constexpr int kDefaultHomingMs = 50;
constexpr int kDefaultProbeDecelMs = 5;
constexpr int64_t kProbeDecelStepsPerMs = 2;
constexpr int64_t kMicro = 1'000'000;     // exact positions count millionths of a step
constexpr int64_t kMidStep = kMicro / 2;  // where the machine rests within a step
constexpr size_t kExecutedLogCapacity = size_t{1} << 20;

class Machine {
public:
    explicit Machine(ProtocolLog& log) : log_(log) { reset(); }
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Back to the state after power-up, with the default settings.
    void reset();

    // What arrives on the OUT pipes (already written successfully).
    void handleCommand(const uint8_t* bytes, uint32_t count);
    void handleBlock(const uint8_t* bytes, uint32_t count);

    // One millisecond of the machine's clock.
    void step();
    int64_t clockMs() const { return clock_; }

    // The status frame as the machine stands; takeEvent removes the event it
    // shows from the queue (a delivered frame), otherwise it stays (a peek).
    void buildFrame(tsim_frame* frame, bool takeEvent);
    int pendingEvents() const { return static_cast<int>(events_.size()); }

    // Records of what was accepted.
    int axisConfig(uint8_t out[kAxisConfigBytes]) const;
    int ioConfig(uint8_t out[kIoConfigBytes]) const;
    int lastCommand(int code, uint8_t* out, int capacity) const;
    int commandCount(int code) const;
    int64_t executedCount() const { return executedCount_; }
    int64_t blockCount() const { return blockCount_; }
    int executedGet(int64_t n, tsim_executed* out) const;

    // Positions and the buffer.
    void position(int32_t out[kCounters]) const;
    void exactPosition(int64_t out[kMotionAxes]) const;
    void setPosition(const int32_t position[kCounters]);
    int bufferLevel() const { return ringCount_; }
    void setBufferSize(int size);

    // Settings of homing, probing and the spindle.
    void setHomingTime(int ms);
    void setProbeSurface(int axis, int32_t threshold, int direction);
    void setProbeDecel(int ms);
    int probeArmed() const { return probeArmed_ ? 1 : 0; }
    uint32_t spindlePeriod() const { return spindlePeriod_; }
    void setSpindlePeriod(uint32_t ticks) { spindlePeriod_ = ticks; }

private:
    struct Segment {
        int32_t phase[kMotionAxes];
        int32_t travel[kMotionAxes];
        uint16_t slot;
        uint8_t code;
        uint8_t aux;
    };
    struct Event {
        MachineEvent code;
        uint8_t axis;
        bool hasPosition;
        int32_t position[kCounters];
    };

    void purge(bool endMove);
    void stop();
    void executeSegment();
    void startDeceleration();
    void snapAxis(int axis);
    void latchEvent(MachineEvent code, uint8_t axis, const int32_t* position);
    int32_t counter(int axis) const;
    MachineState state() const;

    ProtocolLog& log_;

    // Records.
    bool haveAxisConfig_;
    bool haveIoConfig_;
    uint8_t axisConfig_[kAxisConfigBytes];
    uint8_t ioConfig_[kIoConfigBytes];
    std::array<std::vector<uint8_t>, 256> lastPayload_;
    std::array<int, 256> commandCount_;
    std::vector<tsim_executed> executedLog_;
    int64_t executedCount_;
    int64_t blockCount_;
    std::deque<Event> events_;

    // Axes and the buffer.
    int64_t clock_;
    int64_t exact_[kMotionAxes];  // millionths of a step
    int32_t seventh_;             // the seventh counter only reports what it was set to
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
};

// Little-endian packing of the 60-byte status frame.
void encodeFrame(const tsim_frame& frame, uint8_t out[kFrameBytes]);
void decodeFrame(const uint8_t in[kFrameBytes], tsim_frame* frame);

}  // namespace tsim
