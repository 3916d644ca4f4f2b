// The engine: one machine driven through the library, steered by commands
// from any number of front ends (the command line, the operator's station).
//
// It is non-blocking: advance() runs one host cycle (read the status, send
// what the flow control allows, keep the stream about `depth` ahead of the
// controller, act on what the program reached) and returns. A front end
// calls it in its own loop, with sleepUntilNextCycle() between calls, and
// issues commands between cycles. Commands answer at once: "" when taken,
// otherwise the reason they were refused. What happens later comes as
// events to the observers and in status().
//
// Programs are streamed: a line is read, interpreted, planned and sampled
// only as the stream needs it, so memory does not depend on the program's
// length. Every motion it makes (programs, MDI, jogs, approaches) goes
// through the same look-ahead planner, within every axis's limits, and
// every 1 ms target is checked by the run checker as it is sent.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "plan/checker.h"
#include "core/common.h"
#include "plan/lookahead.h"
#include "files/machine.h"
#include "files/trace.h"

namespace telvo::tool {

enum class EngineMode {
    Closed,   // no controller
    Idle,     // at rest, ready for commands
    Running,  // a program or an MDI line moves the machine
    Holding,  // decelerating to a hold
    Held,     // at rest in the middle of a program or line: resume or stop
    Paused,   // the program waits at M0/M1 or a tool change: resume or stop
    Jogging,  // a continuous or incremental jog
    Homing,
    Probing,
    Stopping,  // decelerating to rest, then the program ends
    Fault,     // the controller stopped answering or refused a command: see alarms
};
const char* modeName(EngineMode mode);

// Why a program waits (mode Held or Paused).
enum class WaitReason { None, FeedHold, ProgramPause, OptionalPause, ToolChange };

struct EngineStatus {
    EngineMode mode = EngineMode::Closed;
    WaitReason waiting = WaitReason::None;
    // False after an abort, after status frames stopped and after the
    // controller was reconnected, until homing or confirmPosition():
    // run, resume and run-from-line are refused meanwhile.
    bool positionKnown = false;
    Vec6 machine{};      // machine coordinates, machine units (from the counters)
    Vec6 work{};         // program coordinates under the active offsets
    int workSystem = 0;  // 0..8: G54..G59.3
    std::array<Vec6, 9> workOffsets{};
    Vec6 g92{};
    double toolLength = 0.0;  // in effect (G43)
    int tool = 0;             // loaded
    std::string program;      // file of the program loaded or running ("" none)
    int line = 0;             // source line being executed (0: none)
    double feed = 0.0;        // planned path speed being executed, units/s
    double feedOverride = 1.0, rapidOverride = 1.0, spindleOverride = 1.0;
    int bufferLevel = 0;       // segments the controller holds
    int queued = 0;            // segments in the library's queue, not yet sent
    double spindleRpm = 0.0;   // programmed (before the override)
    int spindleDirection = 0;  // +1 cw, -1 ccw, 0 off
    bool mist = false, flood = false;
    double elapsed = 0.0;    // seconds of the current job
    double estimate = 0.0;   // the pre-pass's machine time of the program, s
    uint64_t underruns = 0;  // the controller ran dry while motion was planned
    std::vector<std::string> alarms;
};

struct EngineEvent {
    enum class Kind {
        Message,     // (MSG, ...) reached, or a note of the engine's
        Action,      // the program switched the spindle or coolant, changed tools, ended
        Pause,       // M0/M1 reached: waits for resume()
        ToolChange,  // M6 reached: load `tool`, then resume()
        Error,       // a command or the program failed; the machine is at rest
        Finished,    // a program, MDI line, jog, homing or probe ended
    };
    Kind kind = Kind::Message;
    int line = 0;
    int tool = 0;
    std::string text;
};

class EngineObserver {
public:
    virtual ~EngineObserver() = default;
    virtual void onEvent(const EngineEvent& event) { (void)event; }
    // Every 1 ms target handed to the library, in order.
    virtual void onSample(const Sample& sample) { (void)sample; }
    // Every status frame the controller sent.
    virtual void onFrame(const StatusFields& frame, double seconds) { (void)frame, (void)seconds; }
};

// What M0, M1 (with the optional stop on) and M6 do: wait for resume(), go
// on (no operator: a batch run), or end the program there.
enum class PauseBehaviour { Wait, GoOn, End };

struct EngineOptions {
    double speed = 1.0;  // simulated clock: times real time; 0 = stepped
    bool requireSimulator = false;
    std::string tracePath;
    // Motion kept ahead of the controller (its buffer plus the library's
    // queue), ms; 0: the machine file's stream_depth. Clamped to what the
    // flow control lets the controller hold.
    double depthMs = 0.0;
    bool blockDelete = false;
    PauseBehaviour pauses = PauseBehaviour::Wait;       // M0 and M1
    PauseBehaviour toolChanges = PauseBehaviour::Wait;  // M6
    bool optionalStop = true;                           // M1 pauses like M0
};

// What the last job did, for the summary: kept until the next job starts.
struct JobReport {
    std::string name;
    std::string ended;  // why it ended ("program finished", "stopped", ...)
    bool failed = false;
    uint64_t segments = 0;                    // handed to the library
    int64_t executed = -1;                    // by the controller (-1: not known)
    int64_t blocks = 0;                       // motion blocks written (simulator)
    int lowestLevel = -1, highestLevel = -1;  // controller buffer once the stream was at its depth
    uint64_t underruns = 0;
    std::array<long long, kAxisCount> expectedEnd{};  // steps, from the last target
    std::array<int32_t, kAxisCount> finalPosition{};  // the counters at the end
    bool endReached = false;
    double controllerSeconds = 0.0, wallSeconds = 0.0;
    int line = 0;  // the last line executed
    // The run checker over every target sent and every report: against the
    // program's own geometry, the axes' limits, the feed times its override.
    CheckReport check;
    bool checked = false;  // the end was checked (the job ran to its end)
};

// What the pre-pass found: problems, travel, time, the feed bound.
struct ProgramCheck {
    std::vector<Diagnostic> errors, notes;
    bool truncated = false;
    size_t lines = 0, moves = 0;
    double seconds = 0.0, feedBoundSeconds = 0.0;
    bool ok() const { return errors.empty(); }
};

// A run without a controller (`telvo check`): what the pre-pass finds, and
// the run checker's verdict on every 1 ms target the run would send.
struct DryRun {
    ProgramCheck program;
    CheckReport check;
    size_t targets = 0;
};

class Engine {
public:
    Engine(const Machine& machine, EngineOptions options);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Opens and configures the controller; throws ToolError.
    void open();
    void close();
    void advance();
    void sleepUntilNextCycle();
    const EngineStatus& status() const;
    const JobReport& lastReport() const;
    bool simulated() const;
    std::string controllerDescription() const;
    std::string firmware() const;
    std::vector<std::string> protocolErrors();
    // Interpretation only, no controller: the problems that do not depend
    // on where the machine stands (before it is even opened).
    static ProgramCheck read(const std::string& path, const GcodeSetup& setup);
    // Interprets, plans and samples a program from machine zero with no
    // controller, every target through the run checker; `target`, when
    // given, sees each target. Constant memory, like a run.
    static DryRun dryRun(const Machine& machine, const std::string& path, bool blockDelete,
                         const std::function<void(const Sample&)>& target = {});
    void addObserver(EngineObserver* observer);
    void removeObserver(EngineObserver* observer);

