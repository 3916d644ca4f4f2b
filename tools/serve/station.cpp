#include "serve/station.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <utility>

namespace telvo::station {

using nlohmann::json;
using tool::EngineEvent;
using tool::EngineMode;
using tool::kAxisCount;
using tool::kAxisLetters;
using tool::Vec6;

namespace {

constexpr size_t kHistory = 100;
constexpr const char* kUnknownPosition =
    "the position is not known: home the machine or confirm the position";

double rounded(double v) {
    return std::round(v * 1e4) / 1e4;
}

json vec(const Vec6& v) {
    json a = json::array();
    for (double x : v) a.push_back(rounded(x));
    return a;
}

const char* waitName(tool::WaitReason w) {
    switch (w) {
        case tool::WaitReason::None:
            return "none";
        case tool::WaitReason::FeedHold:
            return "feedHold";
        case tool::WaitReason::ProgramPause:
            return "pause";
        case tool::WaitReason::OptionalPause:
            return "optionalPause";
        case tool::WaitReason::ToolChange:
            return "toolChange";
    }
    return "none";
}

const char* eventName(EngineEvent::Kind k) {
    switch (k) {
        case EngineEvent::Kind::Message:
            return "message";
        case EngineEvent::Kind::Pause:
            return "pause";
        case EngineEvent::Kind::ToolChange:
            return "toolChange";
        case EngineEvent::Kind::Error:
            return "error";
        case EngineEvent::Kind::Finished:
            return "finished";
        case EngineEvent::Kind::Action:
            return "action";
    }
    return "message";
}

json diagnostics(const std::vector<tool::Diagnostic>& list) {
    json a = json::array();
    for (const tool::Diagnostic& d : list) {
        a.push_back({{"line", d.line}, {"word", d.word}, {"message", d.message}, {"hint", d.hint}});
    }
    return a;
}

HttpResponse text(int status, const std::string& body) {
    return {status, "text/plain; charset=utf-8", body + "\n", {}};
}

HttpResponse jsonResponse(const json& j, int status = 200) {
    return {status, "application/json", j.dump(), {}};
}

// A number argument; false when absent or not a number.
bool number(const json& m, const char* key, double& out) {
    auto it = m.find(key);
    if (it == m.end() || !it->is_number()) return false;
    out = it->get<double>();
    return std::isfinite(out);
}

}  // namespace

Station::Station(tool::Engine& engine, const tool::Machine& machine, StationOptions options,
                 std::function<double()> clock)
    : engine_(engine),
      machine_(machine),
      options_(std::move(options)),
      clock_(std::move(clock)),
      store_(options_.uploadsDir, options_.programsDir),
      preview_(options_.previewPoints) {
    nextStatus_ = clock_();
}

Station::~Station() = default;

// ---- the loop's side ----

void Station::tick() {
    const double now = clock_();
    if (jog_.active) {
        EngineMode mode = engine_.status().mode;
        if (mode == EngineMode::Jogging) jog_.seen = true;
        if (jog_.seen && mode != EngineMode::Jogging) {
            jog_.active = false;  // it ended by itself (a limit, a fault)
        } else if (now > jog_.deadline) {
            stopJog("jog stopped: no repeat from the page within the jog timeout");
        }
    }
    sendStatuses(now);
    if (pendingOpen_) runPendingCheck();
}

void Station::sendStatuses(double now) {
    if (now < nextStatus_) return;
    nextStatus_ = now - nextStatus_ > options_.statusPeriod ? now + options_.statusPeriod
                                                            : nextStatus_ + options_.statusPeriod;
    if (clients_.empty()) return;
    ++statusSeq_;
    std::string s = status().dump();
    for (auto& [id, c] : clients_) {
        c.out.setLatest(s);
        if (connections_) connections_->wake(id);
    }
}

void Station::onEvent(const EngineEvent& event) {
    json e = {{"type", "event"},       {"seq", ++eventSeq_}, {"kind", eventName(event.kind)},
              {"line", event.line},    {"tool", event.tool}, {"text", event.text},
              {"t", rounded(clock_())}};
    history_.push_back(e);
    if (history_.size() > kHistory) history_.pop_front();
    broadcast(e);
}

void Station::notice(const std::string& textOf, int line) {
    json e = {{"type", "event"}, {"seq", ++eventSeq_}, {"kind", "notice"},      {"line", line},
              {"tool", 0},       {"text", textOf},     {"t", rounded(clock_())}};
    history_.push_back(e);
    if (history_.size() > kHistory) history_.pop_front();
    broadcast(e);
}

void Station::stopJog(const char* why) {
    if (!jog_.active) return;
    jog_.active = false;
    std::string r = engine_.jogStop();
    notice(r.empty() ? why : std::string(why) + " (" + r + ")");
}

// ---- messages out ----

void Station::send(Client& client, const json& message) {
    client.out.push(message.dump());
    if (!connections_) return;
    if (client.out.queuedBytes() > options_.maxBacklog) {
        connections_->close(client.id);  // it reads too slowly to keep up with the events
        return;
    }
    connections_->wake(client.id);
}

void Station::broadcast(const json& message) {
    std::string s = message.dump();
    for (auto& [id, c] : clients_) {
        c.out.push(s);
        if (!connections_) continue;
        if (c.out.queuedBytes() > options_.maxBacklog) {
            connections_->close(id);
        } else {
            connections_->wake(id);
        }
    }
}

void Station::sendRoles() {
    json controller = controller_ ? json(*controller_) : json(nullptr);
    broadcast({{"type", "role"}, {"controller", controller}});
}

bool Station::nextOutgoing(ConnectionId id, Outgoing& out) {
    auto it = clients_.find(id);
    return it != clients_.end() && it->second.out.take(out);
}

const Outbox* Station::outbox(ConnectionId id) const {
    auto it = clients_.find(id);
    return it == clients_.end() ? nullptr : &it->second.out;
}

// ---- the state ----

json Station::status() const {
    const tool::EngineStatus& s = engine_.status();
    json alarms = json::array();
    for (const std::string& a : s.alarms) alarms.push_back(a);
    return {
        {"type", "status"},
        {"seq", statusSeq_},
        {"t", rounded(clock_())},
        {"mode", tool::modeName(s.mode)},
        {"waiting", waitName(s.waiting)},
        {"positionKnown", s.positionKnown},
        {"machine", vec(s.machine)},
        {"work", vec(s.work)},
        {"workSystem", s.workSystem},
        {"offset", vec(s.workOffsets[static_cast<size_t>(std::clamp(s.workSystem, 0, 8))])},
        {"g92", vec(s.g92)},
        {"toolLength", rounded(s.toolLength)},
        {"tool", s.tool},
        {"program", program_.id},
        {"programVersion", programVersion_},
        {"line", s.line},
        {"feed", rounded(s.feed)},
        {"feedOverride", std::lround(s.feedOverride * 100.0)},
        {"rapidOverride", std::lround(s.rapidOverride * 100.0)},
        {"spindleOverride", std::lround(s.spindleOverride * 100.0)},
        {"buffer", s.bufferLevel},
        {"queued", s.queued},
        {"spindle", {{"rpm", rounded(s.spindleRpm)}, {"direction", s.spindleDirection}}},
        {"coolant", {{"mist", s.mist}, {"flood", s.flood}}},
        {"elapsed", rounded(s.elapsed)},
        {"estimate", rounded(s.estimate)},
        {"underruns", s.underruns},
        {"alarms", alarms},
        {"jog", {{"active", jog_.active}, {"axis", jog_.axis}, {"direction", jog_.direction}}},
        {"controller", controller_ ? json(*controller_) : json(nullptr)},
    };
}

json Station::machineJson() const {
    json axes = json::array();
    for (int a = 0; a < kAxisCount; ++a) {
        const tool::AxisSettings& ax = machine_.axes[a];
        double spu = ax.stepsPerUnit > 0 ? ax.stepsPerUnit : 1.0;
        axes.push_back({
            {"letter", std::string(1, kAxisLetters[a])},
            {"configured", ax.configured},
            {"slaveOf", ax.slaveOf ? json(std::string(1, kAxisLetters[ax.slaveOf - 1])) : json()},
            {"min", ax.min ? json(*ax.min) : json()},
            {"max", ax.max ? json(*ax.max) : json()},
            {"maxVelocity", rounded(ax.maxVelocity / spu)},
            {"acceleration", rounded(ax.acceleration / spu)},
        });
    }
    const tool::TouchOffSettings t = touchOff();
    return {
        {"name", machine_.name},
        {"units", machine_.units},
        {"axes", axes},
        {"jogSteps", {0.01, 0.1, 1, 10}},
        {"maxJogStep", options_.maxJogStep},
        {"jogTimeout", options_.jogTimeout},
        {"statusPeriod", options_.statusPeriod},
        {"touchOff",
         {{"axis", std::string(1, kAxisLetters[static_cast<size_t>(t.axis)])},
          {"direction", t.direction},
          {"distance", t.distance},
          {"feed", t.feed},
          {"plate", t.plate},
          {"retract", t.retract}}},
        {"spindle",
         {{"configured", machine_.spindle.configured}, {"maxRpm", machine_.spindle.maxRpm}}},
        {"coolant", {{"configured", machine_.coolant.configured}}},
    };
}

tool::TouchOffSettings Station::touchOff() const {
    tool::TouchOffSettings t = machine_.touchOff;
    const double mm = 1.0 / machine_.mmPerUnit();
    if (t.distance <= 0.0) t.distance = 20.0 * mm;
    if (t.feed <= 0.0) t.feed = 1.0 * mm;
    if (t.retract <= 0.0) t.retract = 2.0 * mm;
    return t;
}

json Station::programJson() const {
    if (program_.id.empty()) return nullptr;
    const tool::ProgramCheck& c = program_.check;
    return {
        {"id", program_.id},
        {"version", programVersion_},
        {"lines", index_.lines()},
        {"check",
         {{"ok", c.ok()},
          {"errors", diagnostics(c.errors)},
          {"notes", diagnostics(c.notes)},
          {"truncated", c.truncated},
          {"moves", c.moves},
          {"seconds", rounded(c.seconds)},
          {"feedBoundSeconds", rounded(c.feedBoundSeconds)}}},
        {"preview",
         {{"points", preview_.size()},
          {"moves", preview_.added()},
          {"tolerance", preview_.tolerance()}}},
    };
}

json Station::state() const {
    const tool::EngineStatus& s = engine_.status();
    json offsets = json::array();
    for (const Vec6& o : s.workOffsets) offsets.push_back(vec(o));
    json messages = json::array();
    for (const json& e : history_) messages.push_back(e);
    return {
        {"type", "state"},
        {"protocol", kProtocolVersion},
        {"simulated", engine_.simulated()},
        {"machine", machineJson()},
        {"status", status()},
        {"offsets",
         {{"workSystem", s.workSystem},
          {"work", offsets},
          {"g92", vec(s.g92)},
          {"toolLength", rounded(s.toolLength)},
          {"tool", s.tool}}},
        {"program", programJson()},
        {"messages", messages},
        {"controller", controller_ ? json(*controller_) : json(nullptr)},
    };
}

// ---- clients ----

void Station::onOpen(ConnectionId id, const HttpRequest& request) {
    Client& c = clients_[id];
    c.id = id;
    c.key = randomToken();
    c.peer = request.peer;
    json hello = state();
    hello["you"] = {{"id", id}, {"key", c.key}};
    send(c, hello);
}

void Station::onClose(ConnectionId id) {
    if (jog_.active && jog_.owner == id) stopJog("jog stopped: its client went away");
    clients_.erase(id);
    if (controller_ == id) {
        controller_.reset();
        sendRoles();
        notice("the controlling client went away; the job goes on");
    }
}

void Station::onText(ConnectionId id, const std::string& textIn) {
    auto it = clients_.find(id);
    if (it == clients_.end()) return;
    Client& c = it->second;
    json message = json::parse(textIn, nullptr, false);
    json ack = {{"type", "ack"}, {"id", nullptr}};
    std::string refusal;
    json reply = json::object();
    if (message.is_discarded() || !message.is_object()) {
        refusal = "not a JSON object";
    } else {
        if (message.contains("id")) ack["id"] = message["id"];
        refusal = command(c, message, reply);
    }
    // A command without an id (the jog's repeats) is answered only when refused.
    if (refusal.empty() && ack["id"].is_null() && reply.empty()) return;
    ack["ok"] = refusal.empty();
    if (!refusal.empty()) ack["error"] = refusal;
    for (auto& [k, v] : reply.items()) ack[k] = v;
    // The command may have closed this client (never: commands act on the
    // engine and the roles), but look it up again all the same.
    auto again = clients_.find(id);
    if (again != clients_.end()) send(again->second, ack);
}

std::string Station::takeControl(Client& client) {
    if (controller_ == client.id) return "";
    if (jog_.active) stopJog("jog stopped: another client took control");
    controller_ = client.id;
    sendRoles();
    notice("client " + std::to_string(client.id) + " took control");
    return "";
}

std::string Station::idleRefusal() const {
    EngineMode m = engine_.status().mode;
    if (m == EngineMode::Idle || m == EngineMode::Closed) return "";
    return std::string("the machine is ") + tool::modeName(m) +
           ": programs are loaded and checked only while it is idle";
}

// Every command: "" when taken, otherwise why not.
std::string Station::command(Client& client, const json& m, json& reply) {
    auto cmdIt = m.find("cmd");
    if (cmdIt == m.end() || !cmdIt->is_string()) return "no \"cmd\"";
    const std::string cmd = cmdIt->get<std::string>();
    const tool::EngineStatus& s = engine_.status();

    if (cmd == "ping") {
        reply["t"] = rounded(clock_());
        return "";
    }
    if (cmd == "control") return takeControl(client);
    // While the engine is inside a pre-pass (the network is served from
    // within it), nothing may reach the engine.
    if (checking_ && cmd != "release" && cmd != "jogStop")
        return "a program is being checked: wait until it is done";
    if (cmd == "release") {
        if (controller_ != client.id) return "";
        if (jog_.active) stopJog("jog stopped: control released");
        controller_.reset();
        sendRoles();
        return "";
    }
    // What brings the machine to rest is taken from any client.
    if (cmd == "hold") return engine_.hold();
    if (cmd == "stop") {
        if (jog_.active) {
            jog_.active = false;
            return engine_.jogStop();
        }
        return engine_.stop();
    }
    if (cmd == "abort") {
        jog_.active = false;
        return engine_.abort();
    }
    if (cmd == "jogStop") {
        // Never refused: the page sends it on every key-up, blur and
        // hidden page, jogging or not.
        if (jog_.active && (jog_.owner == client.id || controller_ == client.id)) {
            jog_.active = false;
            std::string r = engine_.jogStop();
            (void)r;
        }
        return "";
    }

    static const char* const kKnown[] = {"resume",
                                         "run",
                                         "open",
                                         "check",
                                         "mdi",
                                         "jog",
                                         "jogStep",
                                         "home",
                                         "zero",
                                         "touchOff",
                                         "confirmPosition",
                                         "feedOverride",
                                         "rapidOverride",
                                         "spindleOverride",
                                         "spindle",
                                         "coolant",
                                         "saveOffsets"};
    if (std::find_if(std::begin(kKnown), std::end(kKnown),
                     [&](const char* k) { return cmd == k; }) == std::end(kKnown)) {
        return "unknown command \"" + cmd + "\"";
    }
    if (controller_ != client.id) return "this client observes: take control first";

    // An axis argument: a letter or an index of a configured axis.
    auto axisOf = [&](const char* key, int& axis, bool allowAll) -> std::string {
        auto it = m.find(key);
        if (it == m.end()) {
            if (allowAll) {
                axis = -1;
                return "";
            }
            return std::string("no \"") + key + "\"";
        }
        axis = -2;
        if (it->is_string()) {
            std::string v = it->get<std::string>();
            if (allowAll && (v == "all" || v.empty())) axis = -1;
            if (v.size() == 1) axis = tool::axisIndex(v[0]);
        } else if (it->is_number_integer()) {
            axis = it->get<int>();
            if (axis == -1 && !allowAll) axis = -2;
        }
        if (axis == -1) return "";
        if (axis < 0 || axis >= kAxisCount || !machine_.axes[axis].configured)
            return "no such axis";
        return "";
    };

    if (cmd == "resume") {
        if (!s.positionKnown) return kUnknownPosition;
        return engine_.resume();
    }
    if (cmd == "run") {
        if (pendingOpen_) return "a program is being checked: wait until it is done";
        if (program_.id.empty()) return "no program loaded";
        if (!s.positionKnown) return kUnknownPosition;
        if (program_.checked && !program_.check.ok())
            return "the program has errors (see the check): nothing runs";
        double from = 0.0;
        if (m.contains("from") &&
            (!number(m, "from", from) || from < 0 || from > static_cast<double>(index_.lines()))) {
            return "\"from\" must be a line of the program";
        }
        return engine_.run(program_.path, static_cast<int>(from));
    }
    if (cmd == "open") {
        auto it = m.find("program");
        if (it == m.end() || !it->is_string()) return "no \"program\"";
        return openProgram(it->get<std::string>());
    }
    if (cmd == "check") {
        if (program_.id.empty()) return "no program loaded";
        return openProgram(program_.id);
    }
    if (cmd == "mdi") {
        auto it = m.find("line");
        if (it == m.end() || !it->is_string()) return "no \"line\"";
        std::string line = it->get<std::string>();
        if (line.find('\n') != std::string::npos) return "MDI takes one line";
        return engine_.mdi(line);
    }
    if (cmd == "jog") {
        int axis = 0;
        std::string bad = axisOf("axis", axis, false);
        if (!bad.empty()) return bad;
        if (machine_.axes[axis].slaveOf) return "this axis follows another and is not jogged";
        double direction = 0.0, speed = 0.0;
        if (!number(m, "direction", direction) || (direction != 1.0 && direction != -1.0))
            return "\"direction\" must be 1 or -1";
        if (!number(m, "speed", speed) || speed <= 0.0) return "\"speed\" must be above 0";
        const int dir = direction > 0 ? 1 : -1;
        const double now = clock_();
        if (jog_.active) {
            if (jog_.axis != axis || jog_.direction != dir)
                return "another jog is active: release it first";
            jog_.deadline = now + options_.jogTimeout;  // the repeat
            jog_.owner = client.id;
            return "";
        }
        std::string r = engine_.jogStart(axis, dir, speed);
        if (!r.empty()) return r;
        jog_ = {true, false, client.id, axis, dir, now + options_.jogTimeout};
        return "";
    }
    if (cmd == "jogStep") {
        int axis = 0;
        std::string bad = axisOf("axis", axis, false);
        if (!bad.empty()) return bad;
        if (machine_.axes[axis].slaveOf) return "this axis follows another and is not jogged";
        double distance = 0.0, speed = 0.0;
        if (!number(m, "distance", distance) || distance == 0.0 ||
            std::fabs(distance) > options_.maxJogStep) {
            return "\"distance\" must be a step of at most " + json(options_.maxJogStep).dump() +
                   " " + machine_.units;
        }
        if (!number(m, "speed", speed) || speed <= 0.0) return "\"speed\" must be above 0";
        return engine_.jogStep(axis, distance, speed);
    }
    if (cmd == "home") {
        int axis = -1;
        std::string bad = axisOf("axis", axis, true);
        if (!bad.empty()) return bad;
        return engine_.home(axis);
    }
    if (cmd == "zero") {
        int axis = 0;
        std::string bad = axisOf("axis", axis, false);
        if (!bad.empty()) return bad;
        return engine_.zeroAxis(axis);
    }
    if (cmd == "touchOff") {
        const tool::TouchOffSettings d = touchOff();
        int axis = d.axis;
        if (m.contains("axis")) {
            std::string bad = axisOf("axis", axis, false);
            if (!bad.empty()) return bad;
        }
        double direction = d.direction, distance = d.distance, feed = d.feed, plate = d.plate,
               retract = d.retract;
        if (m.contains("direction") &&
            (!number(m, "direction", direction) || (direction != 1.0 && direction != -1.0)))
            return "\"direction\" must be 1 or -1";
        if (m.contains("distance") && (!number(m, "distance", distance) || distance <= 0.0))
            return "\"distance\" must be above 0";
        if (m.contains("feed") && (!number(m, "feed", feed) || feed <= 0.0))
            return "\"feed\" must be above 0";
        if (m.contains("plate") && (!number(m, "plate", plate) || plate < 0.0))
            return "\"plate\" must be 0 or more";
        if (m.contains("retract") && (!number(m, "retract", retract) || retract < 0.0))
            return "\"retract\" must be 0 or more";
        return engine_.touchOff(axis, direction > 0 ? 1 : -1, distance, feed, plate, retract);
    }
    if (cmd == "confirmPosition") return engine_.confirmPosition();
    if (cmd == "feedOverride" || cmd == "rapidOverride" || cmd == "spindleOverride") {
        double percent = 0.0;
        if (!number(m, "value", percent)) return "\"value\" must be a percentage";
        if (cmd == "feedOverride") return engine_.setFeedOverride(percent / 100.0);
        if (cmd == "rapidOverride") return engine_.setRapidOverride(percent / 100.0);
        return engine_.setSpindleOverride(percent / 100.0);
    }
    if (cmd == "spindle") {
        double direction = 0.0, rpm = 0.0;
        if (!number(m, "direction", direction) ||
            (direction != 0.0 && direction != 1.0 && direction != -1.0))
            return "\"direction\" must be 1, -1 or 0";
        if (direction != 0.0 && (!number(m, "rpm", rpm) || rpm <= 0.0))
            return "\"rpm\" must be above 0";
        return engine_.spindle(static_cast<int>(direction), rpm);
    }
    if (cmd == "coolant") {
        auto mist = m.find("mist"), flood = m.find("flood");
        if (mist == m.end() || !mist->is_boolean() || flood == m.end() || !flood->is_boolean())
            return "\"mist\" and \"flood\" must be true or false";
        return engine_.coolant(mist->get<bool>(), flood->get<bool>());
    }
    // saveOffsets: the station writes only where it was told at start.
    return "saving offsets is not offered by this station";
}

// ---- programs ----

std::string Station::openProgram(const std::string& id) {
    if (checking()) return "a program is being checked: wait until it is done";
    std::string bad = idleRefusal();
    if (!bad.empty()) return bad;
    std::string path;
    bad = store_.resolve(id, path);
    if (!bad.empty()) return bad;
    pendingOpen_ = id;
    return "";
}

void Station::runPendingCheck() {
    const std::string id = *pendingOpen_;
    pendingOpen_.reset();
    std::string path;
    std::string bad = idleRefusal();
    if (bad.empty()) bad = store_.resolve(id, path);
    LineIndex index;
    if (bad.empty() && !index.build(path)) bad = "the program cannot be read";
    if (!bad.empty()) {
        notice(id + " was not opened: " + bad);
        return;
    }
    PreviewPath preview(options_.previewPoints);
    preview.add(engine_.status().machine, true);
    size_t points = 0;
    checking_ = true;
    tool::ProgramCheck check;
    try {
        check = engine_.check(path, [&](const Vec6& p, bool rapid, int) {
            preview.add(p, rapid);
            if (++points % options_.pumpEvery == 0) {
                sendStatuses(clock_());
                if (pump_) pump_();
            }
        });
    } catch (...) {
        checking_ = false;
        throw;
    }
    checking_ = false;
    preview.finish();
    program_ = {};
    program_.id = id;
    program_.path = path;
    program_.check = std::move(check);
    program_.checked = true;
    index_ = std::move(index);
    preview_ = std::move(preview);
    previewWire_ = preview_.encode();
    ++programVersion_;
    broadcast({{"type", "program"}, {"program", programJson()}});
    if (!program_.check.ok()) {
        const tool::Diagnostic& d = program_.check.errors.front();
        notice(id + ": " + d.message, d.line);
    }
}

// ---- HTTP ----

const Station::Client* Station::clientByKey(const std::string& key) const {
    if (key.empty()) return nullptr;
    for (const auto& [id, c] : clients_) {
        if (sameSecret(c.key, key)) return &c;
    }
    return nullptr;
}

HttpResponse Station::refuseUnlessController(const HttpRequest& request) const {
    if (!controller_) return {0, "", "", {}};
    const Client* c = clientByKey(request.header("x-telvo-client"));
    if (c && c->id == *controller_) return {0, "", "", {}};
    return text(403, "another client has control of the station");
}

HttpResponse Station::onHeader(const HttpRequest& request) {
    if (request.method != "POST") return {0, "", "", {}};
    Verdict v = checkAccess(options_.access, request, true);
    if (!v.ok()) return text(v.status, v.reason);
    if (request.path == "/api/upload") {
        HttpResponse r = refuseUnlessController(request);
        if (r.status != 0) return r;
        std::string busy = idleRefusal();
        if (busy.empty() && checking()) busy = "a program is being checked";
        if (!busy.empty()) return text(409, "upload refused: " + busy);
    }
    return {0, "", "", {}};
}

HttpResponse Station::onUpgrade(const HttpRequest& request) {
    if (request.path != "/ws") return text(404, "no WebSocket at " + request.path);
    Verdict v = checkAccess(options_.access, request, true);
    if (!v.ok()) return text(v.status, v.reason);
    return {101, "", "", {}};
}

HttpResponse Station::onRequest(const HttpRequest& request) {
    if (request.method != "GET" && request.method != "POST") {
        HttpResponse r = text(405, "only GET and POST");
        r.headers.emplace_back("Allow", "GET, POST");
        return r;
    }
    const bool changes = request.method != "GET";
    if (!changes && tokenInQuery(options_.access, request) &&
        checkHost(options_.access, request).ok()) {
        // The token, given once in the address, becomes a cookie the page's
        // script cannot read and no other site's request carries.
        HttpResponse r = text(303, "see " + request.path);
        r.headers.emplace_back("Location", request.path);
        r.headers.emplace_back("Set-Cookie", tokenCookie(options_.access));
        return r;
    }
    Verdict v = checkAccess(options_.access, request, changes);
    if (!v.ok()) return text(v.status, v.reason);

    if (changes) {
        if (request.path == "/api/upload") return upload(request);
        return text(404, "nothing to post at " + request.path);
    }
    if (request.path == "/api/status") return jsonResponse(state());
    if (request.path == "/api/programs") {
        json list = json::array();
        for (const ProgramEntry& e : store_.list())
            list.push_back({{"id", e.id}, {"bytes", e.bytes}});
        return jsonResponse({{"programs", list}, {"folder", !options_.programsDir.empty()}});
    }
    if (request.path == "/api/program/lines") return lines(request);
    if (request.path == "/api/preview") {
        if (program_.id.empty()) return text(404, "no program loaded");
        HttpResponse r{200, "application/octet-stream", previewWire_, {}};
        r.headers.emplace_back("X-Telvo-Program-Version", std::to_string(programVersion_));
        return r;
    }
    return staticFile(request.path);
}

HttpResponse Station::lines(const HttpRequest& request) const {
    if (program_.id.empty()) return text(404, "no program loaded");
    char* end = nullptr;
    std::string fromText = queryValue(request.query, "from");
    std::string countText = queryValue(request.query, "count");
    unsigned long long from = std::strtoull(fromText.c_str(), &end, 10);
    if (fromText.empty() || *end) return text(400, "\"from\" must be a line number");
    unsigned long long count = std::strtoull(countText.c_str(), &end, 10);
    if (countText.empty() || *end) return text(400, "\"count\" must be a number of lines");
    json l = json::array();
    for (std::string& s : index_.read(static_cast<size_t>(from), static_cast<size_t>(count))) {
        // Invalid UTF-8 would make the JSON writer throw: such bytes become '?'.
        for (char& ch : s) {
            if (static_cast<unsigned char>(ch) >= 0x80) ch = '?';
        }
        l.push_back(std::move(s));
    }
    return jsonResponse({{"program", program_.id},
                         {"version", programVersion_},
                         {"from", from},
                         {"total", index_.lines()},
                         {"lines", l}});
}

HttpResponse Station::upload(const HttpRequest& request) {
    HttpResponse r = refuseUnlessController(request);
    if (r.status != 0) return r;
    std::string busy = idleRefusal();
    if (busy.empty() && checking()) busy = "a program is being checked";
    if (!busy.empty()) return text(409, "upload refused: " + busy);
    std::string name = queryValue(request.query, "name");
    std::string id;
    std::string bad = store_.store(name, request.body, id);
    if (!bad.empty()) return text(400, bad);
    bad = openProgram(id);
    if (!bad.empty()) return text(409, bad);
    // Checked at the next cycle; the result comes as a "program" message.
    return jsonResponse({{"ok", true}, {"program", id}, {"checking", true}}, 202);
}

HttpResponse Station::staticFile(const std::string& path) const {
    std::string name = path == "/" ? "index.html" : path.substr(1);
    static const std::pair<const char*, const char*> kTypes[] = {
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},  // module scripts need it
        {".css", "text/css; charset=utf-8"},
        {".svg", "image/svg+xml"},
    };
    const char* type = nullptr;
    for (const auto& [ext, mime] : kTypes) {
        std::string e(ext);
        if (name.size() > e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0)
            type = mime;
    }
    bool plain =
        !name.empty() && name[0] != '.' && std::all_of(name.begin(), name.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                   c == '.';
        });
    if (!type || !plain) return text(404, "not found: " + path);
    std::ifstream in(options_.wwwDir + "/" + name, std::ios::binary);
    if (!in) return text(404, "not found: " + path);
    std::ostringstream body;
    body << in.rdbuf();
    HttpResponse r{200, type, body.str(), {}};
    r.headers.emplace_back("Content-Security-Policy",
                           "default-src 'self'; img-src 'self' data:; connect-src 'self'; "
                           "frame-ancestors 'none'");
    r.headers.emplace_back("X-Frame-Options", "DENY");
    return r;
}

}  // namespace telvo::station
