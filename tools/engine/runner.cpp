// Part-program runs; see runner.h.
#include "engine/runner.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#if !defined(_WIN32)
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace telvo::tool {
namespace {

// Waits for Enter on the standard input: true when a line came, false at the
// end of the input. Ctrl-C ends the wait with Interrupted: a blocking read
// would be restarted after the signal handler and wait on with the spindle
// turning, so the input is polled and the stop request looked at between.
bool waitForEnter() {
#if defined(_WIN32)
    int c = 0;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
    }
    if (stopRequested()) throw Interrupted();
    return c != EOF;
#else
    constexpr int kPollMs = 50;
    while (true) {
        if (stopRequested()) throw Interrupted();
        pollfd in{STDIN_FILENO, POLLIN, 0};
        int ready = ::poll(&in, 1, kPollMs);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        char c = 0;
        ssize_t got = ::read(STDIN_FILENO, &c, 1);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) return false;
        if (c == '\n') return true;
    }
#endif
}

// Direct commands for the spindle and the coolant outputs.
class Auxiliaries {
public:
    Auxiliaries(Session& session, const Machine& m) : session_(session), m_(m) {}

    void spindle(int direction, double rpm) {
        const SpindleSettings& s = m_.spindle;
        int mode = direction > 0 ? s.cwMode : (direction < 0 ? s.ccwMode : s.offMode);
        double r = direction == 0 ? 0.0 : std::min(rpm, s.maxRpm);
        auto value = static_cast<uint16_t>(std::lround(r / s.maxRpm * s.valueAtMax));
        int speed = static_cast<int>(std::lround(r / 60.0 * s.stepsPerRev));
        int sent = telvo_CmdSpindle(static_cast<uint8_t>(mode), value, speed);
        session_.note(fmt::format("telvo_CmdSpindle({}, {}, {}) = {}", mode, value, speed, sent));
        if (!sent) throw ToolError("the spindle command could not be written");
        spindleOn_ = direction != 0;
    }
    void coolant(bool mist, bool flood) {
        const CoolantSettings& c = m_.coolant;
        if (c.mistBit >= 0)
            outputs_ = static_cast<uint16_t>(mist ? outputs_ | (1u << c.mistBit)
                                                  : outputs_ & ~(1u << c.mistBit));
        if (c.floodBit >= 0)
            outputs_ = static_cast<uint16_t>(flood ? outputs_ | (1u << c.floodBit)
                                                   : outputs_ & ~(1u << c.floodBit));
        int sent = telvo_CmdSetOutputs(outputs_, 0, 0);
        session_.note(fmt::format("telvo_CmdSetOutputs(0x{:04X}, 0, 0) = {}", outputs_, sent));
        if (!sent) throw ToolError("the output command could not be written");
        coolantOn_ = outputs_ != 0;
    }
    // At the end, after an error and on Ctrl-C.
    void allOff() {
        if (spindleOn_) spindle(0, 0.0);
        if (coolantOn_) coolant(false, false);
    }
    void allOffQuietly() noexcept {
        try {
            allOff();
        } catch (...) {
        }
    }

private:
    Session& session_;
    const Machine& m_;
    uint16_t outputs_ = 0;
    bool spindleOn_ = false, coolantOn_ = false;
};

void merge(StreamStats& total, const StreamStats& s) {
    total.segments += s.segments;
    total.sent += s.sent;
    total.executed += s.executed;
    total.blocks += s.blocks;
    if (s.lowestLevel >= 0)
        total.lowestLevel =
            total.lowestLevel < 0 ? s.lowestLevel : std::min(total.lowestLevel, s.lowestLevel);
    total.highestLevel = std::max(total.highestLevel, s.highestLevel);
    total.underruns += s.underruns;
    total.expectedEnd = s.expectedEnd;
    total.finalPosition = s.finalPosition;
    total.endReached = s.endReached;
    total.wallSeconds += s.wallSeconds;
}

}  // namespace

Interpreted checkProgram(std::string_view text, const Machine& machine, const RunOptions& options,
                         const Vec6& start) {
    GcodeSetup setup = machine.gcodeSetup();
    setup.blockDelete = options.blockDelete;
    return interpret(text, setup, start);
}

