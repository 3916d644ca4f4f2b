// The engine; see engine.h.
#include "engine/engine.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "engine/feed.h"
#include "engine/session.h"

namespace telvo::tool {
namespace {

// The controller's buffer can hold at most its size less this many
// segments in practice: the flow control keeps 150 free, and a status frame
// may come when 75 more were just sent.
constexpr int kDepthMargin = 75;
// Status frames in a row showing an empty buffer (after the last segment
// was sent) before the motion counts as executed.
constexpr uint64_t kQuietFrames = 2;
// Tags of segments in flight remembered for the executing line: more than
// the library's queue and the controller's buffer hold together.
constexpr size_t kTagRing = 8192;
// Homing and probing give up after this long on the controller's clock.
constexpr double kHomingTimeout = 120.0;
// A continuous jog without soft limits goes at most this far (units).
constexpr double kFarJog = 10000.0;
// After a stop at once, fresh status frames are waited for at most this
// long (controller seconds) before the stream is realigned.
constexpr double kSettleSeconds = 0.1;

const char* const kModeNames[] = {"closed",  "idle",   "running", "holding",  "held", "paused",
                                  "jogging", "homing", "probing", "stopping", "fault"};

}  // namespace

const char* modeName(EngineMode mode) {
    return kModeNames[static_cast<int>(mode)];
}

struct Engine::Impl {
    Impl(const Machine& m, EngineOptions o)
        : machine(m),
          options(std::move(o)),
          link(m, sessionOptions(options)),
          limits(m.limits()),
          settings(m.planSettings()) {
        state.workOffsets = m.program.workOffsets;
        state.tools = m.program.tools;
        tags.resize(kTagRing);
        double depth = options.depthMs > 0.0 ? options.depthMs : m.program.streamDepthMs;
        int most = std::max(1, m.bufferSize - kDepthMargin);
        if (depth > most) {
            depthNote = fmt::format(
                "stream depth {:g} ms is more than the controller's buffer lets it hold; {} ms "
                "are kept",
                depth, most);
            depth = most;
        }
        depthSegments = static_cast<int>(std::lround(depth));
    }

    static SessionOptions sessionOptions(const EngineOptions& o) {
        SessionOptions s;
        s.speed = o.speed;
        s.requireSimulator = o.requireSimulator;
        s.tracePath = o.tracePath;
        s.recordPlot = false;
        return s;
    }

    // ---- jobs -----------------------------------------------------------
    enum class JobKind { None, Program, Mdi, Jog, Approach, Retract };
    struct Job {
        JobKind kind = JobKind::None;
        std::unique_ptr<OpFeed> feed;
        std::unique_ptr<LookAhead> planner;
        uint64_t ops = 0;
        bool sampled = false;  // the planner said Done
        bool waiting = false;  // an action waits for the motion before it
        Op action;
        bool stopAtHold = false;  // stop: discard at the hold
        bool holdSeen = false;    // the planner is at its hold point
        std::string name;
        std::unique_ptr<RunChecker> checker;
        int32_t firstTag = 0;  // the tag of its first segment
    };

    const Machine& machine;
    EngineOptions options;
    Session link;
    JobReport report;
    int64_t executedAtStart = 0, blocksAtStart = 0;
    std::chrono::steady_clock::time_point wallStart{};
    bool primed = false;
    Vec6 lastSteps{};  // the last target sent
    Vec6 firstSteps{};
    MotionLimits limits;
    PlanSettings settings;
    EngineStatus status;
    std::vector<EngineObserver*> observers;
    GcodeState state;  // offsets, tools and the loaded tool the next job starts from
    std::unique_ptr<GcodeInterpreter> mdi;
    std::string depthNote;
    int depthSegments = 250;

    Job job;              // what moves the machine
    Job suspended;        // a program waiting (Held/Paused) while a jog or return move runs
    bool jogged = false;  // moved by hand while the program waited
    Vec6 pausedAtSteps{};
    EngineMode afterJog = EngineMode::Idle;
    WaitReason waitingFor = WaitReason::None;

    // Streaming bookkeeping.
    int32_t nextTag = 0;
    struct TagInfo {
        int line = 0;
        double speed = 0.0;
    };
    std::vector<TagInfo> tags;
    uint64_t framesAtLastAdd = 0;
    double lastSentSpeed = 0.0;
    // The controller has held segments since the motion last started from
    // rest: an empty buffer before that is the stream's start, not an
    // underrun (the first block goes out after the frame that shows none).
    bool flowing = false;
    double jobStart = 0.0;

    // Probing: a touch-off in progress.
    struct Probe {
        bool active = false;
        bool ended = false;      // the move ended; waiting for the machine to rest
        uint64_t quietFrom = 0;  // frames when it ended
        int axis = 2, direction = -1;
        double plate = 0.0, retract = 0.0;
        bool touchOff = true;
        ProbeOutcome outcome;
    } probe;

    // Homing and probing.
    std::vector<int> homingAxes;
    bool homingStarted = false;
    uint64_t homingFramesAt = 0;
    double homingSince = 0.0;

    // Spindle and coolant as commanded.
    int spindleDirection = 0;
    double spindleRpm = 0.0;
    bool mist = false, flood = false;
    uint16_t outputBits = 0;

    // ---- helpers --------------------------------------------------------
    void emit(const EngineEvent& e) {
        for (EngineObserver* o : observers) o->onEvent(e);
    }
    void message(const std::string& text, int line = 0) {
        emit({EngineEvent::Kind::Message, line, 0, text});
    }
    void action(int line, const std::string& text) {
        emit({EngineEvent::Kind::Action, line, 0, text});
    }
    void error(const std::string& text, int line = 0) {
        status.alarms.push_back(text);
        if (status.alarms.size() > 16) status.alarms.erase(status.alarms.begin());
        emit({EngineEvent::Kind::Error, line, 0, text});
    }
    Vec6 hereUnits() const { return link.positionUnits(); }
    Vec6 hereSteps() const { return link.positionSteps(); }
    bool idle() const { return status.mode == EngineMode::Idle; }

    GcodeSetup setup() const {
        GcodeSetup s = machine.gcodeSetup();
        s.workOffsets = state.workOffsets;
        s.tools = state.tools;
        s.loadedTool = state.loadedTool;
        s.blockDelete = options.blockDelete;
        return s;
    }

    std::unique_ptr<LookAhead> planner() const {
        return std::make_unique<LookAhead>(settings, hereUnits(), hereSteps());
    }

    int depth() const { return status.bufferLevel + link.queued(); }

    bool drained() const {
        return link.queued() == 0 && status.bufferLevel == 0 &&
               link.frames() >= framesAtLastAdd + kQuietFrames;
    }

