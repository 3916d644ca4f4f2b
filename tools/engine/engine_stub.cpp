// STAND-IN ENGINE, NOT THE ENGINE: a throwaway kinematic simulation of engine.h for developing the station until the real engine lands. Delete it then.
//
// No controller is opened: positions come straight from the look-ahead
// planner's 1 ms targets (programs, MDI, step jogs) or from a ramped
// velocity (continuous jogs). One advance() is 1 ms of simulated time when
// the speed is 0, otherwise as many ms as the wall clock (times the speed)
// has moved on.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "engine/engine.h"
#include "host/interp.h"

namespace telvo::tool {

const char* modeName(EngineMode mode) {
    switch (mode) {
        case EngineMode::Closed: return "closed";
        case EngineMode::Idle: return "idle";
        case EngineMode::Running: return "running";
        case EngineMode::Holding: return "holding";
        case EngineMode::Held: return "held";
        case EngineMode::Paused: return "paused";
        case EngineMode::Jogging: return "jogging";
        case EngineMode::Homing: return "homing";
        case EngineMode::Probing: return "probing";
        case EngineMode::Stopping: return "stopping";
        case EngineMode::Fault: return "fault";
    }
    return "?";
}

namespace {
std::string readAll(const std::string& path, bool& ok) {
    std::ifstream in(path, std::ios::binary);
    ok = static_cast<bool>(in);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}
}  // namespace

struct Engine::Impl {
    Machine machine;
    EngineOptions options;
    EngineStatus st;
    std::vector<EngineObserver*> observers;
    std::chrono::steady_clock::time_point wall;
    double simSeconds = 0.0;

    enum class Job { None, Program, Jog, Home };
    Job job = Job::None;
    bool mdi = false;
    Interpreted program;
    size_t pushed = 0;
    std::optional<LookAhead> planner;
    // Continuous jog.
    int jogAxis = 0;
    double jogVelocity = 0.0, jogTarget = 0.0;
    double homeLeft = 0.0;

    Impl(const Machine& m, EngineOptions o) : machine(m), options(o) {
        st.workOffsets = m.program.workOffsets;
    }

