// The host loop (see session.h).
#include "engine/session.h"

#include "telvo/telvo.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <thread>

#include "telvo_wire.h"

#if defined(_WIN32)
#include <windows.h>
#include <mmsystem.h>
#endif

namespace telvo::tool {
namespace {

volatile std::sig_atomic_t gStopRequested = 0;

// Real-time loop period. The library takes at most one status frame every
// second cycle and sends at most 75 segments per frame, so half a
// millisecond keeps a 1 ms controller fed with room to spare; faster
// simulated clocks get a shorter sleep.
constexpr double kCyclePeriodUs = 500.0;
constexpr double kMinCyclePeriodUs = 20.0;
// How long the controller may take to send its first status frame.
constexpr double kFirstFrameTimeout = 2.0;
constexpr double kHomingTimeout = 120.0;
constexpr double kSettleTimeout = 5.0;
// Once status frames flow they come every few milliseconds; this long
// without one while the host keeps asking means the controller no longer
// answers, and the machine is stopped at once, spindle off.
constexpr double kStatusSilenceLimit = 0.25;
// Slack on top of a stream's own duration before the loop gives up.
constexpr double kStreamSlack = 30.0;
constexpr double kLiveProgressPeriodMs = 100.0;
// The library sends while the controller holds at most its buffer size less
// this many segments.
constexpr int kFlowControlMargin = TELVO_SEND_HEADROOM;
// The library's queue holds this many segments less one.
constexpr int kQueueCapacity = TELVO_QUEUE_CAPACITY;

std::string unitsText(double v) {
    return fmt::format("{:.3f}", v);
}

}  // namespace

void requestStop() {
    gStopRequested = gStopRequested + 1;
}

int stopRequests() {
    return static_cast<int>(gStopRequested);
}

bool stopRequested() {
    return gStopRequested != 0;
}

Session::Session(const Machine& machine, SessionOptions options)
    : machine_(machine),
      options_(std::move(options)),
      sim_(SimControl::attach()),
      hostStart_(std::chrono::steady_clock::now()) {
#if defined(_WIN32)
    // Millisecond sleeps for the loop instead of the default 15.6 ms tick.
    timeBeginPeriod(1);
#endif
    if (!options_.tracePath.empty()) {
        trace_.open(options_.tracePath, sim_ ? TraceClock::Simulated : TraceClock::Host);
    }
    plot_.units = machine_.units;
    plot_.bufferSize = machine_.bufferSize;
}

Session::~Session() {
    if (open_) {
        telvo_Close();
        open_ = false;
    }
    if (realtimeStarted_ && sim_) sim_->setRealtime(0.0);
#if defined(_WIN32)
    timeEndPeriod(1);
#endif
}

std::string Session::controllerDescription() const {
    if (sim_) {
        return options_.speed > 0.0
                   ? fmt::format("simulated ({}), {:g}x real time", sim_->modulePath(),
                                 options_.speed)
                   : fmt::format("simulated ({}), stepped clock", sim_->modulePath());
    }
    return "USB controller";
}

double Session::now() const {
    if (sim_) return static_cast<double>(sim_->clockMs()) / 1000.0;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - hostStart_).count();
}

void Session::note(const std::string& text) {
    if (trace_.isOpen()) trace_.note(static_cast<int64_t>(std::llround(now() * 1e6)), text);
}

