// The station driven without sockets: an engine on the simulated controller
// in stepped time (one cycle = 1 ms of the controller's clock, which is
// also the station's clock), clients as outboxes read by the test.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine/engine.h"
#include "files/machine.h"
#include "serve/station.h"

namespace stationtest {

using nlohmann::json;
using telvo::station::ConnectionId;
using telvo::station::HttpRequest;
using telvo::station::HttpResponse;
using telvo::station::Outgoing;

// A temporary folder, removed with the object.
struct TempDir {
    std::filesystem::path path;
    explicit TempDir(const std::string& tag) {
        static int counter = 0;
        path = std::filesystem::temp_directory_path() /
               ("telvo_station_test_" + std::to_string(::getpid()) + "_" + tag + "_" +
                std::to_string(++counter));
        std::filesystem::create_directories(path);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string file(const std::string& name, const std::string& text) const {
        std::ofstream(path / name, std::ios::binary) << text;
        return (path / name).string();
    }
};

// What the station asked of the connections.
struct FakeConnections : telvo::station::Connections {
    std::vector<ConnectionId> wakes;
    std::set<ConnectionId> closed;
    void wake(ConnectionId id) override { wakes.push_back(id); }
    void close(ConnectionId id) override { closed.insert(id); }
};

struct Harness {
    telvo::tool::Machine machine = telvo::tool::defaultMachine();
    telvo::tool::EngineOptions engineOptions;
    std::unique_ptr<telvo::tool::Engine> engine;
    TempDir uploads{"uploads"};
    TempDir folder{"programs"};
    FakeConnections connections;
    std::unique_ptr<telvo::station::Station> station;
    int64_t ms = 0;  // the clock: milliseconds of the controller's time
    ConnectionId nextId = 1;
    uint16_t port = 8080;
    std::map<ConnectionId, json> hello;

    explicit Harness(telvo::station::AccessPolicy access = {}, double depthMs = 100.0) {
        engineOptions.speed = 0.0;
        engineOptions.requireSimulator = true;
        engineOptions.depthMs = depthMs;
        engine = std::make_unique<telvo::tool::Engine>(machine, engineOptions);
        engine->open();
        telvo::station::StationOptions o;
        if (access.port == 0) access.port = port;
        port = access.port;
        o.access = access;
        o.uploadsDir = uploads.path.string();
        o.programsDir = folder.path.string();
        o.wwwDir = TELVO_STATION_WWW;
        station = std::make_unique<telvo::station::Station>(*engine, machine, o,
                                                            [this] { return static_cast<double>(ms) * 1e-3; });
        station->attach(&connections);
        engine->addObserver(station.get());
    }
    ~Harness() {
        if (engine) engine->removeObserver(station.get());
    }

    // One host-loop cycle: 1 ms.
    void cycle() {
        engine->advance();
        ++ms;
        station->tick();
    }
    void cycles(int n) {
        for (int i = 0; i < n; ++i) cycle();
    }
    // Cycles until `done` or `limitMs`; true when done.
    template <typename Done>
    bool until(Done done, int limitMs) {
        for (int i = 0; i < limitMs; ++i) {
            if (done()) return true;
            cycle();
        }
        return done();
    }
    std::string mode() const { return telvo::tool::modeName(engine->status().mode); }

    HttpRequest request(const std::string& method, const std::string& target) const {
        HttpRequest r;
        r.method = method;
        r.target = target;
        size_t q = target.find('?');
        r.path = target.substr(0, q);
        r.query = q == std::string::npos ? "" : target.substr(q + 1);
        r.headers["host"] = "127.0.0.1:" + std::to_string(port);
        r.headers["origin"] = "http://127.0.0.1:" + std::to_string(port);
        r.peer = "127.0.0.1";
        return r;
    }
    // A client on the WebSocket: upgrade, then open.
    // The first message it got is kept in hello[id].
    ConnectionId connect() {
        HttpRequest r = request("GET", "/ws");
        EXPECT_EQ(station->onUpgrade(r).status, 101);
        ConnectionId id = nextId++;
        station->onOpen(id, r);
        std::vector<json> first = drain(id);
        EXPECT_FALSE(first.empty());
        if (!first.empty()) hello[id] = first.front();
        return id;
    }
    std::string key(ConnectionId id) { return hello[id]["you"]["key"].get<std::string>(); }
    // Everything waiting for a client, parsed, in order.
    std::vector<json> drain(ConnectionId id) {
        std::vector<json> out;
        Outgoing o;
        while (station->nextOutgoing(id, o)) out.push_back(json::parse(o.data));
        return out;
    }
    // Sends a command and returns its acknowledgement (other messages read
    // on the way are dropped).
    json command(ConnectionId id, json message) {
        static int seq = 1000;
        int n = ++seq;
        message["id"] = n;
        station->onText(id, message.dump());
        for (const json& m : drain(id)) {
            if (m["type"] == "ack" && m["id"] == n) return m;
        }
        ADD_FAILURE() << "no acknowledgement of " << message.dump();
        return json::object();
    }
    // A client that has taken control.
    ConnectionId controller() {
        ConnectionId id = connect();
        EXPECT_TRUE(command(id, {{"cmd", "control"}})["ok"].get<bool>());
        drain(id);
        return id;
    }
    // Uploads a program over HTTP with the client key `key` ("": none); a
    // program taken (202) is checked in the cycle that follows.
    HttpResponse upload(const std::string& name, const std::string& text, const std::string& key) {
        HttpRequest r = request("POST", "/api/upload?name=" + name);
        if (!key.empty()) r.headers["x-telvo-client"] = key;
        r.body = text;
        HttpResponse early = station->onHeader(r);
        if (early.status != 0) return early;
        HttpResponse answer = station->onRequest(r);
        if (answer.status == 202) cycle();  // the pre-pass runs in the next cycle
        return answer;
    }
};

}  // namespace stationtest
