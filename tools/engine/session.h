// The host loop: telvo driven the way a machine-control host drives it.
//
// Open, Init, wait for a status frame, PosResync; then every cycle
// telvo_GetStatus, telvo_BufUpdate when a new record came, and telvo_BufAdd
// while telvo_BufFreeCnt is above 0. Homing, probing and jogging are direct
// commands followed through the same loop. Each segment's tag is its number
// in the stream, so the status record's segmentTag tells the progress.
//
// With the simulated controller the loop runs in one of two clocks: real
// time (the simulator's own thread advances its clock at `speed` times real
// time and the loop sleeps about half a millisecond per cycle) or stepped
// (speed 0: the loop advances the simulated clock by 1 ms per cycle, which
// runs as fast as the host can and gives the same result every time).
#pragma once

#include <telvo/telvo.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/common.h"
#include "engine/controller.h"
#include "files/machine.h"
#include "files/plot.h"
#include "files/trace.h"
#include "plan/trajectory.h"

namespace telvo::tool {

enum class ProgressMode { Off, Live, Lines };

// telvo_GetProbeResult: the move ended without a trigger (or was empty), or
// the probe triggered.
constexpr int kProbeEndedUntriggered = 2;
constexpr int kProbeTriggered = 3;

struct SessionOptions {
    double speed = 1.0;  // simulated clock: times real time; 0 = stepped
    // Refuse to open when the library bound no simulated controller.
    bool requireSimulator = false;
    std::string tracePath;
    ProgressMode progress = ProgressMode::Off;
    std::FILE* progressStream = stderr;
    // Keep the executed path and buffer history for the plot (it grows with
    // the run; the engine keeps its own bounded record instead).
    bool recordPlot = true;
};

struct StreamStats {
    size_t segments = 0;   // in the trajectory
    size_t sent = 0;       // taken by telvo_BufUpdate
    int64_t executed = 0;  // by the controller
    int64_t blocks = 0;    // motion blocks written
    int lowestLevel = -1;  // controller buffer, once first filled
                           // and until everything was sent; -1 if
                           // it never filled (short streams)
    int highestLevel = -1;
    int underruns = 0;                                // frames with an empty buffer mid-stream
    std::array<long long, kAxisCount> expectedEnd{};  // steps
    std::array<int32_t, kAxisCount> finalPosition{};  // steps
    bool endReached = false;
    double controllerSeconds = 0.0;
    double wallSeconds = 0.0;
};

struct ProbeOutcome {
    int result = 0;  // telvo_GetProbeResult
    bool triggered = false;
    Vec6 position{};  // steps, when triggered
    double controllerSeconds = 0.0;
};

// Raised by the loop when SIGINT/SIGTERM arrived.
class Interrupted : public ToolError {
public:
    Interrupted() : ToolError("interrupted") {}
};

// Set from a signal handler; the loop stops at its next cycle. Counted: a
// run stops with deceleration at the first, aborts at the second.
void requestStop();
int stopRequests();
// Whether requestStop was called: waits outside the loop (an operator
// prompt) end on it too.
bool stopRequested();

class Session {
public:
    Session(const Machine& machine, SessionOptions options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool simulated() const { return sim_ != nullptr; }
    std::string controllerDescription() const;

    // telvo_Open; throws when no controller is present.
    void open();
    std::string firmware() const;
    // Buffer size, telvo_Init, first status frame, telvo_PosResync.
    void configure();
    // Homes one axis (0..5) and waits for its end.
    void home(int axis);
    // Homes every configured axis, Z first.
    void homeAll();
    // Streams a trajectory that starts at the controller's position.
    // `label` starts its progress lines.
    StreamStats stream(const Trajectory& trajectory, const std::string& label);
    // A probing move between two points in steps at `speed` units/s.
    ProbeOutcome probe(const Vec6& startSteps, const Vec6& endSteps, double speed);
    // Jogs an axis at `velocity` units/s (sign = direction) for `seconds`.
    void jog(int axis, double velocity, double seconds);
    // Calls `print` with status records at most every `everyMs`, for
    // `seconds` (0: until interrupted).
    void watch(double seconds, double everyMs,
               const std::function<void(const StatusFields&, double)>& print);
    // telvo_Disconnect, then telvo_Close; safe to call twice.
    void disconnect();
    void close();
    // After an error or interrupt: stop, clear the queue, disconnect, close.
    void abort();

    // The controller's counters as of the last status record.
    Vec6 positionSteps() const;
    Vec6 positionUnits() const;
    const StatusFields& lastStatus() const { return status_; }
    // Seconds on the controller's clock (simulated) or the host's.
    double now() const;

    // The engine's non-blocking primitives. poll(): one host cycle without
    // sleeping (the stepped clock moves 1 ms): telvo_GetStatus, and
    // telvo_BufUpdate when a record came; true when one came. Throws
    // ToolError when the controller stopped answering (machine stopped).
    bool poll();
    void sleepCycle();
    uint64_t frames() const { return frames_; }
    int64_t blockWrites() const { return blockWrites_; }
    // Segments the simulated controller executed (-1: a real controller).
    int64_t executedCount();
    // Segments in the library's queue not yet sent, and room for more.
    int queued() const;
    int freeSlots() const;
    bool add(const MotionSegment& segment);
    // Direct commands; false when the write failed.
    bool spindleCommand(uint8_t mode, uint16_t value, int speed);
    bool outputs(uint16_t bits);
    // Stop the controller at once, empty the queue and its buffer, and
    // realign the stream with where it stands.
    void stopAndClear(const char* why);
    void startHoming(int axis);
    bool homing() const;
    // A probing move (telvo_CmdProbe) from where the controller stands;
    // throws ToolError when it cannot be sent. probeEnded(): its outcome
    // once telvo_IsProbing is 0, nothing while it runs.
    void startProbe(const Vec6& startSteps, const Vec6& endSteps, double speed);
    std::optional<ProbeOutcome> probeEnded();
    void realign() { resync(); }
    void record(const std::string& text) { note(text); }

    // Protocol errors the simulator saw (empty for a real controller).
    std::vector<std::string> protocolErrors();
    PlotData& plot() { return plot_; }
    // While set, called with every status record: the position (machine
    // units, configured axes), the time (now()) and the segments of this
    // session's streams the controller has executed by then.
    using ReportSink = std::function<void(const Vec6& units, double seconds, size_t segments)>;
    void onReports(ReportSink sink) { reportSink_ = std::move(sink); }
    // Drops the executed path and buffer history gathered so far.
    void clearHistory();
    // Segments of the streams this session has finished.
    size_t segmentsStreamed() const { return segmentsDone_; }
    // Closes the trace file; throws when it could not be written.
    void finishTrace();
    void note(const std::string& text);

private:
    bool cycle();
    void drainWrites();
    void onStatus(const MachineStatus& record);
    // Runs cycles until `done` or the timeout (controller seconds).
    void runUntil(const std::function<bool()>& done, double timeoutSeconds,
                  const std::string& what);
    void waitFrames(int frames);
    void waitIdle(double timeoutSeconds);
    void resync();
    // The controller stopped sending status frames: stop, spindle off, throw.
    [[noreturn]] void stopForSilence(double silentSeconds);
    void progressLine(const StreamStats& stats, size_t total, double startTime, bool final);

    const Machine& machine_;
    SessionOptions options_;
    std::unique_ptr<SimControl> sim_;
    TraceWriter trace_;
    bool open_ = false;
    bool realtimeStarted_ = false;
    StatusFields status_{};
    uint64_t frames_ = 0;
    double lastFrameAt_ = 0.0;  // now() of the last status frame (or of a pause of the host's)
    double lastCycleAt_ = 0.0;
    int64_t blockWrites_ = 0;
    std::chrono::steady_clock::time_point hostStart_;
    std::chrono::steady_clock::time_point lastProgress_{};
    int lastProgressDecile_ = -1;
    std::string progressLabel_;
    size_t liveWidth_ = 0;
    PlotData plot_;
    ReportSink reportSink_;
    // Streaming state read by onStatus.
    bool streaming_ = false;
    bool allSent_ = false;
    bool primed_ = false;
    std::chrono::steady_clock::time_point streamWallStart_{};
    StreamStats* stats_ = nullptr;
    size_t segmentsDone_ = 0;
    // The tag the status records showed when the current stream started:
    // records still showing it come from before the stream's first segment.
    int32_t staleTag_ = 0;
    bool freshTags_ = false;
};

}  // namespace telvo::tool