void Session::open() {
    if (options_.requireSimulator && !sim_) throw ToolError(SimControl::missingText());
    if (sim_) {
        sim_->reset();
        sim_->setBufferSize(machine_.bufferSize);
        if (machine_.simulator.homingTimeMs >= 0)
            sim_->setHomingTime(machine_.simulator.homingTimeMs);
        if (machine_.simulator.probeDecelMs >= 0)
            sim_->setProbeDecel(machine_.simulator.probeDecelMs);
        const ProbeSurface& s = machine_.simulator.surface;
        if (s.enabled) {
            double steps = s.at * machine_.axes[s.axis].stepsPerUnit;
            sim_->setProbeSurface(s.axis, static_cast<int32_t>(std::lround(steps)), s.direction);
        }
        if (options_.speed > 0.0) {
            sim_->setRealtime(options_.speed);
            realtimeStarted_ = true;
        }
    }
    int opened = telvo_Open();
    drainWrites();
    note(fmt::format("telvo_Open() = {}", opened));
    if (!opened) {
        if (sim_) throw ToolError("no controller found");
        throw ToolError(
            "no controller found on USB: is it plugged in and may you open it? "
            "(`telvo udev-rule VID:PID`; TELVO_USB_DEBUG=1 shows the search)");
    }
    open_ = true;
    note(fmt::format("telvo_GetFirmwareVersion() = \"{}\"", firmware()));
}

std::string Session::firmware() const {
    const char* text = telvo_GetFirmwareVersion();
    return text ? text : "";
}

void Session::configure() {
    // The library keeps its queue across telvo_Close: what a session that
    // ended mid-motion left unsent is not this one's to send.
    telvo_BufClear();
    int size = telvo_SetBuffSize(machine_.bufferSize);
    note(fmt::format("telvo_SetBuffSize({}) = {}", machine_.bufferSize, size));
    int init = telvo_Init(&machine_.config, &machine_.io);
    drainWrites();
    note(fmt::format("telvo_Init() = {}", init));
    uint64_t before = frames_;
    runUntil([&] { return frames_ > before; }, kFirstFrameTimeout,
             "the controller does not answer: no status frame");
    resync();
}

void Session::resync() {
    telvo_PosResync();
    note("telvo_PosResync()");
}

void Session::sleepCycle() {
    double period = kCyclePeriodUs;
    if (options_.speed > 10.0)
        period = std::max(kMinCyclePeriodUs, kCyclePeriodUs * 10.0 / options_.speed);
#if defined(_WIN32)
    (void)period;
    Sleep(1);
#else
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long>(period)));
#endif
}

bool Session::cycle() {
    if (gStopRequested) throw Interrupted();
    if (!(sim_ && options_.speed <= 0.0)) sleepCycle();
    return poll();
}

bool Session::poll() {
    if (sim_ && options_.speed <= 0.0) sim_->advanceMs(1);
    // A pause of the host's own (between commands, while planning) is not
    // the controller's silence: the wait for a frame starts again.
    const double cycleAt = now();
    if (cycleAt - lastCycleAt_ > kStatusSilenceLimit / 2) lastFrameAt_ = cycleAt;
    lastCycleAt_ = cycleAt;
    MachineStatus record{};
    int got = telvo_GetStatus(&record);
    drainWrites();
    if (!got) {
        const double silent = cycleAt - lastFrameAt_;
        if (open_ && frames_ > 0 && silent > kStatusSilenceLimit) stopForSilence(silent);
        return false;
    }
    lastFrameAt_ = cycleAt;
    onStatus(record);
    int sent = telvo_BufUpdate();
    drainWrites();
    if (sent > 0) {
        if (stats_) stats_->sent += static_cast<size_t>(sent);
        if (!sim_) {
            ++blockWrites_;
            note(fmt::format("telvo_BufUpdate() = {}", sent));
        }
    }
    return true;
}

void Session::drainWrites() {
    if (!sim_) return;
    for (SimWrite& w : sim_->takeWrites()) {
        if (w.pipe == tsim::kBlockPipe) ++blockWrites_;
        if (!trace_.isOpen()) continue;
        uint8_t flags = static_cast<uint8_t>((w.failed ? kTraceWriteFailed : 0) |
                                             (w.device != 0 ? kTraceSecondDevice : 0));
        trace_.add(w.pipe == tsim::kBlockPipe ? TraceKind::Block : TraceKind::Command, flags,
                   static_cast<int64_t>(std::llround(now() * 1e6)), w.bytes.data(), w.bytes.size());
    }
}