    void emit(EngineEvent::Kind kind, int line, const std::string& text, int tool = 0) {
        EngineEvent e;
        e.kind = kind;
        e.line = line;
        e.text = text;
        e.tool = tool;
        for (EngineObserver* o : observers) o->onEvent(e);
    }
    Vec6 steps(const Vec6& units) const {
        Vec6 s{};
        for (int a = 0; a < kAxisCount; ++a) s[a] = units[a] * machine.axes[a].stepsPerUnit;
        return s;
    }
    void updateWork() {
        for (int a = 0; a < kAxisCount; ++a)
            st.work[a] = st.machine[a] - st.workOffsets[st.workSystem][a] - st.g92[a] -
                         (a == 2 ? st.toolLength : 0.0);
    }
    bool idle() const { return st.mode == EngineMode::Idle; }
    std::string busy() const {
        if (st.mode == EngineMode::Closed) return "no controller";
        return std::string("the machine is ") + modeName(st.mode);
    }
    std::string start(const Interpreted& p, bool isMdi) {
        if (!p.ok()) {
            const Diagnostic& d = p.errors.front();
            return "line " + std::to_string(d.line) + ": " + d.message;
        }
        program = p;
        pushed = 0;
        mdi = isMdi;
        planner.emplace(machine.planSettings(), st.machine, steps(st.machine));
        planner->setFeedScale(st.feedOverride);
        planner->setRapidScale(st.rapidOverride);
        job = Job::Program;
        st.mode = EngineMode::Running;
        st.elapsed = 0.0;
        return "";
    }
    GcodeSetup setup() const {
        GcodeSetup g = machine.gcodeSetup();
        g.workOffsets = st.workOffsets;
        g.blockDelete = options.blockDelete;
        return g;
    }
    void finish(const std::string& what) {
        job = Job::None;
        planner.reset();
        st.mode = EngineMode::Idle;
        st.waiting = WaitReason::None;
        st.line = 0;
        st.feed = 0.0;
        emit(EngineEvent::Kind::Finished, 0, what);
    }
    void stepProgram() {
        LookAhead& la = *planner;
        while (la.wantsInput() && pushed < program.ops.size()) {
            la.push(program.ops[pushed], pushed);
            ++pushed;
        }
        if (pushed == program.ops.size() && !la.finished()) la.finish();
        for (;;) {
            LookAhead::Next n = la.next();
            if (n == LookAhead::Next::NeedInput) {
                if (pushed < program.ops.size()) {
                    la.push(program.ops[pushed], pushed);
                    ++pushed;
                } else if (!la.finished()) {
                    la.finish();
                }
                continue;
            }
            if (n == LookAhead::Next::Sample) {
                const Sample& s = la.sample();
                for (int a = 0; a < kAxisCount; ++a)
                    st.machine[a] = s.steps[a] / machine.axes[a].stepsPerUnit;
                st.line = s.line;
                st.feed = s.speed;
                for (EngineObserver* o : observers) o->onSample(s);
                return;
            }
            if (n == LookAhead::Next::Action) {
                const Op& op = la.action();
                if (op.kind == OpKind::Message && op.text >= 0) {
                    emit(EngineEvent::Kind::Message, op.line, program.texts[op.text]);
                } else if (op.kind == OpKind::Pause) {
                    st.mode = EngineMode::Paused;
                    st.waiting = op.optional ? WaitReason::OptionalPause : WaitReason::ProgramPause;
                    st.line = op.line;
                    emit(EngineEvent::Kind::Pause, op.line, op.optional ? "M1" : "M0");
                    return;
                } else if (op.kind == OpKind::ToolChange) {
                    st.mode = EngineMode::Paused;
                    st.waiting = WaitReason::ToolChange;
                    st.line = op.line;
                    st.tool = op.tool;
                    emit(EngineEvent::Kind::ToolChange, op.line, "load tool", op.tool);
                    return;
                } else if (op.kind == OpKind::Spindle) {
                    st.spindleDirection = op.direction;
                    st.spindleRpm = op.rpm;
                } else if (op.kind == OpKind::Coolant) {
                    st.mist = op.mist;
                    st.flood = op.flood;
                }
                continue;
            }
            if (n == LookAhead::Next::Held) {
                if (st.mode == EngineMode::Stopping) {
                    st.spindleDirection = 0;
                    st.mist = st.flood = false;
                    finish("stopped");
                } else {
                    st.mode = EngineMode::Held;
                    st.waiting = WaitReason::FeedHold;
                    st.feed = 0.0;
                }
                return;
            }
            if (n == LookAhead::Next::Error) {
                emit(EngineEvent::Kind::Error, la.error().line, la.error().message);
                finish("failed");
                return;
            }
            // Done.
            finish(mdi ? "MDI line done" : "program done");
            return;
        }
    }
    void stepJog() {
        const AxisSettings& ax = machine.axes[jogAxis];
        double acc = ax.acceleration / static_cast<double>(ax.stepsPerUnit);
        double dv = acc * kSegmentSeconds;
        if (jogVelocity < jogTarget) {
            jogVelocity = std::min(jogTarget, jogVelocity + dv);
        } else if (jogVelocity > jogTarget) {
            jogVelocity = std::max(jogTarget, jogVelocity - dv);
        }
        st.machine[jogAxis] += jogVelocity * kSegmentSeconds;
        for (int a = 0; a < kAxisCount; ++a)
            if (machine.axes[a].slaveOf == jogAxis + 1) st.machine[a] = st.machine[jogAxis];
        st.feed = std::fabs(jogVelocity);
        if (jogTarget == 0.0 && jogVelocity == 0.0) finish("jog done");
    }
    void stepMs() {
        simSeconds += kSegmentSeconds;
        if (job != Job::None) st.elapsed += kSegmentSeconds;
        if (job == Job::Program && st.mode != EngineMode::Paused && st.mode != EngineMode::Held)
            stepProgram();
        else if (job == Job::Jog)
            stepJog();
        else if (job == Job::Home) {
            homeLeft -= kSegmentSeconds;
            if (homeLeft <= 0.0) {
                st.machine = Vec6{};
                st.positionKnown = true;
                finish("homed");
            }
        }
        updateWork();
        st.bufferLevel = st.mode == EngineMode::Running ? 200 : 0;
    }
};

Engine::Engine(const Machine& machine, EngineOptions options)
    : impl_(std::make_unique<Impl>(machine, options)) {}
Engine::~Engine() = default;

void Engine::open() {
    impl_->st.mode = EngineMode::Idle;
    impl_->wall = std::chrono::steady_clock::now();
}
void Engine::close() { impl_->st.mode = EngineMode::Closed; }

void Engine::advance() {
    Impl& d = *impl_;
    if (d.st.mode == EngineMode::Closed) return;
    if (d.options.speed <= 0.0) {
        d.stepMs();
        return;
    }
    auto now = std::chrono::steady_clock::now();
    double ms = std::chrono::duration<double, std::milli>(now - d.wall).count() * d.options.speed;
    int n = std::min(50, static_cast<int>(ms));
    for (int k = 0; k < n; ++k) d.stepMs();
    if (n > 0) d.wall = now;
}

void Engine::sleepUntilNextCycle() {
    if (impl_->options.speed > 0.0) std::this_thread::sleep_for(std::chrono::microseconds(500));
}
const EngineStatus& Engine::status() const { return impl_->st; }
bool Engine::simulated() const { return true; }
void Engine::addObserver(EngineObserver* o) { impl_->observers.push_back(o); }
void Engine::removeObserver(EngineObserver* o) {
    auto& v = impl_->observers;
    v.erase(std::remove(v.begin(), v.end(), o), v.end());
}

ProgramCheck Engine::check(const std::string& path,
                           const std::function<void(const Vec6&, bool, int)>& piece) {
    ProgramCheck c;
    Impl& d = *impl_;
    if (!d.idle() && d.st.mode != EngineMode::Closed) {
        c.errors.push_back({0, "", "the pre-pass runs only while the machine is idle", ""});
        return c;
    }
    bool ok = false;
    std::string text = readAll(path, ok);
    if (!ok) {
        c.errors.push_back({0, "", "cannot read " + path, ""});
        return c;
    }
    Interpreted p = interpret(text, d.setup(), d.st.machine);
    c.errors = p.errors;
    c.notes = p.notes;
    c.lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    Vec6 from = d.st.machine;
    for (const Op& op : p.ops) {
        if (op.kind != OpKind::Rapid && op.kind != OpKind::Linear && op.kind != OpKind::Arc)
            continue;
        ++c.moves;
        if (piece && op.kind == OpKind::Arc) {
            // Points along the arc, so that arcs and full circles show.
            const int a0 = op.axis0, a1 = op.axis1;
            double t0 = std::atan2(from[a1] - op.center1, from[a0] - op.center0);
            double t1 = std::atan2(op.end[a1] - op.center1, op.end[a0] - op.center0);
            double r0 = std::hypot(from[a0] - op.center0, from[a1] - op.center1);
            double r1 = std::hypot(op.end[a0] - op.center0, op.end[a1] - op.center1);
            double sweep = op.ccw ? t1 - t0 : t0 - t1;
            while (sweep <= 1e-9) sweep += 2.0 * 3.141592653589793;
            sweep += 2.0 * 3.141592653589793 * op.extraTurns;
            int n = std::clamp(static_cast<int>(sweep * std::max(r0, r1) / 0.2), 8, 2000);
            for (int k = 1; k < n; ++k) {
                double f = static_cast<double>(k) / n;
                double t = t0 + (op.ccw ? 1.0 : -1.0) * sweep * f;
                double r = r0 + (r1 - r0) * f;
                Vec6 q{};
                for (int a = 0; a < kAxisCount; ++a) q[a] = from[a] + (op.end[a] - from[a]) * f;
                q[a0] = op.center0 + r * std::cos(t);
                q[a1] = op.center1 + r * std::sin(t);
                piece(q, false, op.line);
            }
        }
        if (piece) piece(op.end, op.kind == OpKind::Rapid, op.line);
        from = op.end;
    }
    return c;
}

std::string Engine::run(const std::string& path, int fromLine) {
    Impl& d = *impl_;
    if (!d.idle()) return d.busy();
    if (!d.st.positionKnown) return "the position is not known: home or confirm it first";
    bool ok = false;
    std::string text = readAll(path, ok);
    if (!ok) return "cannot read " + path;
    Interpreted p = interpret(text, d.setup(), d.st.machine);
    if (fromLine > 0) {
        std::vector<Op> kept;
        for (const Op& op : p.ops)
            if (op.line >= fromLine) kept.push_back(op);
        p.ops = kept;
    }
    std::string r = d.start(p, false);
    if (r.empty()) d.st.program = path;
    return r;
}

std::string Engine::mdi(const std::string& line) {
    Impl& d = *impl_;
    if (!d.idle()) return d.busy();
    return d.start(interpret(line, d.setup(), d.st.machine), true);
}

std::string Engine::hold() {
    Impl& d = *impl_;
    if (d.st.mode != EngineMode::Running) return "nothing to hold";
    d.planner->hold();
    d.st.mode = EngineMode::Holding;
    return "";
}

std::string Engine::resume() {
    Impl& d = *impl_;
    if (d.st.mode != EngineMode::Held && d.st.mode != EngineMode::Paused) return "nothing to resume";
    if (!d.st.positionKnown) return "the position is not known: home or confirm it first";
    if (d.st.mode == EngineMode::Held) d.planner->resume();
    d.st.mode = EngineMode::Running;
    d.st.waiting = WaitReason::None;
    return "";
}

std::string Engine::stop() {
    Impl& d = *impl_;
    if (d.job == Impl::Job::Jog) return jogStop();
    if (d.job != Impl::Job::Program) return "nothing to stop";
    if (d.st.mode == EngineMode::Held || d.st.mode == EngineMode::Paused) {
        d.finish("stopped");
        return "";
    }
    d.planner->hold();
    d.st.mode = EngineMode::Stopping;
    return "";
}

std::string Engine::abort() {
    Impl& d = *impl_;
    if (d.job != Impl::Job::None) d.finish("aborted");
    d.st.positionKnown = false;
    return "";
}

std::string Engine::setFeedOverride(double scale) {
    if (!(scale >= 0.01 && scale <= 2.0)) return "feed override must be 1..200 %";
    impl_->st.feedOverride = scale;
    if (impl_->planner) impl_->planner->setFeedScale(scale);
    return "";
}
std::string Engine::setRapidOverride(double scale) {
    if (scale != 0.25 && scale != 0.5 && scale != 1.0) return "rapid override must be 25, 50 or 100 %";
    impl_->st.rapidOverride = scale;
    if (impl_->planner) impl_->planner->setRapidScale(scale);
    return "";
}
std::string Engine::setSpindleOverride(double scale) {
    if (!(scale >= 0.5 && scale <= 1.5)) return "spindle override must be 50..150 %";
    impl_->st.spindleOverride = scale;
    return "";
}

std::string Engine::jogStart(int axis, int direction, double speed) {
    Impl& d = *impl_;
    if (!d.idle()) return d.busy();
    if (axis < 0 || axis >= kAxisCount || !d.machine.axes[axis].configured) return "no such axis";
    double vmax = d.machine.axes[axis].maxVelocity /
                  static_cast<double>(d.machine.axes[axis].stepsPerUnit);
    d.job = Impl::Job::Jog;
    d.jogAxis = axis;
    d.jogVelocity = 0.0;
    d.jogTarget = (direction < 0 ? -1.0 : 1.0) * std::min(speed, vmax);
    d.st.mode = EngineMode::Jogging;
    return "";
}
std::string Engine::jogStop() {
    Impl& d = *impl_;
    if (d.job != Impl::Job::Jog) return "not jogging";
    d.jogTarget = 0.0;
    return "";
}
std::string Engine::jogStep(int axis, double distance, double speed) {
    Impl& d = *impl_;
    if (!d.idle()) return d.busy();
    if (axis < 0 || axis >= kAxisCount || !d.machine.axes[axis].configured) return "no such axis";
    Interpreted p;
    Op op;
    op.kind = OpKind::Linear;
    op.end = d.st.machine;
    op.end[axis] += distance;
    op.feed = speed;
    p.ops.push_back(op);
    return d.start(p, true);
}
std::string Engine::home(int) {
    Impl& d = *impl_;
    if (!d.idle()) return d.busy();
    d.job = Impl::Job::Home;
    d.homeLeft = 0.5;
    d.st.mode = EngineMode::Homing;
    return "";
}
std::string Engine::zeroAxis(int axis) {
    Impl& d = *impl_;
    if (!d.idle()) return d.busy();
    if (axis < 0 || axis >= kAxisCount) return "no such axis";
    d.st.workOffsets[d.st.workSystem][axis] = d.st.machine[axis] - d.st.g92[axis];
    d.updateWork();
    return "";
}
std::string Engine::touchOff(int axis, int, double, double, double plate, double) {
    Impl& d = *impl_;
    if (!d.idle()) return d.busy();
    if (axis < 0 || axis >= kAxisCount) return "no such axis";
    d.st.workOffsets[d.st.workSystem][axis] = d.st.machine[axis] - d.st.g92[axis] - plate;
    d.updateWork();
    return "";
}
std::string Engine::confirmPosition() {
    impl_->st.positionKnown = true;
    return "";
}
std::string Engine::spindle(int direction, double rpm) {
    impl_->st.spindleDirection = direction;
    impl_->st.spindleRpm = rpm;
    return "";
}
std::string Engine::coolant(bool mist, bool flood) {
    impl_->st.mist = mist;
    impl_->st.flood = flood;
    return "";
}
std::string Engine::saveOffsets(const std::string&) { return "not in the stand-in"; }

}  // namespace telvo::tool