ProgramRun runProgram(Session& session, const Machine& m, std::string_view text,
                      const std::string& file, const RunOptions& options, Interpreted* checked,
                      const Vec6& checkedStart) {
    ProgramRun run;
    Vec6 startSteps = session.positionSteps();
    Vec6 start = session.positionUnits();
    if (checked && start == checkedStart)
        run.program = std::move(*checked);
    else
        run.program = checkProgram(text, m, options, start);
    auto refuse = [&](const std::vector<Diagnostic>& list, bool truncated, const std::string& why) {
        (void)std::fflush(stdout);
        fmt::print(stderr, "{}", formatDiagnostics(list, file, truncated));
        throw ToolError(fmt::format("{}: {}; nothing was run", file, why));
    };
    if (!run.program.ok())
        refuse(run.program.errors, run.program.errorsTruncated, "the program has problems");
    for (const Op& op : run.program.ops)
        run.moves +=
            op.kind == OpKind::Rapid || op.kind == OpKind::Linear || op.kind == OpKind::Arc;
    run.plan = planProgram(run.program, m.planSettings(), startSteps);
    if (!run.plan.errors.empty())
        refuse(run.plan.errors, false,
               "the program leaves the machine's travel from where the machine stands");
    std::FILE* log = options.log;
    for (const Diagnostic& n : run.program.notes)
        fmt::print(log, "{}:{}: note: {}\n", file, n.line, n.message);
    fmt::print(log,
               "{}: {} moves, {} segments: {:.2f} s of motion and dwells planned (feed-limited "
               "bound {:.2f} s)\n",
               file, run.moves, run.plan.targets.size(), run.plan.seconds(),
               run.plan.feedBoundSeconds);
    (void)std::fflush(log);

    if (options.targets) options.targets->begin(startSteps);
    Auxiliaries aux(session, m);
    size_t segmentsBefore = session.segmentsStreamed();
    // The check follows the run: the targets as they stream, each report of
    // the controller as it comes, against the program's operations.
    const CheckSettings checkWith = checkSettings(m.planSettings());
    RunChecker checker(checkWith, run.program.start, run.plan.startSteps);
    PlanFeed feed(checker, run.program, run.plan);
    struct Unhook {
        Session& s;
        ~Unhook() { s.onReports(nullptr); }
    } unhook{session};
    session.onReports([&](const Vec6& units, double seconds, size_t segments) {
        size_t executed = segments - std::min(segments, segmentsBefore);
        feed.upTo(executed + checkWith.reportWindow + 1);
        checker.addReport(units, executed,
                          options.exactTimes ? std::optional<double>(seconds) : std::nullopt);
    });
    size_t commandedFrom = session.plot().commanded.size();
    double startTime = session.now();
    auto wallStart = std::chrono::steady_clock::now();
    size_t nextOp = 0;  // messages are shown when their stretch starts
    auto showMessages = [&](size_t upTo) {
        for (; nextOp < upTo && nextOp < run.program.ops.size(); ++nextOp) {
            const Op& op = run.program.ops[nextOp];
            if (op.kind == OpKind::Message) {
                fmt::print(log, "{}:{}: message: {}\n", file, op.line, op.text);
            }
        }
        (void)std::fflush(log);
    };
    try {
        for (const PlanStep& step : run.plan.steps) {
            showMessages(step.op >= 0 ? static_cast<size_t>(step.op) : run.program.ops.size());
            if (step.endTarget > step.firstTarget) {
                Trajectory t;
                t.start = session.positionSteps();
                // The whole program in one stretch is lent, not copied.
                bool whole = step.firstTarget == 0 && step.endTarget == run.plan.targets.size();
                if (whole) {
                    t.targets = std::move(run.plan.targets);
                } else {
                    t.targets.assign(
                        run.plan.targets.begin() + static_cast<std::ptrdiff_t>(step.firstTarget),
                        run.plan.targets.begin() + static_cast<std::ptrdiff_t>(step.endTarget));
                }
                StreamStats s;
                feed.source(t.targets, step.firstTarget);
                try {
                    s = session.stream(t, "run");
                } catch (...) {
                    session.onReports(nullptr);
                    if (whole) run.plan.targets = std::move(t.targets);
                    throw;
                }
                feed.upTo(step.endTarget);
                if (options.targets) options.targets->rows(run.plan, t.targets, step.firstTarget);
                if (whole) run.plan.targets = std::move(t.targets);
                feed.source(run.plan.targets, 0);
                merge(run.stats, s);
            }
            if (step.op < 0) continue;
            const Op& op = run.program.ops[static_cast<size_t>(step.op)];
            nextOp = static_cast<size_t>(step.op) + 1;
            switch (op.kind) {
                case OpKind::Spindle:
                    aux.spindle(op.direction, op.rpm);
                    fmt::print(
                        log, "{}:{}: spindle {}\n", file, op.line,
                        op.direction == 0
                            ? std::string("off")
                            : fmt::format("{} at {:g} rpm",
                                          op.direction > 0 ? "clockwise" : "counterclockwise",
                                          op.rpm));
                    break;
                case OpKind::Coolant:
                    aux.coolant(op.mist, op.flood);
                    fmt::print(log, "{}:{}: coolant {}\n", file, op.line,
                               op.mist || op.flood ? fmt::format("{}{}{}", op.mist ? "mist" : "",
                                                                 op.mist && op.flood ? " and " : "",
                                                                 op.flood ? "flood" : "")
                                                   : "off");
                    break;
                case OpKind::ToolChange:
                    fmt::print(log, "{}:{}: tool change to T{}\n", file, op.line, op.tool);
                    if (options.pauseAtToolChange) {
                        fmt::print(log, "  load tool {} and press Enter to go on\n", op.tool);
                        (void)std::fflush(log);
                        if (!waitForEnter())
                            throw ToolError(fmt::format(
                                "{}:{}: stopped at the tool change (no answer on the input)", file,
                                op.line));
                    }
                    break;
                case OpKind::Pause:
                    if (options.stopAtPause) {
                        run.stoppedAt = fmt::format("stopped at {} on line {}",
                                                    op.optional ? "M1" : "M0", op.line);
                        fmt::print(log, "{}:{}: {} pause: the run stops here (--stop-at-pause)\n",
                                   file, op.line, op.optional ? "M1" : "M0");
                    } else {
                        fmt::print(log, "{}:{}: {} pause: going on (no operator)\n", file, op.line,
                                   op.optional ? "M1 optional" : "M0");
                    }
                    break;
                case OpKind::End:
                    fmt::print(log, "{}:{}: end of program\n", file, op.line);
                    break;
                default:
                    break;
            }
            (void)std::fflush(log);
            if (!run.stoppedAt.empty()) break;
        }
        aux.allOff();
    } catch (...) {
        session.onReports(nullptr);
        telvo_CmdStop(0);
        telvo_BufClear();
        aux.allOffQuietly();
        throw;
    }
    run.controllerSeconds = session.now() - startTime;
    run.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    run.stats.segments = run.plan.targets.size();

    session.onReports(nullptr);
    // Targets left (after a stop at a pause) and the program's end.
    run.check = feed.finish();
    PlotData& plot = session.plot();
    // Rapids are drawn apart from the cuts.
    plot.commandedRapid.resize(plot.commanded.size(), 0);
    for (size_t r = 0; r < run.plan.rapidRuns.size(); ++r) {
        size_t from = commandedFrom + run.plan.rapidRuns[r].first;
        size_t to = r + 1 < run.plan.rapidRuns.size()
                        ? commandedFrom + run.plan.rapidRuns[r + 1].first
                        : plot.commanded.size();
        for (size_t k = from; k < to && k < plot.commanded.size(); ++k)
            plot.commandedRapid[k] = run.plan.rapidRuns[r].second;
    }
    if (run.stoppedAt.empty()) run.check.endReached = run.check.endReached && run.stats.endReached;
    return run;
}

}  // namespace telvo::tool