    // ---- spindle and coolant -------------------------------------------
    bool sendSpindle(int direction, double rpm) {
        const SpindleSettings& s = machine.spindle;
        if (!s.configured) return direction == 0;
        int mode = direction > 0 ? s.cwMode : (direction < 0 ? s.ccwMode : s.offMode);
        double r = direction == 0 ? 0.0 : std::min(rpm * status.spindleOverride, s.maxRpm);
        auto value = static_cast<uint16_t>(std::lround(r / s.maxRpm * s.valueAtMax));
        int speed = static_cast<int>(std::lround(r / 60.0 * s.stepsPerRev));
        bool ok = link.spindleCommand(static_cast<uint8_t>(mode), value, speed);
        if (ok) spindleDirection = direction, spindleRpm = rpm;
        return ok;
    }
    bool sendCoolant(bool m, bool f) {
        const CoolantSettings& c = machine.coolant;
        if (!c.configured) return !m && !f;
        uint16_t bits = outputBits;
        if (c.mistBit >= 0)
            bits = static_cast<uint16_t>(m ? bits | (1u << c.mistBit) : bits & ~(1u << c.mistBit));
        if (c.floodBit >= 0)
            bits =
                static_cast<uint16_t>(f ? bits | (1u << c.floodBit) : bits & ~(1u << c.floodBit));
        bool ok = link.outputs(bits);
        if (ok) outputBits = bits, mist = m, flood = f;
        return ok;
    }
    void allOff() {
        if (spindleDirection != 0) sendSpindle(0, 0.0);
        if (mist || flood) sendCoolant(false, false);
    }

    // ---- job control ----------------------------------------------------
    void startJob(Job j, EngineMode mode) {
        job = std::move(j);
        if (job.planner && !job.checker) {
            job.checker =
                std::make_unique<RunChecker>(checkSettings(settings), hereUnits(), hereSteps());
            job.firstTag = nextTag + 1;
        }
        status.mode = mode;
        status.waiting = WaitReason::None;
        jobStart = link.now();
        lastSentSpeed = 0.0;
        if (job.kind == JobKind::Program || job.kind == JobKind::Mdi ||
            suspended.kind == JobKind::None) {
            report = JobReport{};
            report.name = job.name;
            executedAtStart = link.executedCount();
            blocksAtStart = link.blockWrites();
            wallStart = std::chrono::steady_clock::now();
            primed = false;
            firstSteps = lastSteps = hereSteps();
        }
    }

    void closeReport(const std::string& why, bool failed) {
        if (job.checker) {
            // A job stopped on the way is checked up to where it stopped.
            report.checked = job.sampled && !failed && !job.stopAtHold;
            report.check = report.checked ? job.checker->finish() : job.checker->report();
        }
        report.ended = why;
        report.failed = failed;
        int64_t executed = link.executedCount();
        report.executed = executed >= 0 ? executed - executedAtStart : -1;
        report.blocks = link.blockWrites() - blocksAtStart;
        report.underruns = status.underruns;
        report.controllerSeconds = link.now() - jobStart;
        report.wallSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        report.expectedEnd = endSteps(lastSteps, firstSteps, limits);
        report.endReached = true;
        const StatusFields& f = link.lastStatus();
        for (int a = 0; a < kAxisCount; ++a) {
            report.finalPosition[a] = f.position[static_cast<size_t>(a)];
            if (limits[a].enabled && report.finalPosition[a] != report.expectedEnd[a])
                report.endReached = false;
        }
        report.line = status.line;
    }

    // The job ended (or was stopped): the machine is at rest.
    void finishJob(const std::string& why, bool failed) {
        JobKind kind = job.kind;
        if (suspended.kind == JobKind::None || failed) closeReport(why, failed);
        if (kind == JobKind::Program || failed) allOff();
        if (kind == JobKind::Program || kind == JobKind::Mdi) syncState();
        int line = status.line;
        job = Job{};
        status.feed = 0.0;
        if (kind == JobKind::Jog || kind == JobKind::Approach || kind == JobKind::Retract) {
            // Back to what the jog interrupted.
            if (suspended.kind != JobKind::None) {
                if (kind == JobKind::Approach) {
                    job = std::move(suspended);
                    suspended = Job{};
                    jogged = false;
                    status.mode = EngineMode::Running;
                    status.waiting = WaitReason::None;
                    if (job.planner && job.planner->held()) job.planner->resume();
                    return;
                }
                status.mode = afterJog;
                status.waiting = waitingFor;
                return;
            }
        }
        status.mode = EngineMode::Idle;
        status.waiting = WaitReason::None;
        if (failed)
            emit({EngineEvent::Kind::Error, line, 0, why});
        else
            emit({EngineEvent::Kind::Finished, line, 0, why});
    }

    // What a program or MDI line left: offsets, tools, the loaded tool.
    void syncState() {
        // The interpreter ran ahead of the motion only within the window;
        // at the end of a job its state is the program's final state.
        if (job.kind == JobKind::Program && job.feed) {
            auto* program = dynamic_cast<ProgramFeed*>(job.feed.get());
            if (program) keepState(program->interpreter().state());
        }
        if (job.kind == JobKind::Mdi && mdi) keepState(mdi->state());
    }
    void keepState(const GcodeState& s) {
        state.workOffsets = s.workOffsets;
        state.tools = s.tools;
        state.loadedTool = s.loadedTool;
        state.workSystem = s.workSystem;
        state.g92 = s.g92;
        state.toolOffset = s.toolOffset;
    }