    // The pre-pass over a program file: interpret and plan from where the
    // machine stands (or from machine zero when closed), without sampling;
    // refused (errors[0] says why) unless idle. `piece`, when given, gets
    // every programmed move's end point in machine coordinates, whether it
    // is a rapid, and its line, in order (for a preview).
    ProgramCheck check(const std::string& path,
                       const std::function<void(const Vec6&, bool rapid, int line)>& piece = {});
    // Commands: "" when taken, otherwise why not.
    std::string run(const std::string& path, int fromLine = 0);
    std::string mdi(const std::string& line);
    std::string hold();
    std::string resume();
    std::string stop();  // decelerate, then end the job: spindle and coolant off
    // Stop at once: the controller stops and drops what it holds, and the
    // stream is realigned on status frames read after the stop (it waits up
    // to two frames for them), so a jog right after starts from where the
    // machine stands. Run and resume need homing or confirmPosition() then.
    std::string abort();
    std::string setFeedOverride(double scale);     // 0.01 .. 2
    std::string setRapidOverride(double scale);    // 0.25, 0.5, 1
    std::string setSpindleOverride(double scale);  // 0.5 .. 1.5
    // Jogs: a continuous jog runs towards the axis's soft limit and stops
    // on it (refused while the axis stands at it); jogStop() decelerates
    // it. A step that would leave the travel is refused, never clipped.
    std::string jogStart(int axis, int direction, double speed);  // units/s
    std::string jogStop();
    std::string jogStep(int axis, double distance, double speed);
    std::string home(int axis);      // -1: every configured axis, Z first
    std::string zeroAxis(int axis);  // the active work offset puts the axis at 0 here
    // Probes along `axis` towards `direction` (+1/-1) at most `distance`
    // units at `feed` units/s; on contact the active work offset puts the
    // axis at `plate` (the touch plate's thickness) there, then it backs
    // off `retract` units. Defaults from the machine file's [touch_off].
    std::string touchOff(int axis, int direction, double distance, double feed, double plate,
                         double retract);
    std::string confirmPosition();
    std::string spindle(int direction, double rpm);
    std::string coolant(bool mist, bool flood);
    std::string saveOffsets(const std::string& path);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace telvo::tool