void Session::onStatus(const MachineStatus& record) {
    status_ = fieldsOf(record);
    ++frames_;
    double t = now();
    if (trace_.isOpen()) trace_.status(static_cast<int64_t>(std::llround(t * 1e6)), record);
    if (!options_.recordPlot) return;
    Vec6 units = positionUnits();
    plot_.executed.push_back({units[0], units[1]});
    size_t reached = segmentsDone_;
    if (stats_ && (freshTags_ || status_.segmentTag != staleTag_)) {
        freshTags_ = true;
        reached += static_cast<size_t>(
            std::clamp<int64_t>(status_.segmentTag, 0, static_cast<int64_t>(stats_->sent)));
    }
    plot_.bufferLevel.push_back({t, static_cast<double>(status_.bufferLevel)});
    if (reportSink_) reportSink_(units, t, reached);
    if (stats_) {
        int level = status_.bufferLevel;
        stats_->highestLevel = std::max(stats_->highestLevel, level);
        // The lowest level counts once the buffer has first filled up to
        // where the library's flow control holds it.
        if (level >= machine_.bufferSize - kFlowControlMargin) primed_ = true;
        if (primed_ && !allSent_) {
            stats_->lowestLevel =
                stats_->lowestLevel < 0 ? level : std::min(stats_->lowestLevel, level);
            if (level == 0) ++stats_->underruns;
        }
    }
}

void Session::runUntil(const std::function<bool()>& done, double timeoutSeconds,
                       const std::string& what) {
    double start = now();
    auto wallStart = std::chrono::steady_clock::now();
    // A stalled simulated clock must not hang the tool either.
    double wallLimit = timeoutSeconds / std::max(options_.speed, 1.0) * 4.0 + 10.0;
    while (!done()) {
        cycle();
        if (now() - start > timeoutSeconds ||
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count() >
                wallLimit) {
            throw ToolError(fmt::format("{} within {:g} s", what, timeoutSeconds));
        }
    }
}

void Session::waitFrames(int frames) {
    uint64_t target = frames_ + static_cast<uint64_t>(frames);
    runUntil([&] { return frames_ >= target; }, kFirstFrameTimeout,
             "the controller stopped answering: no status frame");
}

void Session::waitIdle(double timeoutSeconds) {
    // Two frames in a row with nothing buffered and nothing queued.
    int quiet = 0;
    uint64_t seen = frames_;
    runUntil(
        [&] {
            if (frames_ != seen) {
                seen = frames_;
                quiet = (status_.bufferLevel == 0 && telvo_BufEmpty()) ? quiet + 1 : 0;
            }
            return quiet >= 2;
        },
        timeoutSeconds, "the controller did not come to rest");
}

void Session::home(int axis) {
    int sent = telvo_CmdHomeAxis(static_cast<uint8_t>(axis));
    drainWrites();
    note(fmt::format("telvo_CmdHomeAxis({}) = {}", axis, sent));
    if (!sent)
        throw ToolError(
            fmt::format("the homing command for axis {} could not be written", kAxisLetters[axis]));
    runUntil([] { return telvo_IsHoming() == 0; }, kHomingTimeout,
             fmt::format("homing of axis {} did not finish", kAxisLetters[axis]));
    waitFrames(2);
    resync();
}

void Session::homeAll() {
    if (machine_.axes[2].configured) home(2);
    for (int a = 0; a < kAxisCount; ++a) {
        if (a != 2 && machine_.axes[a].configured) home(a);
    }
}

Vec6 Session::positionSteps() const {
    Vec6 p{};
    for (size_t a = 0; a < kAxisCount; ++a) p[a] = status_.position[a];
    return p;
}

Vec6 Session::positionUnits() const {
    Vec6 p{};
    for (int a = 0; a < kAxisCount; ++a) {
        p[a] = machine_.axes[a].configured ? status_.position[static_cast<size_t>(a)] /
                                                 static_cast<double>(machine_.axes[a].stepsPerUnit)
                                           : 0.0;
    }
    return p;
}