    // Hands samples to the library while the stream is less than its depth
    // ahead of the controller; acts on what the planner reaches.
    void pump() {
        if (!job.planner) return;
        if (job.waiting) {
            if (!drained()) return;
            job.waiting = false;
            if (!perform(job.action)) return;
        }
        while (depth() < depthSegments && link.freeSlots() > 0) {
            LookAhead::Next n = job.planner->next();
            if (n == LookAhead::Next::Sample) {
                send(job.planner->sample());
                if (!job.planner) return;  // the library refused it: the job failed
                continue;
            }
            if (n == LookAhead::Next::NeedInput) {
                Op op;
                if (job.feed && job.feed->next(op)) {
                    if (job.checker) job.checker->addOperation(op);
                    job.planner->push(op, job.ops++);
                } else {
                    if (job.feed && !job.feed->errors().empty()) {
                        const Diagnostic& d = job.feed->errors().front();
                        job.planner->finish();
                        failJob(fmt::format("{}:{}: {}{}", job.name, d.line,
                                            d.word.empty() ? "" : d.word + ": ", d.message),
                                d.line);
                        return;
                    }
                    job.planner->finish();
                }
                continue;
            }
            if (n == LookAhead::Next::Action) {
                const Op& op = job.planner->action();
                if (op.kind == OpKind::Message) {
                    message(op.text, op.line);
                    continue;
                }
                job.action = op;
                job.waiting = true;
                primed = false;  // the stream drains for the action and refills after it
                return;
            }
            if (n == LookAhead::Next::Held) {
                job.holdSeen = true;
                break;
            }
            if (n == LookAhead::Next::Done) {
                job.sampled = true;
                break;
            }
            if (n == LookAhead::Next::Error) {
                const Diagnostic& d = job.planner->error();
                failJob(fmt::format("{}:{}: {}", job.name, d.line, d.message), d.line);
                return;
            }
        }
        if (job.holdSeen && drained()) {
            job.holdSeen = false;
            if (job.stopAtHold) {
                job.planner->discard();
                link.stopAndClear("stop");
                finishJob("stopped", false);
                return;
            }
            if (status.mode == EngineMode::Holding) {
                status.mode = EngineMode::Held;
                status.waiting = WaitReason::FeedHold;
            } else if (status.mode == EngineMode::Jogging) {
                job.planner->discard();
                link.realign();
                finishJob("jog stopped", false);
            }
            return;
        }
        if (job.sampled && !job.waiting && drained()) {
            link.realign();
            finishJob(job.kind == JobKind::Program ? "program finished" : "done", false);
        }
    }

    void send(const Sample& s) {
        MotionSegment seg{};
        for (int a = 0; a < kAxisCount; ++a) seg.target[a] = s.steps[a];
        seg.tag = ++nextTag;
        if (!link.add(seg)) {
            failJob("the library refused a segment", s.line);
            return;
        }
        tags[static_cast<size_t>(seg.tag) % kTagRing] = {s.line, s.speed};
        if (job.checker)
            job.checker->addTarget(s.steps, static_cast<size_t>(s.op), s.feedScale, s.fromRest);
        ++report.segments;
        lastSteps = s.steps;
        framesAtLastAdd = link.frames();
        lastSentSpeed = s.speed;
        if (s.fromRest) flowing = false;
        for (EngineObserver* o : observers) o->onSample(s);
    }

    // An action the program reached, once the motion before it is done.
    // False when the job now waits (a pause) or ended.
    bool perform(const Op& op) {
        switch (op.kind) {
            case OpKind::Spindle:
                if (!sendSpindle(op.direction, op.rpm)) {
                    failJob("the spindle command could not be written", op.line);
                    return false;
                }
                action(
                    op.line,
                    op.direction == 0
                        ? std::string("spindle off")
                        : fmt::format("spindle {} at {:g} rpm",
                                      op.direction > 0 ? "clockwise" : "counterclockwise", op.rpm));
                return true;
            case OpKind::Coolant:
                if (!sendCoolant(op.mist, op.flood)) {
                    failJob("the output command could not be written", op.line);
                    return false;
                }
                action(op.line, op.mist || op.flood
                                    ? fmt::format("coolant {}{}{}", op.mist ? "mist" : "",
                                                  op.mist && op.flood ? " and " : "",
                                                  op.flood ? "flood" : "")
                                    : std::string("coolant off"));
                return true;
            case OpKind::ToolChange:
                state.loadedTool = op.tool;
                action(op.line, fmt::format("tool change to T{}", op.tool));
                if (options.toolChanges == PauseBehaviour::GoOn) return true;
                // The spindle and coolant stop while the operator changes
                // the tool, as LinuxCNC's manual tool change does.
                allOff();
                if (options.toolChanges == PauseBehaviour::End) {
                    finishJob(fmt::format("stopped at the tool change on line {}", op.line), false);
                    return false;
                }
                wait(WaitReason::ToolChange);
                emit({EngineEvent::Kind::ToolChange, op.line, op.tool,
                      fmt::format("tool change: load tool {}, then resume", op.tool)});
                return false;
            case OpKind::Pause:
                if (options.pauses == PauseBehaviour::GoOn ||
                    (op.optional && !options.optionalStop)) {
                    action(op.line, fmt::format("{} pause: going on (no operator)",
                                                op.optional ? "M1 optional" : "M0"));
                    return true;
                }
                if (options.pauses == PauseBehaviour::End) {
                    finishJob(
                        fmt::format("stopped at {} on line {}", op.optional ? "M1" : "M0", op.line),
                        false);
                    return false;
                }
                wait(op.optional ? WaitReason::OptionalPause : WaitReason::ProgramPause);
                emit({EngineEvent::Kind::Pause, op.line, 0,
                      fmt::format("{} pause", op.optional ? "M1" : "M0")});
                return false;
            case OpKind::End:
                action(op.line, "end of program");
                return true;
            default:
                return true;
        }
    }

    void wait(WaitReason why) {
        status.mode = EngineMode::Paused;
        status.waiting = why;
        pausedAtSteps = hereSteps();
        jogged = false;
    }

    // After a stop at once: the last status frame was read before the
    // controller stopped, and it went on for up to a frame period since.
    // The stream is realigned on frames read after the stop, so that a
    // command right after plans from where the machine stands. False when
    // the controller stopped answering (the machine is then stopped and the
    // engine in Fault).
    bool settleAfterStop() {
        const uint64_t from = link.frames();
        const double since = link.now();
        try {
            while (link.frames() < from + kQuietFrames && link.now() - since < kSettleSeconds) {
                if (!(link.simulated() && options.speed <= 0.0)) link.sleepCycle();
                link.poll();
            }
        } catch (const ToolError& e) {
            job = Job{};
            suspended = Job{};
            spindleDirection = 0;
            status.positionKnown = false;
            status.mode = EngineMode::Fault;
            error(e.what());
            return false;
        }
        link.realign();
        status.machine = hereUnits();
        status.bufferLevel = link.lastStatus().bufferLevel;
        return true;
    }

    void failJob(const std::string& why, int line) {
        if (job.planner) job.planner->discard();
        link.stopAndClear("error");
        if (!settleAfterStop()) return;
        status.line = line;
        finishJob(why, true);
    }

