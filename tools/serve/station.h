// The operator's station: the protocol between the engine and the pages
// (and scripts) connected to it. Everything here runs on the host loop's
// thread, between engine cycles; nothing blocks.
//
// - On connect a client gets its identity and the full state; then the
//   latest status at a fixed rate (a slow client gets fewer, never a
//   backlog), every event, and an acknowledgement for every command it
//   sends, by the command's id, saying why when it was refused.
// - One client controls, the others observe; control is taken explicitly.
// - The engine owns the job: a client going away stops nothing but its
//   own jog, and a client arriving starts or resumes nothing.
// - A continuous jog lives only while its repeats arrive: without one
//   within the jog timeout, when its socket closes or when the page says it
//   lost focus, the jog is stopped.
// The protocol is described in docs/STATION.md.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "engine/engine.h"
#include "serve/access.h"
#include "serve/http_server.h"
#include "serve/outbox.h"
#include "serve/programs.h"

namespace telvo::station {

constexpr int kProtocolVersion = 1;

struct StationOptions {
    AccessPolicy access;
    std::string wwwDir;            // the page's files
    std::string uploadsDir;        // owned by the station
    std::string programsDir;       // "" none
    double statusPeriod = 0.02;    // s: 50 Hz
    double jogTimeout = 0.25;      // s without a repeat ends a jog
    double maxJogStep = 10.0;      // units: the largest step jog
    size_t maxBacklog = 8u << 20;  // bytes queued for one client before it is dropped
    size_t previewPoints = 250000;
    size_t pumpEvery = 2000;  // path points of a pre-pass between two pumps
};

class Station : public HttpHandler, public tool::EngineObserver {
public:
    // `clock`: seconds, monotonic (the host's clock; tests pass their own).
    Station(tool::Engine& engine, const tool::Machine& machine, StationOptions options,
            std::function<double()> clock);
    ~Station() override;
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    void attach(Connections* connections) { connections_ = connections; }
    // The port listened on, once the server has bound it.
    void setPort(uint16_t port) { options_.access.port = port; }
    // After each engine cycle: statuses due, jogs whose repeats stopped.
    void tick();

    // HttpHandler
    HttpResponse onHeader(const HttpRequest& request) override;
    HttpResponse onRequest(const HttpRequest& request) override;
    HttpResponse onUpgrade(const HttpRequest& request) override;
    void onOpen(ConnectionId id, const HttpRequest& request) override;
    void onText(ConnectionId id, const std::string& text) override;
    void onClose(ConnectionId id) override;
    bool nextOutgoing(ConnectionId id, Outgoing& out) override;

    // EngineObserver
    void onEvent(const tool::EngineEvent& event) override;

    // Opens a program (only while the machine is idle): "" when taken, or
    // why not. Its line index, the engine's pre-pass and the preview are
    // made at the next tick(), outside the server's handlers, and sent to
    // every client as a "program" message.
    std::string openProgram(const std::string& id);
    // Called now and then during a long pre-pass to keep the network going
    // (the server's poll): statuses, pings and other clients are served
    // meanwhile, and every command that would reach the engine is refused.
    void setPump(std::function<void()> pump) { pump_ = std::move(pump); }
    bool checking() const { return checking_ || pendingOpen_.has_value(); }

    // For the tests and the statistics.
    std::optional<ConnectionId> controller() const { return controller_; }
    size_t clientCount() const { return clients_.size(); }
    const Outbox* outbox(ConnectionId id) const;
    bool jogActive() const { return jog_.active; }
    const std::string& programId() const { return program_.id; }
    size_t previewPoints() const { return preview_.size(); }
    nlohmann::json state() const;   // the full state, as sent on connect
    nlohmann::json status() const;  // one status message

private:
    struct Client {
        ConnectionId id = 0;
        std::string key;  // names the client to the HTTP endpoints
        std::string peer;
        Outbox out;
    };
    struct Jog {
        bool active = false;
        bool seen = false;  // the engine has shown it jogging since it started
        ConnectionId owner = 0;
        int axis = 0, direction = 0;
        double deadline = 0.0;
    };
    struct Program {
        std::string id, path;
        tool::ProgramCheck check;
        bool checked = false;
    };

    std::string command(Client& client, const nlohmann::json& message, nlohmann::json& reply);
    std::string takeControl(Client& client);
    void stopJog(const char* why);
    void send(Client& client, const nlohmann::json& message);
    void broadcast(const nlohmann::json& message);
    void notice(const std::string& text, int line = 0);
    void sendRoles();
    nlohmann::json programJson() const;
    nlohmann::json machineJson() const;
    // The machine file's [touch_off], its unset values at their defaults.
    tool::TouchOffSettings touchOff() const;
    std::string idleRefusal() const;
    void runPendingCheck();
    void sendStatuses(double now);
    HttpResponse staticFile(const std::string& path) const;
    HttpResponse upload(const HttpRequest& request);
    HttpResponse lines(const HttpRequest& request) const;
    // The client the request names by its key (X-Telvo-Client), if any.
    const Client* clientByKey(const std::string& key) const;
    HttpResponse refuseUnlessController(const HttpRequest& request) const;

    tool::Engine& engine_;
    const tool::Machine& machine_;
    StationOptions options_;
    std::function<double()> clock_;
    Connections* connections_ = nullptr;
    ProgramStore store_;
    std::map<ConnectionId, Client> clients_;
    std::optional<ConnectionId> controller_;
    Jog jog_;
    Program program_;
    LineIndex index_;
    PreviewPath preview_;
    std::string previewWire_;
    std::deque<nlohmann::json> history_;  // the last events, for clients that connect later
    std::optional<std::string> pendingOpen_;
    bool checking_ = false;
    std::function<void()> pump_;
    double nextStatus_ = 0.0;
    uint64_t statusSeq_ = 0, eventSeq_ = 0, programVersion_ = 0;
};

}  // namespace telvo::station