void Session::progressLine(const StreamStats& stats, size_t total, double startTime, bool final) {
    if (options_.progress == ProgressMode::Off || total == 0) return;
    auto wall = std::chrono::steady_clock::now();
    size_t executed = static_cast<size_t>(
        std::clamp<int64_t>(status_.segmentTag, 0, static_cast<int64_t>(total)));
    if (final)
        executed =
            static_cast<size_t>(std::min<int64_t>(stats.executed, static_cast<int64_t>(total)));
    double percent = 100.0 * static_cast<double>(executed) / static_cast<double>(total);
    int decile = static_cast<int>(percent / 10.0);
    if (options_.progress == ProgressMode::Live && !final &&
        std::chrono::duration<double, std::milli>(wall - lastProgress_).count() <
            kLiveProgressPeriodMs) {
        return;
    }
    if (options_.progress == ProgressMode::Lines && !final && decile == lastProgressDecile_) return;
    lastProgress_ = wall;
    lastProgressDecile_ = decile;

    double elapsed = options_.speed > 0.0 || !sim_
                         ? std::chrono::duration<double>(wall - streamWallStart_).count()
                         : now() - startTime;
    double remainingMs = static_cast<double>(total - executed);
    double remaining =
        options_.speed > 0.0 ? remainingMs / 1000.0 / options_.speed : remainingMs / 1000.0;
    std::string position;
    Vec6 units = positionUnits();
    for (int a = 0; a < kAxisCount; ++a) {
        if (machine_.axes[a].configured)
            position += fmt::format(" {} {}", kAxisLetters[a], unitsText(units[a]));
    }
    std::string line = fmt::format(
        "{} [{:5.1f}%] {}/{} segments  {} {:.1f} s  remaining {:.1f} s  buffer {:4}  {}",
        progressLabel_, percent, executed, total,
        sim_ && options_.speed <= 0.0 ? "clock" : "elapsed", elapsed, final ? 0.0 : remaining,
        status_.bufferLevel, position);
    if (options_.progress == ProgressMode::Live) {
        // Padded to the longest line so far, so nothing of an earlier one shows.
        liveWidth_ = std::max(liveWidth_, line.size());
        fmt::print(options_.progressStream, "\r{:<{}}", line, liveWidth_);
        if (final) {
            fmt::print(options_.progressStream, "\n");
            liveWidth_ = 0;
        }
    } else {
        fmt::print(options_.progressStream, "{}\n", line);
    }
    (void)std::fflush(options_.progressStream);
}