    // ---- homing ---------------------------------------------------------
    void pumpHoming() {
        if (homingStarted) {
            if (link.homing()) {
                if (link.now() - homingSince > kHomingTimeout) {
                    homingAxes.clear();
                    homingStarted = false;
                    status.mode = EngineMode::Idle;
                    error("homing did not finish");
                }
                return;
            }
            if (homingFramesAt == 0) homingFramesAt = link.frames();
            if (link.frames() < homingFramesAt + 2) return;
            link.realign();
            homingStarted = false;
            homingFramesAt = 0;
            homingAxes.erase(homingAxes.begin());
        }
        if (homingAxes.empty()) {
            status.positionKnown = true;
            status.mode = EngineMode::Idle;
            emit({EngineEvent::Kind::Finished, 0, 0, "homed"});
            return;
        }
        try {
            link.startHoming(homingAxes.front());
        } catch (const ToolError& e) {
            homingAxes.clear();
            status.mode = EngineMode::Idle;
            error(e.what());
            return;
        }
        homingStarted = true;
        homingSince = link.now();
    }

    void pumpProbe() {
        if (!probe.ended) {
            std::optional<ProbeOutcome> out = link.probeEnded();
            if (!out) return;
            probe.outcome = *out;
            probe.ended = true;
            probe.quietFrom = link.frames();
            return;
        }
        // At rest: two frames with an empty buffer.
        if (link.frames() < probe.quietFrom + kQuietFrames || status.bufferLevel != 0) return;
        link.realign();
        probe.active = false;
        status.mode = EngineMode::Idle;
        if (!probe.outcome.triggered) {
            error("the probe made no contact within the distance");
            return;
        }
        if (probe.touchOff) {
            // The tool touches the plate: the work surface lies the plate's
            // thickness beyond it, along the probing direction.
            int a = probe.axis;
            double contact = probe.outcome.position[a] / machine.axes[a].stepsPerUnit;
            state.workOffsets[static_cast<size_t>(state.workSystem)][a] =
                contact + probe.direction * probe.plate - state.g92[a] - state.toolOffset[a];
            mdi.reset();
            message(fmt::format("touch-off: {} {:.4f} is now {:g} in G{}", kAxisLetters[a], contact,
                                -probe.direction * probe.plate, workSystemName(state.workSystem)));
        }
        if (probe.retract > 0.0) {
            Vec6 back = hereUnits();
            back[probe.axis] -= probe.direction * probe.retract;
            const AxisSettings& ax = machine.axes[probe.axis];
            if (ax.max) back[probe.axis] = std::min(back[probe.axis], *ax.max);
            if (ax.min) back[probe.axis] = std::max(back[probe.axis], *ax.min);
            Job j;
            j.kind = JobKind::Retract;
            j.name = "retract";
            auto list = std::make_unique<ListFeed>();
            Op op;
            op.kind = OpKind::Rapid;
            op.tolerance = -1.0;
            op.end = back;
            list->add(op);
            j.feed = std::move(list);
            j.planner = planner();
            startJob(std::move(j), EngineMode::Running);
            return;
        }
        emit({EngineEvent::Kind::Finished, 0, 0, "touch-off done"});
    }

    static std::string workSystemName(int k) {
        static const char* const names[9] = {"54", "55",   "56",   "57",  "58",
                                             "59", "59.1", "59.2", "59.3"};
        return names[std::clamp(k, 0, 8)];
    }

    // ---- status ---------------------------------------------------------
    void onFrame() {
        const StatusFields& f = link.lastStatus();
        status.bufferLevel = f.bufferLevel;
        status.machine = hereUnits();
        if (f.segmentTag > 0 && nextTag > 0) {
            const TagInfo& t = tags[static_cast<size_t>(f.segmentTag) % kTagRing];
            status.line = t.line;
            status.feed = t.speed;
        }
        if (status.bufferLevel > 0) flowing = true;
        if (job.planner && status.bufferLevel == 0 && link.queued() == 0 && lastSentSpeed > 0.0 &&
            flowing && !job.sampled && !job.holdSeen && !job.waiting)
            ++status.underruns;
        if (job.planner) {
            int level = status.bufferLevel;
            if (level + link.queued() >= depthSegments - 1) primed = true;
            report.highestLevel = std::max(report.highestLevel, level);
            if (primed && !job.sampled && !job.holdSeen && !job.waiting)
                report.lowestLevel =
                    report.lowestLevel < 0 ? level : std::min(report.lowestLevel, level);
        }
        if (job.checker && f.segmentTag >= job.firstTag) {
            std::optional<double> at;
            if (link.simulated() && options.speed <= 0.0) at = link.now();
            job.checker->addReport(status.machine,
                                   static_cast<size_t>(f.segmentTag - job.firstTag) + 1, at);
        }
        for (EngineObserver* o : observers) o->onFrame(f, link.now());
    }

    void updateStatus() {
        status.queued = link.queued();
        Vec6 offset{};
        for (int a = 0; a < kAxisCount; ++a)
            offset[a] = state.workOffsets[static_cast<size_t>(state.workSystem)][a] + state.g92[a] +
                        state.toolOffset[a];
        for (int a = 0; a < kAxisCount; ++a) status.work[a] = status.machine[a] - offset[a];
        status.workSystem = state.workSystem;
        status.workOffsets = state.workOffsets;
        status.g92 = state.g92;
        status.toolLength = state.toolOffset[2];
        status.tool = state.loadedTool;
        status.spindleDirection = spindleDirection;
        status.spindleRpm = spindleRpm;
        status.mist = mist;
        status.flood = flood;
        status.feedOverride = job.planner ? job.planner->feedScale() : status.feedOverride;
        status.elapsed = job.kind != JobKind::None ? link.now() - jobStart : status.elapsed;
    }

    // ---- commands -------------------------------------------------------
    std::string beginMotion(Job j, EngineMode mode) {
        if (!status.positionKnown && j.kind == JobKind::Program)
            return "the position is not known: home the machine or confirm the position first";
        j.planner = planner();
        j.planner->setFeedScale(status.feedOverride);
        j.planner->setRapidScale(status.rapidOverride);
        startJob(std::move(j), mode);
        return "";
    }

    std::string jogTo(const Vec6& target, double speed) {
        Job j;
        j.kind = JobKind::Jog;
        j.name = "jog";
        auto feed = std::make_unique<ListFeed>();
        Op op;
        op.kind = OpKind::Linear;
        op.end = target;
        op.feed = speed;
        op.tolerance = -1.0;
        feed->add(op);
        j.feed = std::move(feed);
        if (status.mode == EngineMode::Held || status.mode == EngineMode::Paused) {
            suspended = std::move(job);
            afterJog = status.mode;
            waitingFor = status.waiting;
            jogged = true;
        }
        j.planner = planner();
        startJob(std::move(j), EngineMode::Jogging);
        return "";
    }

    std::string jogCheck(int axis, double speed) const {
        if (axis < 0 || axis >= kAxisCount || !machine.axes[axis].configured) return "no such axis";
        if (machine.axes[axis].slaveOf != 0)
            return "this axis follows another and cannot be jogged";
        if (!(speed > 0.0)) return "the jog speed must be above 0";
        double most =
            machine.axes[axis].maxVelocity / static_cast<double>(machine.axes[axis].stepsPerUnit);
        if (speed > most * (1.0 + 1e-9))
            return fmt::format("{:g} units/s is above axis {}'s top speed ({:g})", speed,
                               kAxisLetters[axis], most);
        if (status.mode != EngineMode::Idle && status.mode != EngineMode::Held &&
            status.mode != EngineMode::Paused)
            return fmt::format("cannot jog while {}", modeName(status.mode));
        return "";
    }
};

Engine::Engine(const Machine& machine, EngineOptions options)
    : impl_(std::make_unique<Impl>(machine, std::move(options))) {}

Engine::~Engine() = default;

void Engine::open() {
    Impl& d = *impl_;
    d.link.open();
    d.link.configure();
    d.status.mode = EngineMode::Idle;
    d.status.positionKnown = d.link.simulated();  // a real machine must be homed first
    d.status.machine = d.hereUnits();
    GcodeSetup s = d.setup();
    d.mdi = std::make_unique<GcodeInterpreter>(s, d.hereUnits());
    if (!d.depthNote.empty()) d.message(d.depthNote);
    d.updateStatus();
}

void Engine::close() {
    Impl& d = *impl_;
    if (d.status.mode == EngineMode::Closed) return;
    if (d.job.kind != Impl::JobKind::None) {
        d.link.stopAndClear("close");
        d.allOff();
        d.job = Impl::Job{};
    }
    d.link.disconnect();
    d.link.close();
    d.status.mode = EngineMode::Closed;
}

void Engine::advance() {
    Impl& d = *impl_;
    if (d.status.mode == EngineMode::Closed) return;
    bool frame = false;
    try {
        frame = d.link.poll();
    } catch (const ToolError& e) {
        // The controller stopped answering: the link stopped the machine.
        d.job = Impl::Job{};
        d.suspended = Impl::Job{};
        d.spindleDirection = 0;
        d.status.positionKnown = false;
        d.status.mode = EngineMode::Fault;
        d.error(e.what());
        return;
    }
    if (frame) d.onFrame();
    switch (d.status.mode) {
        case EngineMode::Homing:
            d.pumpHoming();
            break;
        case EngineMode::Probing:
            d.pumpProbe();
            break;
        case EngineMode::Running:
        case EngineMode::Holding:
        case EngineMode::Stopping:
        case EngineMode::Jogging:
            d.pump();
            break;
        default:
            break;
    }
    d.updateStatus();
}

void Engine::sleepUntilNextCycle() {
    Impl& d = *impl_;
    if (d.link.simulated() && d.options.speed <= 0.0) return;
    d.link.sleepCycle();
}

const EngineStatus& Engine::status() const {
    return impl_->status;
}

const JobReport& Engine::lastReport() const {
    return impl_->report;
}

std::string Engine::controllerDescription() const {
    return impl_->link.controllerDescription();
}

std::string Engine::firmware() const {
    return impl_->link.firmware();
}

std::vector<std::string> Engine::protocolErrors() {
    return impl_->link.protocolErrors();
}

ProgramCheck Engine::read(const std::string& path, const GcodeSetup& setup) {
    ProgramCheck out;
    ProgramFeed feed(path, setup, Vec6{});
    feed.readPastProblems();
    Op op;
    while (feed.next(op)) {
        if (op.kind == OpKind::Rapid || op.kind == OpKind::Linear || op.kind == OpKind::Arc)
            ++out.moves;
    }
    out.errors = feed.errors();
    out.notes = feed.notes();
    out.truncated = feed.errorsTruncated();
    out.lines = static_cast<size_t>(feed.linesRead());
    return out;
}

bool Engine::simulated() const {
    return impl_->link.simulated();
}

void Engine::addObserver(EngineObserver* observer) {
    impl_->observers.push_back(observer);
}

void Engine::removeObserver(EngineObserver* observer) {
    auto& v = impl_->observers;
    v.erase(std::remove(v.begin(), v.end(), observer), v.end());
}

ProgramCheck Engine::check(const std::string& path,
                           const std::function<void(const Vec6&, bool, int)>& piece) {
    Impl& d = *impl_;
    ProgramCheck out;
    if (d.status.mode != EngineMode::Idle && d.status.mode != EngineMode::Closed) {
        out.errors.push_back({0, "", "a program is checked only while the machine is idle", ""});
        return out;
    }
    Vec6 start = d.status.mode == EngineMode::Closed ? Vec6{} : d.hereUnits();
    Vec6 startSteps = d.status.mode == EngineMode::Closed ? Vec6{} : d.hereSteps();
    ProgramFeed feed(path, d.setup(), start);
    LookAhead la(d.settings, start, startSteps);
    Op op;
    uint64_t index = 0;
    for (;;) {
        LookAhead::Next n = la.estimate();
        if (n == LookAhead::Next::NeedInput) {
            if (feed.next(op)) {
                if (op.kind == OpKind::Rapid || op.kind == OpKind::Linear ||
                    op.kind == OpKind::Arc) {
                    ++out.moves;
                    if (piece) piece(op.end, op.kind == OpKind::Rapid, op.line);
                }
                la.push(op, index++);
            } else {
                la.finish();
            }
            continue;
        }
        if (n == LookAhead::Next::Error) {
            out.errors.push_back(la.error());
            break;
        }
        if (n == LookAhead::Next::Done) break;
    }
    if (!feed.errors().empty()) out.errors = feed.errors();
    out.notes = feed.notes();
    out.truncated = feed.errorsTruncated();
    out.lines = static_cast<size_t>(feed.linesRead());
    out.seconds = la.seconds();
    out.feedBoundSeconds = la.feedBoundSeconds();
    return out;
}

DryRun Engine::dryRun(const Machine& machine, const std::string& path, bool blockDelete,
                      const std::function<void(const Sample&)>& target) {
    DryRun out;
    GcodeSetup setup = machine.gcodeSetup();
    setup.blockDelete = blockDelete;
    out.program = read(path, setup);
    if (!out.program.ok()) return out;
    PlanSettings settings = machine.planSettings();
    ProgramFeed feed(path, setup, Vec6{});
    LookAhead la(settings, Vec6{}, Vec6{});
    RunChecker checker(checkSettings(settings), Vec6{}, Vec6{});
    Op op;
    uint64_t index = 0;
    size_t moves = 0;
    for (;;) {
        LookAhead::Next n = la.next();
        if (n == LookAhead::Next::Sample) {
            const Sample& s = la.sample();
            checker.addTarget(s.steps, static_cast<size_t>(s.op), s.feedScale, s.fromRest);
            ++out.targets;
            if (target) target(s);
        } else if (n == LookAhead::Next::NeedInput) {
            if (feed.next(op)) {
                if (op.kind == OpKind::Rapid || op.kind == OpKind::Linear || op.kind == OpKind::Arc)
                    ++moves;
                checker.addOperation(op);
                la.push(op, index++);
            } else {
                la.finish();
            }
        } else if (n == LookAhead::Next::Error) {
            out.program.errors.push_back(la.error());
            break;
        } else if (n == LookAhead::Next::Done || n == LookAhead::Next::Held) {
            break;
        }
        // Actions (spindle, coolant, pauses, messages) need no controller.
    }
    if (!feed.errors().empty()) out.program.errors = feed.errors();
    if (!out.program.ok()) return out;
    out.program.moves = moves;
    out.program.seconds = la.seconds();
    out.program.feedBoundSeconds = la.feedBoundSeconds();
    out.check = checker.finish();
    return out;
}

std::string Engine::run(const std::string& path, int fromLine) {
    Impl& d = *impl_;
    if (!d.idle()) return fmt::format("cannot start a program while {}", modeName(d.status.mode));
    if (!d.status.positionKnown)
        return "the position is not known: home the machine or confirm the position first";
    ProgramCheck pre = check(path);
    if (!pre.ok()) {
        const Diagnostic& e = pre.errors.front();
        return fmt::format("{}:{}: {}{}", path, e.line, e.word.empty() ? "" : e.word + ": ",
                           e.message);
    }
    Impl::Job j;
    j.kind = Impl::JobKind::Program;
    j.name = path;
    auto feed = std::make_unique<ProgramFeed>(path, d.setup(), d.hereUnits());
    std::vector<Op> approach;
    if (fromLine > 1) {
        feed->skipTo(fromLine);
        if (!feed->errors().empty())
            return fmt::format("{}:{}: {}", path, feed->errors().front().line,
                               feed->errors().front().message);
        GcodeState at = feed->interpreter().state();
        if (at.ended) return fmt::format("the program ends before line {}", fromLine);
        if (at.compensation)
            return fmt::format(
                "line {} lies inside cutter compensation: start where G40 is in effect", fromLine);
        if (at.cycle)
            return fmt::format("line {} lies inside a canned cycle: start where G80 is in effect",
                               fromLine);
        // Restore the spindle and coolant, then a safe approach: up to the
        // safe height, across, down at the approach feed.
        double safe = d.machine.program.safeZ.value_or(d.machine.axes[2].max.value_or(0.0));
        Vec6 here = d.hereUnits();
        double feedRate = d.machine.program.approachFeed;
        if (!(feedRate > 0.0)) {
            feedRate = 1e9;
            for (int a = 0; a < 3; ++a)
                if (d.machine.axes[a].configured)
                    feedRate = std::min(
                        feedRate, d.machine.axes[a].maxVelocity /
                                      static_cast<double>(d.machine.axes[a].stepsPerUnit) / 4.0);
        }
        Op spindle;
        spindle.kind = OpKind::Spindle;
        spindle.direction = at.spindleDirection;
        spindle.rpm = at.rpm;
        Op coolant;
        coolant.kind = OpKind::Coolant;
        coolant.mist = at.mist;
        coolant.flood = at.flood;
        if (at.spindleDirection != 0 && d.machine.spindle.configured) approach.push_back(spindle);
        if ((at.mist || at.flood) && d.machine.coolant.configured) approach.push_back(coolant);
        if (at.spindleDirection != 0 && d.machine.spindle.spinUpSeconds > 0.0) {
            Op dwell;
            dwell.kind = OpKind::Dwell;
            dwell.seconds = d.machine.spindle.spinUpSeconds;
            approach.push_back(dwell);
        }
        Op up;
        up.kind = OpKind::Rapid;
        up.tolerance = -1.0;
        up.end = here;
        if (d.machine.axes[2].configured) up.end[2] = std::max(here[2], safe);
        approach.push_back(up);
        Op across = up;
        for (int a = 0; a < kAxisCount; ++a)
            if (a != 2 && d.machine.axes[a].configured && !d.machine.axes[a].slaveOf)
                across.end[a] = at.position[a];
        approach.push_back(across);
        Op down;
        down.kind = OpKind::Linear;
        down.feed = feedRate;
        down.tolerance = -1.0;
        down.end = at.position;
        approach.push_back(down);
    }
    // The approach first, then the program from where it stands.
    struct Chain : OpFeed {
        std::vector<Op> first;
        size_t at = 0;
        std::unique_ptr<ProgramFeed> rest;
        bool next(Op& op) override {
            if (at < first.size()) {
                op = first[at++];
                return true;
            }
            return rest->next(op);
        }
        bool done() const override { return at >= first.size() && rest->done(); }
        const std::vector<Diagnostic>& errors() const override { return rest->errors(); }
    };
    if (!approach.empty()) {
        auto chain = std::make_unique<Chain>();
        chain->first = std::move(approach);
        chain->rest = std::move(feed);
        j.feed = std::move(chain);
    } else {
        j.feed = std::move(feed);
    }
    d.status.program = path;
    d.status.estimate = pre.seconds;
    d.status.underruns = 0;
    return d.beginMotion(std::move(j), EngineMode::Running);
}

std::string Engine::mdi(const std::string& line) {
    Impl& d = *impl_;
    if (!d.idle())
        return fmt::format("MDI runs only while idle, not while {}", modeName(d.status.mode));
    // Cutter compensation needs the moves after it: not in MDI.
    for (size_t k = 0; k + 2 < line.size() + 1; ++k) {
        char c = line[k];
        if ((c == 'G' || c == 'g') && k + 2 < line.size() + 1) {
            size_t e = k + 1;
            while (e < line.size() && line[e] == ' ') ++e;
            std::string num;
            while (e < line.size() &&
                   (std::isdigit(static_cast<unsigned char>(line[e])) || line[e] == '.'))
                num += line[e++];
            if (num == "41" || num == "42" || num == "41.1" || num == "42.1" || num == "041" ||
                num == "042")
                return "cutter compensation (G41/G42) does not run in MDI";
        }
    }
    if (!d.mdi) d.mdi = std::make_unique<GcodeInterpreter>(d.setup(), d.hereUnits());
    d.mdi->setPosition(d.hereUnits());
    size_t errorsBefore = d.mdi->errors().size();
    d.mdi->line(line);
    auto list = std::make_unique<ListFeed>();
    Op op;
    bool motion = false;
    while (d.mdi->pop(op)) {
        motion = true;
        list->add(op);
    }
    if (d.mdi->errors().size() > errorsBefore) {
        const Diagnostic& e = d.mdi->errors().back();
        // The interpreter counts errors; a fresh one keeps MDI usable.
        GcodeState keep = d.mdi->state();
        d.keepState(keep);
        d.mdi = std::make_unique<GcodeInterpreter>(d.setup(), d.hereUnits());
        return fmt::format("{}{}", e.word.empty() ? "" : e.word + ": ", e.message);
    }
    d.keepState(d.mdi->state());
    if (d.mdi->done()) d.mdi = std::make_unique<GcodeInterpreter>(d.setup(), d.hereUnits());
    if (!motion) return "";
    Impl::Job j;
    j.kind = Impl::JobKind::Mdi;
    j.name = "MDI";
    j.feed = std::move(list);
    return d.beginMotion(std::move(j), EngineMode::Running);
}

std::string Engine::hold() {
    Impl& d = *impl_;
    if (d.status.mode != EngineMode::Running)
        return fmt::format("nothing to hold while {}", modeName(d.status.mode));
    if (d.job.waiting) return "the program is at rest for an action already";
    d.job.planner->hold();
    d.status.mode = EngineMode::Holding;
    return "";
}

std::string Engine::resume() {
    Impl& d = *impl_;
    EngineMode m = d.status.mode;
    if (m == EngineMode::Holding) {
        d.job.planner->resume();
        d.job.holdSeen = false;
        d.status.mode = EngineMode::Running;
        return "";
    }
    if (m != EngineMode::Held && m != EngineMode::Paused)
        return fmt::format("nothing to resume while {}", modeName(m));
    if (!d.status.positionKnown)
        return "the position is not known: home the machine or confirm the position first";
    if (d.jogged) {
        // Back to where the program paused: XY first, then Z.
        Vec6 target{};
        for (int a = 0; a < kAxisCount; ++a)
            target[a] = d.machine.axes[a].configured
                            ? d.pausedAtSteps[a] / d.machine.axes[a].stepsPerUnit
                            : 0.0;
        Vec6 here = d.hereUnits();
        double feedRate =
            d.machine.program.approachFeed > 0.0 ? d.machine.program.approachFeed : 1e9;
        if (!(d.machine.program.approachFeed > 0.0)) {
            for (int a = 0; a < 3; ++a)
                if (d.machine.axes[a].configured)
                    feedRate = std::min(
                        feedRate, d.machine.axes[a].maxVelocity /
                                      static_cast<double>(d.machine.axes[a].stepsPerUnit) / 4.0);
        }
        auto list = std::make_unique<ListFeed>();
        Op xy;
        xy.kind = OpKind::Linear;
        xy.feed = feedRate;
        xy.tolerance = -1.0;
        xy.end = target;
        if (d.machine.axes[2].configured) xy.end[2] = here[2];
        list->add(xy);
        Op z = xy;
        z.end = target;
        list->add(z);
        Impl::Job j;
        j.kind = Impl::JobKind::Approach;
        j.name = "return";
        j.feed = std::move(list);
        j.planner = d.planner();
        d.suspended = std::move(d.job);
        d.afterJog = m;
        d.waitingFor = d.status.waiting;
        d.startJob(std::move(j), EngineMode::Running);
        return "";
    }
    if (m == EngineMode::Held) {
        d.job.planner->resume();
    }
    d.status.mode = EngineMode::Running;
    d.status.waiting = WaitReason::None;
    return "";
}

std::string Engine::stop() {
    Impl& d = *impl_;
    EngineMode m = d.status.mode;
    if (m == EngineMode::Running || m == EngineMode::Holding || m == EngineMode::Jogging) {
        if (d.job.waiting) {
            d.job.planner->discard();
            d.link.stopAndClear("stop");
            d.finishJob("stopped", false);
            return "";
        }
        d.job.planner->hold();
        d.job.stopAtHold = true;
        d.status.mode = EngineMode::Stopping;
        return "";
    }
    if (m == EngineMode::Held || m == EngineMode::Paused) {
        if (d.job.planner) d.job.planner->discard();
        d.suspended = Impl::Job{};
        d.link.stopAndClear("stop");
        d.finishJob("stopped", false);
        return "";
    }
    if (m == EngineMode::Stopping) return "";
    return fmt::format("nothing to stop while {}", modeName(m));
}

std::string Engine::abort() {
    Impl& d = *impl_;
    if (d.status.mode == EngineMode::Closed) return "no controller";
    d.link.stopAndClear("abort");
    if (!d.settleAfterStop()) return "";
    d.homingAxes.clear();
    d.homingStarted = false;
    d.suspended = Impl::Job{};
    if (d.job.planner) d.job.planner->discard();
    d.allOff();
    d.status.positionKnown = false;
    bool any = d.job.kind != Impl::JobKind::None;
    d.job = Impl::Job{};
    d.status.mode = EngineMode::Idle;
    d.status.waiting = WaitReason::None;
    if (any)
        d.emit({EngineEvent::Kind::Error, d.status.line, 0,
                "aborted: the position is no longer known"});
    return "";
}

std::string Engine::setFeedOverride(double scale) {
    Impl& d = *impl_;
    if (!(scale >= 0.01 && scale <= 2.0)) return "feed override must be from 1 % to 200 %";
    d.status.feedOverride = scale;
    if (d.job.planner) d.job.planner->setFeedScale(scale);
    if (d.suspended.planner) d.suspended.planner->setFeedScale(scale);
    return "";
}

std::string Engine::setRapidOverride(double scale) {
    Impl& d = *impl_;
    if (scale != 0.25 && scale != 0.5 && scale != 1.0)
        return "rapid override is 25 %, 50 % or 100 %";
    d.status.rapidOverride = scale;
    if (d.job.planner) d.job.planner->setRapidScale(scale);
    if (d.suspended.planner) d.suspended.planner->setRapidScale(scale);
    return "";
}

std::string Engine::setSpindleOverride(double scale) {
    Impl& d = *impl_;
    if (!(scale >= 0.5 && scale <= 1.5)) return "spindle override must be from 50 % to 150 %";
    d.status.spindleOverride = scale;
    if (d.spindleDirection != 0 && !d.sendSpindle(d.spindleDirection, d.spindleRpm))
        return "the spindle command could not be written";
    return "";
}

std::string Engine::jogStart(int axis, int direction, double speed) {
    Impl& d = *impl_;
    std::string why = d.jogCheck(axis, speed);
    if (!why.empty()) return why;
    if (direction != 1 && direction != -1) return "the direction is +1 or -1";
    Vec6 here = d.hereUnits();
    Vec6 target = here;
    const AxisSettings& a = d.machine.axes[axis];
    if (direction > 0)
        target[axis] = a.max ? *a.max : here[axis] + kFarJog;
    else
        target[axis] = a.min ? *a.min : here[axis] - kFarJog;
    if ((direction > 0 && target[axis] <= here[axis] + 1e-9) ||
        (direction < 0 && target[axis] >= here[axis] - 1e-9))
        return fmt::format("axis {} stands at its travel limit", kAxisLetters[axis]);
    return d.jogTo(target, speed);
}

std::string Engine::jogStop() {
    Impl& d = *impl_;
    if (d.status.mode != EngineMode::Jogging) return "";
    if (d.job.planner) d.job.planner->hold();
    return "";
}

std::string Engine::jogStep(int axis, double distance, double speed) {
    Impl& d = *impl_;
    std::string why = d.jogCheck(axis, speed);
    if (!why.empty()) return why;
    if (!(std::fabs(distance) > 0.0) || std::fabs(distance) > 1000.0)
        return "a step is from 0 to 1000 units";
    Vec6 target = d.hereUnits();
    target[axis] += distance;
    const AxisSettings& a = d.machine.axes[axis];
    if ((a.max && target[axis] > *a.max + 1e-9) || (a.min && target[axis] < *a.min - 1e-9))
        return fmt::format("the step would leave axis {}'s travel", kAxisLetters[axis]);
    return d.jogTo(target, speed);
}

std::string Engine::home(int axis) {
    Impl& d = *impl_;
    if (!d.idle()) return fmt::format("cannot home while {}", modeName(d.status.mode));
    d.homingAxes.clear();
    if (axis < 0) {
        if (d.machine.axes[2].configured) d.homingAxes.push_back(2);
        for (int a = 0; a < kAxisCount; ++a)
            if (a != 2 && d.machine.axes[a].configured) d.homingAxes.push_back(a);
    } else {
        if (axis >= kAxisCount || !d.machine.axes[axis].configured) return "no such axis";
        d.homingAxes.push_back(axis);
    }
    d.status.mode = EngineMode::Homing;
    d.homingStarted = false;
    d.pumpHoming();
    return "";
}

std::string Engine::zeroAxis(int axis) {
    Impl& d = *impl_;
    if (!d.idle() && d.status.mode != EngineMode::Held && d.status.mode != EngineMode::Paused)
        return fmt::format("cannot set an offset while {}", modeName(d.status.mode));
    if (axis < 0 || axis >= kAxisCount || !d.machine.axes[axis].configured) return "no such axis";
    Vec6& offsets = d.state.workOffsets[static_cast<size_t>(d.state.workSystem)];
    offsets[axis] = d.hereUnits()[axis] - d.state.g92[axis] - d.state.toolOffset[axis];
    d.mdi = std::make_unique<GcodeInterpreter>(d.setup(), d.hereUnits());
    d.updateStatus();
    return "";
}

std::string Engine::touchOff(int axis, int direction, double distance, double feed, double plate,
                             double retract) {
    Impl& d = *impl_;
    if (!d.idle()) return fmt::format("cannot probe while {}", modeName(d.status.mode));
    if (!d.status.positionKnown)
        return "the position is not known: home the machine or confirm the position first";
    if (axis < 0 || axis >= kAxisCount || !d.machine.axes[axis].configured ||
        d.machine.axes[axis].slaveOf != 0)
        return "no such axis";
    if (direction != 1 && direction != -1) return "the direction is +1 or -1";
    if (!(distance > 0.0) || !(feed > 0.0)) return "the distance and the feed must be above 0";
    if (!(plate >= 0.0) || !(retract >= 0.0)) return "the plate and the retract cannot be negative";
    const AxisSettings& a = d.machine.axes[axis];
    double most = a.maxVelocity / static_cast<double>(a.stepsPerUnit);
    if (feed > most) return fmt::format("{:g} units/s is above the axis's top speed", feed);
    Vec6 start = d.hereSteps();
    Vec6 end = start;
    double to = d.hereUnits()[axis] + direction * distance;
    if ((a.max && to > *a.max + 1e-9) || (a.min && to < *a.min - 1e-9))
        return fmt::format("the probing move would leave axis {}'s travel", kAxisLetters[axis]);
    end[axis] = to * a.stepsPerUnit;
    try {
        d.link.startProbe(start, end, feed);
    } catch (const ToolError& e) {
        return e.what();
    }
    d.probe = Impl::Probe{};
    d.probe.active = true;
    d.probe.axis = axis;
    d.probe.direction = direction;
    d.probe.plate = plate;
    d.probe.retract = retract;
    d.status.mode = EngineMode::Probing;
    return "";
}

std::string Engine::confirmPosition() {
    Impl& d = *impl_;
    if (d.status.mode == EngineMode::Closed) return "no controller";
    d.status.positionKnown = true;
    if (d.status.mode == EngineMode::Fault) d.status.mode = EngineMode::Idle;
    return "";
}

std::string Engine::spindle(int direction, double rpm) {
    Impl& d = *impl_;
    if (!d.idle() && d.status.mode != EngineMode::Held && d.status.mode != EngineMode::Paused)
        return fmt::format("the spindle is the program's while {}", modeName(d.status.mode));
    if (!d.machine.spindle.configured) return "this machine has no spindle mapping";
    if (!d.sendSpindle(direction, rpm)) return "the spindle command could not be written";
    return "";
}

std::string Engine::coolant(bool mist, bool flood) {
    Impl& d = *impl_;
    if (!d.machine.coolant.configured) return "this machine has no coolant outputs";
    if (!d.sendCoolant(mist, flood)) return "the output command could not be written";
    return "";
}

std::string Engine::saveOffsets(const std::string& path) {
    Impl& d = *impl_;
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return path + ": cannot be written";
    static const char* const names[9] = {"g54", "g55",   "g56",   "g57",  "g58",
                                         "g59", "g59_1", "g59_2", "g59_3"};
    std::string text = "# work offsets saved by telvo\n[offsets]\n";
    for (size_t k = 0; k < 9; ++k) {
        const Vec6& o = d.state.workOffsets[k];
        text += fmt::format("{} = [{}, {}, {}, {}, {}, {}]\n", names[k], o[0], o[1], o[2], o[3],
                            o[4], o[5]);
    }
    bool ok = std::fputs(text.c_str(), f) >= 0;
    ok = std::fclose(f) == 0 && ok;
    return ok ? "" : path + ": could not be written";
}

}  // namespace telvo::tool