StreamStats Session::stream(const Trajectory& trajectory, const std::string& label) {
    StreamStats stats;
    const MotionLimits limits = machine_.limits();
    stats.segments = trajectory.targets.size();
    stats.expectedEnd = endSteps(trajectory.end(), trajectory.start, limits);
    for (const Vec6& t : trajectory.targets) {
        plot_.commanded.push_back(
            {machine_.axes[0].configured ? t[0] / machine_.axes[0].stepsPerUnit : 0.0,
             machine_.axes[1].configured ? t[1] / machine_.axes[1].stepsPerUnit : 0.0});
    }
    note(fmt::format("stream of {} segments", stats.segments));

    int64_t executedBefore = sim_ ? sim_->executedCount() : 0;
    int64_t blocksBefore = blockWrites_;
    double start = now();
    streamWallStart_ = std::chrono::steady_clock::now();
    lastProgressDecile_ = -1;
    progressLabel_ = label;
    stats_ = &stats;
    staleTag_ = status_.segmentTag;
    freshTags_ = false;
    streaming_ = true;
    allSent_ = false;
    primed_ = false;
    uint64_t framesWhenSent = 0;
    size_t next = 0;
    const size_t total = stats.segments;
    double timeout = trajectory.seconds() + kStreamSlack;
    auto finish = [&] {
        stats_ = nullptr;
        streaming_ = false;
        segmentsDone_ += total;
    };
    try {
        while (true) {
            cycle();
            while (next < total && telvo_BufFreeCnt() > 0) {
                MotionSegment segment{};
                for (int a = 0; a < kAxisCount; ++a)
                    segment.target[a] = trajectory.targets[next][a];
                segment.tag = static_cast<int32_t>(next + 1);
                if (!telvo_BufAdd(&segment)) break;
                if (!sim_ && trace_.isOpen())
                    trace_.segment(static_cast<int64_t>(std::llround(now() * 1e6)), segment);
                ++next;
            }
            if (!allSent_ && next == total && telvo_BufEmpty()) {
                allSent_ = true;
                framesWhenSent = frames_;
            }
            // Done once frames read after the last block show an empty buffer.
            if (allSent_ && frames_ >= framesWhenSent + 2 && status_.bufferLevel == 0) break;
            progressLine(stats, total, start, false);
            if (now() - start > timeout) {
                throw ToolError(fmt::format(
                    "the controller stopped executing: {} of {} segments after {:.1f} s (buffer "
                    "level {})",
                    std::max(0, status_.segmentTag), total, now() - start, status_.bufferLevel));
            }
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
    stats.executed =
        sim_ ? sim_->executedCount() - executedBefore : std::max(0, status_.segmentTag);
    stats.blocks = blockWrites_ - blocksBefore;
    stats.controllerSeconds = now() - start;
    stats.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - streamWallStart_).count();
    stats.endReached = true;
    for (int a = 0; a < kAxisCount; ++a) {
        stats.finalPosition[a] = status_.position[static_cast<size_t>(a)];
        if (stats.finalPosition[a] != stats.expectedEnd[a]) stats.endReached = false;
    }
    progressLine(stats, total, start, true);
    note(fmt::format("stream done: {} sent, {} executed", stats.sent, stats.executed));
    return stats;
}

ProbeOutcome Session::probe(const Vec6& startSteps, const Vec6& endSteps, double speed) {
    const MotionLimits limits = machine_.limits();
    double length = 0.0;
    for (int a = 0; a < kAxisCount; ++a) {
        double d = (endSteps[a] - startSteps[a]) / limits[a].stepsPerUnit;
        length += d * d;
    }
    length = std::sqrt(length);
    // Refused before anything moves; the library would refuse it too.
    if (length == 0.0)
        throw ToolError("the probing move is empty: start and end are the same point");

    // The probing move begins at its start point: go there first.
    Vec6 here = positionSteps();
    bool atStart = true;
    for (int a = 0; a < kAxisCount; ++a) {
        if (limits[a].enabled && std::fabs(here[a] - startSteps[a]) > 0.5) atStart = false;
    }
    if (!atStart) stream(straightMove(here, startSteps, limits), "approach");

    ProbeOutcome out;
    double start = now();
    int sent = telvo_CmdProbe(startSteps.data(), endSteps.data(), speed);
    drainWrites();
    note(fmt::format("telvo_CmdProbe(speed {:g}) = {}", speed, sent));
    if (!sent) {
        if (telvo_GetProbeResult() == kProbeEndedUntriggered)
            throw ToolError("the probing move is empty: start and end are the same point");
        throw ToolError("the probe command could not be written to the controller");
    }
    double timeout = 2.0 * length / speed + kStreamSlack;
    runUntil([] { return telvo_IsProbing() == 0; }, timeout, "the probing move did not end");
    out.result = telvo_GetProbeResult();
    note(fmt::format("telvo_GetProbeResult() = {}", out.result));
    if (out.result == kProbeTriggered) {
        double pos[kAxisCount] = {};
        if (telvo_GetProbePos(pos)) {
            out.triggered = true;
            for (int a = 0; a < kAxisCount; ++a) out.position[a] = pos[a];
            note(fmt::format("telvo_GetProbePos() = {} {} {} {} {} {}", pos[0], pos[1], pos[2],
                             pos[3], pos[4], pos[5]));
            plot_.probe =
                Point{machine_.axes[0].configured ? pos[0] / machine_.axes[0].stepsPerUnit : 0.0,
                      machine_.axes[1].configured ? pos[1] / machine_.axes[1].stepsPerUnit : 0.0};
        }
    }
    waitIdle(kSettleTimeout);
    resync();
    out.controllerSeconds = now() - start;
    return out;
}

void Session::jog(int axis, double velocity, double seconds) {
    const AxisSettings& a = machine_.axes[axis];
    long speed = std::lround(std::fabs(velocity) * a.stepsPerUnit);
    if (speed < 1) throw ToolError("jog velocity rounds to 0 steps per second");
    if (speed > a.maxVelocity) {
        throw ToolError(
            fmt::format("jog velocity {:g} units/s is above axis {}'s max_velocity ({:g} units/s)",
                        std::fabs(velocity), kAxisLetters[axis],
                        static_cast<double>(a.maxVelocity) / a.stepsPerUnit));
    }
    int on =
        telvo_CmdJogOn(static_cast<uint8_t>(axis), velocity < 0 ? 1 : 0, static_cast<int>(speed));
    drainWrites();
    note(fmt::format("telvo_CmdJogOn({}, {}, {}) = {}", axis, velocity < 0 ? 1 : 0, speed, on));
    if (!on) throw ToolError("the jog command could not be written");
    double start = now();
    runUntil([&] { return now() - start >= seconds; }, seconds + kSettleTimeout, "jogging");
    int off = telvo_CmdJogOff(static_cast<uint8_t>(axis));
    drainWrites();
    note(fmt::format("telvo_CmdJogOff({}) = {}", axis, off));
    // Wait until the axis stands still: the same position in two frames.
    const size_t ax = static_cast<size_t>(axis);
    int32_t last = status_.position[ax];
    int still = 0;
    uint64_t seen = frames_;
    runUntil(
        [&] {
            if (frames_ != seen) {
                seen = frames_;
                still = status_.position[ax] == last ? still + 1 : 0;
                last = status_.position[ax];
            }
            return still >= 3;
        },
        kSettleTimeout, "the jogging axis did not stop");
    resync();
}

void Session::watch(double seconds, double everyMs,
                    const std::function<void(const StatusFields&, double)>& print) {
    double start = now();
    double last = -1e300;
    while (seconds <= 0.0 || now() - start < seconds) {
        if (cycle() && (now() - last) * 1000.0 >= everyMs) {
            last = now();
            print(status_, last - start);
        }
    }
}

void Session::disconnect() {
    if (!open_) return;
    int r = telvo_Disconnect();
    drainWrites();
    note(fmt::format("telvo_Disconnect() = {}", r));
}

void Session::close() {
    if (open_) {
        int r = telvo_Close();
        drainWrites();
        note(fmt::format("telvo_Close() = {}", r));
        open_ = false;
    }
    if (realtimeStarted_ && sim_) {
        sim_->setRealtime(0.0);
        realtimeStarted_ = false;
    }
}

void Session::stopForSilence(double silentSeconds) {
    // The machine file's mode for "off" (M5's), not a mode of our own.
    const uint8_t offMode = static_cast<uint8_t>(machine_.spindle.offMode);
    const int spindle = telvo_CmdSpindle(offMode, 0, 0);
    const int stop = telvo_CmdStop(0);
    telvo_BufClear();
    drainWrites();
    note(
        fmt::format("no status frame for {:.0f} ms: telvo_CmdSpindle({}, 0, 0) = {}, "
                    "telvo_CmdStop(0) = {}, telvo_BufClear()",
                    silentSeconds * 1e3, offMode, spindle, stop));
    throw ToolError(
        fmt::format("no status frame for {:.0f} ms: the controller stopped answering; "
                    "machine stopped, spindle off",
                    silentSeconds * 1e3));
}

void Session::abort() {
    if (!open_) return;
    telvo_CmdStop(0);
    telvo_BufClear();
    drainWrites();
    note("aborted: telvo_CmdStop(0), telvo_BufClear()");
    disconnect();
    close();
}

int64_t Session::executedCount() {
    return sim_ ? sim_->executedCount() : -1;
}

int Session::queued() const {
    return std::max(0, (kQueueCapacity - 1) - telvo_BufFreeCnt());
}

int Session::freeSlots() const {
    return telvo_BufFreeCnt();
}

bool Session::add(const MotionSegment& segment) {
    if (!telvo_BufAdd(&segment)) return false;
    if (!sim_ && trace_.isOpen())
        trace_.segment(static_cast<int64_t>(std::llround(now() * 1e6)), segment);
    return true;
}

bool Session::spindleCommand(uint8_t mode, uint16_t value, int speed) {
    int sent = telvo_CmdSpindle(mode, value, speed);
    drainWrites();
    note(fmt::format("telvo_CmdSpindle({}, {}, {}) = {}", mode, value, speed, sent));
    return sent != 0;
}

bool Session::outputs(uint16_t bits) {
    int sent = telvo_CmdSetOutputs(bits, 0, 0);
    drainWrites();
    note(fmt::format("telvo_CmdSetOutputs(0x{:04X}, 0, 0) = {}", bits, sent));
    return sent != 0;
}

void Session::stopAndClear(const char* why) {
    const int stop = telvo_CmdStop(0);
    telvo_BufClear();
    const int purge = telvo_CmdPurge(0);
    drainWrites();
    telvo_PosResync();
    note(
        fmt::format("{}: telvo_CmdStop(0) = {}, telvo_BufClear(), telvo_CmdPurge(0) = {}, "
                    "telvo_PosResync()",
                    why, stop, purge));
}

void Session::startHoming(int axis) {
    int sent = telvo_CmdHomeAxis(static_cast<uint8_t>(axis));
    drainWrites();
    note(fmt::format("telvo_CmdHomeAxis({}) = {}", axis, sent));
    if (!sent)
        throw ToolError(
            fmt::format("the homing command for axis {} could not be written", kAxisLetters[axis]));
}

void Session::startProbe(const Vec6& startSteps, const Vec6& endSteps, double speed) {
    int sent = telvo_CmdProbe(startSteps.data(), endSteps.data(), speed);
    drainWrites();
    note(fmt::format("telvo_CmdProbe(speed {:g}) = {}", speed, sent));
    if (!sent) {
        if (telvo_GetProbeResult() == kProbeEndedUntriggered)
            throw ToolError("the probing move is empty: start and end are the same point");
        throw ToolError("the probe command could not be written to the controller");
    }
}

std::optional<ProbeOutcome> Session::probeEnded() {
    if (telvo_IsProbing() != 0) return std::nullopt;
    ProbeOutcome out;
    out.result = telvo_GetProbeResult();
    note(fmt::format("telvo_GetProbeResult() = {}", out.result));
    if (out.result == kProbeTriggered) {
        double pos[kAxisCount] = {};
        if (telvo_GetProbePos(pos)) {
            out.triggered = true;
            for (int a = 0; a < kAxisCount; ++a) out.position[a] = pos[a];
            note(fmt::format("telvo_GetProbePos() = {} {} {} {} {} {}", pos[0], pos[1], pos[2],
                             pos[3], pos[4], pos[5]));
        }
    }
    return out;
}

bool Session::homing() const {
    return telvo_IsHoming() != 0;
}

std::vector<std::string> Session::protocolErrors() {
    if (!sim_) return {};
    return sim_->protocolErrors();
}

void Session::clearHistory() {
    plot_.commanded.clear();
    plot_.executed.clear();
    plot_.bufferLevel.clear();
    plot_.probe.reset();
}

void Session::finishTrace() {
    trace_.close();
}

}  // namespace telvo::tool
