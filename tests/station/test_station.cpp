// The station's protocol, roles, dead-man jog and job ownership, driven
// without sockets against the engine in stepped time.
#include <cmath>

#include "harness.h"

using namespace stationtest;

namespace {

const char* kProgram =
    "G21 G90\n"
    "G0 X10 Y5\n"
    "(MSG, cutting)\n"
    "G1 X40 F1200\n"
    "G1 Y30\n"
    "M30\n";

double x(const Harness& h) { return h.engine->status().machine[0]; }

std::vector<json> ofType(const std::vector<json>& messages, const char* type) {
    std::vector<json> out;
    for (const json& m : messages) {
        if (m["type"] == type) out.push_back(m);
    }
    return out;
}

}  // namespace

TEST(StationProtocol, AClientGetsTheFullStateFirst) {
    Harness h;
    ConnectionId first = h.controller();
    ASSERT_EQ(h.upload("part.ngc", kProgram, h.key(first)).status, 202);

    ConnectionId later = h.connect();
    const json& s = h.hello[later];
    EXPECT_EQ(s["type"], "state");
    EXPECT_EQ(s["protocol"], telvo::station::kProtocolVersion);
    EXPECT_EQ(s["you"]["id"], later);
    EXPECT_EQ(s["you"]["key"].get<std::string>().size(), 32u);
    EXPECT_NE(h.key(later), h.key(first));
    EXPECT_EQ(s["machine"]["axes"][0]["letter"], "X");
    EXPECT_EQ(s["machine"]["axes"][0]["max"], 400.0);
    EXPECT_EQ(s["machine"]["axes"][3]["slaveOf"], "Y");
    EXPECT_EQ(s["status"]["mode"], "idle");
    EXPECT_EQ(s["status"]["machine"].size(), 6u);
    EXPECT_EQ(s["offsets"]["work"].size(), 9u);
    EXPECT_EQ(s["controller"], first);
    // The program, its check and its preview are part of the state.
    EXPECT_EQ(s["program"]["id"], "uploads/part.ngc");
    EXPECT_EQ(s["program"]["lines"], 6);
    EXPECT_TRUE(s["program"]["check"]["ok"].get<bool>());
    EXPECT_EQ(s["program"]["check"]["moves"], 3);
    // Start point plus three moves' ends; the rapid is marked.
    EXPECT_EQ(s["program"]["preview"]["points"], 4);
    // Earlier events are in it too (who took control).
    ASSERT_FALSE(s["messages"].empty());
    EXPECT_NE(s["messages"][0]["text"].get<std::string>().find("took control"), std::string::npos);
}

TEST(StationProtocol, AcknowledgesByIdAndSaysWhyARefusal) {
    Harness h;
    ConnectionId c = h.controller();
    h.station->onText(c, R"({"id": "a-7", "cmd": "ping"})");
    std::vector<json> acks = ofType(h.drain(c), "ack");
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0]["id"], "a-7");
    EXPECT_TRUE(acks[0]["ok"].get<bool>());

    json r = h.command(c, {{"cmd", "fly"}});
    EXPECT_FALSE(r["ok"].get<bool>());
    EXPECT_EQ(r["error"], "unknown command \"fly\"");
    r = h.command(c, {{"cmd", "run"}});
    EXPECT_EQ(r["error"], "no program loaded");
    r = h.command(c, {{"cmd", "jogStep"}, {"axis", "X"}, {"distance", 50}, {"speed", 5}});
    EXPECT_FALSE(r["ok"].get<bool>());
    EXPECT_NE(r["error"].get<std::string>().find("at most 10"), std::string::npos);
    r = h.command(c, {{"cmd", "zero"}, {"axis", "B"}});
    EXPECT_EQ(r["error"], "no such axis");
    r = h.command(c, {{"cmd", "jog"}, {"axis", "A"}, {"direction", 1}, {"speed", 5}});
    EXPECT_NE(r["error"].get<std::string>().find("follows another"), std::string::npos);

    h.station->onText(c, "{not json");
    acks = ofType(h.drain(c), "ack");
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_TRUE(acks[0]["id"].is_null());
    EXPECT_EQ(acks[0]["error"], "not a JSON object");
}

TEST(StationProtocol, StatusComesAtItsRateAndASlowClientHoldsOnlyTheLatest) {
    Harness h;
    ConnectionId fast = h.connect();
    ConnectionId slow = h.connect();
    int received = 0;
    int64_t lastSeq = 0;
    for (int t = 0; t < 1000; ++t) {
        h.cycle();
        for (const json& m : ofType(h.drain(fast), "status")) {
            ++received;
            EXPECT_GT(m["seq"].get<int64_t>(), lastSeq);
            lastSeq = m["seq"].get<int64_t>();
        }
    }
    EXPECT_GE(received, 49);
    EXPECT_LE(received, 51);
    // The slow client read nothing for a second: one status waits, the newest.
    const telvo::station::Outbox* box = h.station->outbox(slow);
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->hasLatest());
    EXPECT_EQ(box->queued(), 0u);
    EXPECT_GE(box->statusesSet(), 49u);
    std::vector<json> got = h.drain(slow);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0]["seq"].get<int64_t>(), lastSeq);
}

TEST(StationProtocol, EventsReachEveryClientWithTheirLine) {
    Harness h;
    ConnectionId c = h.controller();
    ConnectionId watcher = h.connect();
    ASSERT_EQ(h.upload("msg.ngc", "G0 X5\n(MSG, tool 2 next)\nG1 X8 F600\nM0\nG1 X12\nM30\n",
                       h.key(c))
                  .status,
              202);
    h.drain(watcher);
    EXPECT_TRUE(h.command(c, {{"cmd", "confirmPosition"}})["ok"].get<bool>());
    json r = h.command(c, {{"cmd", "run"}});
    ASSERT_TRUE(r["ok"].get<bool>()) << r.dump();
    ASSERT_TRUE(h.until([&] { return h.mode() == "paused"; }, 10000));
    std::vector<json> events = ofType(h.drain(watcher), "event");
    bool message = false, pause = false;
    for (const json& e : events) {
        if (e["kind"] == "message" && e["text"] == "tool 2 next") message = e["line"] == 2;
        if (e["kind"] == "pause") pause = e["line"] == 4;
    }
    EXPECT_TRUE(message);
    EXPECT_TRUE(pause);
    EXPECT_NEAR(x(h), 8.0, 1e-6);
    // It waits for the operator, then goes on.
    h.cycles(500);
    EXPECT_EQ(h.mode(), "paused");
    EXPECT_TRUE(h.command(c, {{"cmd", "resume"}})["ok"].get<bool>());
    ASSERT_TRUE(h.until([&] { return h.mode() == "idle"; }, 10000));
    EXPECT_NEAR(x(h), 12.0, 1e-6);
}

TEST(StationRoles, OneClientControlsTheOthersObserve) {
    Harness h;
    ConnectionId a = h.connect();
    ConnectionId b = h.connect();
    // Nobody controls at first: commands that move are refused.
    json r = h.command(a, {{"cmd", "mdi"}, {"line", "G0 X1"}});
    EXPECT_EQ(r["error"], "this client observes: take control first");

    EXPECT_TRUE(h.command(a, {{"cmd", "control"}})["ok"].get<bool>());
    EXPECT_EQ(h.station->controller(), a);
    r = h.command(b, {{"cmd", "zero"}, {"axis", "X"}});
    EXPECT_EQ(r["error"], "this client observes: take control first");
    EXPECT_EQ(h.upload("x.ngc", kProgram, h.key(b)).status, 403);
    EXPECT_EQ(h.upload("x.ngc", kProgram, "").status, 403);
    EXPECT_EQ(h.upload("x.ngc", kProgram, h.key(a)).status, 202);

    // Taking control is explicit; the one who had it is told.
    h.drain(a);
    EXPECT_TRUE(h.command(b, {{"cmd", "control"}})["ok"].get<bool>());
    std::vector<json> roles = ofType(h.drain(a), "role");
    ASSERT_FALSE(roles.empty());
    EXPECT_EQ(roles.back()["controller"], b);
    r = h.command(a, {{"cmd", "mdi"}, {"line", "G0 X1"}});
    EXPECT_FALSE(r["ok"].get<bool>());

    // Bringing the machine to rest is anyone's: an observer's hold is taken.
    EXPECT_TRUE(h.command(b, {{"cmd", "confirmPosition"}})["ok"].get<bool>());
    EXPECT_TRUE(h.command(b, {{"cmd", "run"}})["ok"].get<bool>());
    h.cycles(300);
    r = h.command(a, {{"cmd", "hold"}});
    EXPECT_TRUE(r["ok"].get<bool>()) << r.dump();
    ASSERT_TRUE(h.until([&] { return h.mode() == "held"; }, 5000));
    // ... but resuming is the controller's.
    EXPECT_FALSE(h.command(a, {{"cmd", "resume"}})["ok"].get<bool>());
    EXPECT_EQ(h.mode(), "held");

    // The controller leaving hands control to nobody; the job stays as it is.
    h.station->onClose(b);
    EXPECT_FALSE(h.station->controller().has_value());
    h.cycles(200);
    EXPECT_EQ(h.mode(), "held");
}

// The jog lives while its repeats arrive (every 100 ms here); when they stop
// the station stops it within the timeout, and the machine is at rest
// within the timeout + the stream's depth + the deceleration. All in the
// controller's time.
TEST(StationJog, ADeadManJogStopsWhenItsRepeatsStop) {
    const double depthMs = 100.0;
    Harness h({}, depthMs);
    ConnectionId c = h.controller();
    const double speed = 20.0;                                 // mm/s
    const double decelMs = speed / 500.0 * 1000.0;             // X: 500 mm/s^2
    const json jog = {{"cmd", "jog"}, {"axis", "X"}, {"direction", 1}, {"speed", speed}};
    ASSERT_TRUE(h.command(c, jog)["ok"].get<bool>());
    int64_t lastRepeat = h.ms;
    for (int k = 0; k < 10; ++k) {
        h.cycles(100);
        ASSERT_TRUE(h.station->jogActive()) << "stopped while repeats came, at " << h.ms;
        ASSERT_TRUE(h.command(c, jog)["ok"].get<bool>());
        lastRepeat = h.ms;
    }
    EXPECT_EQ(h.mode(), "jogging");
    EXPECT_GT(x(h), 15.0);  // about a second at 20 mm/s

    ASSERT_TRUE(h.until([&] { return !h.station->jogActive(); }, 1000));
    const int64_t stoppedAfter = h.ms - lastRepeat;
    EXPECT_GE(stoppedAfter, 250);
    EXPECT_LE(stoppedAfter, 252);
    ASSERT_TRUE(h.until([&] { return h.mode() == "idle"; }, 2000));
    const double restBound = 250.0 + depthMs + decelMs + 20.0;
    EXPECT_LE(static_cast<double>(h.ms - lastRepeat), restBound);
    const double atRest = x(h);
    h.cycles(1000);
    EXPECT_EQ(x(h), atRest);
    // The operator is told why.
    bool told = false;
    for (const json& e : ofType(h.drain(c), "event"))
        told = told || e["text"].get<std::string>().find("no repeat") != std::string::npos;
    EXPECT_TRUE(told);
}

TEST(StationJog, AJogStopsAtOnceWhenItsSocketClosesOrThePageLosesFocus) {
    const double depthMs = 100.0;
    Harness h({}, depthMs);
    const json jog = {{"cmd", "jog"}, {"axis", "Y"}, {"direction", -1}, {"speed", 10.0}};
    for (int way = 0; way < 2; ++way) {
        ConnectionId c = h.controller();
        ASSERT_TRUE(h.command(c, jog)["ok"].get<bool>());
        h.cycles(100);
        ASSERT_TRUE(h.command(c, jog)["ok"].get<bool>());
        h.cycles(50);
        const int64_t at = h.ms;
        if (way == 0) {
            h.station->onClose(c);
        } else {
            // The page sends jogStop on key-up, blur and when hidden.
            EXPECT_TRUE(h.command(c, {{"cmd", "jogStop"}})["ok"].get<bool>());
        }
        EXPECT_FALSE(h.station->jogActive());
        ASSERT_TRUE(h.until([&] { return h.mode() == "idle"; }, 2000));
        EXPECT_LE(static_cast<double>(h.ms - at), depthMs + 10.0 / 500.0 * 1000.0 + 20.0);
    }
}

TEST(StationJob, AReconnectResumesNothingAndADisconnectStopsNothing) {
    Harness h;
    ConnectionId c = h.controller();
    ASSERT_EQ(h.upload("part.ngc", kProgram, h.key(c)).status, 202);
    ASSERT_TRUE(h.command(c, {{"cmd", "confirmPosition"}})["ok"].get<bool>());
    ASSERT_TRUE(h.command(c, {{"cmd", "run"}})["ok"].get<bool>());
    h.cycles(400);
    // The controlling page goes away mid-run: the job goes on.
    h.station->onClose(c);
    h.cycles(200);
    EXPECT_EQ(h.mode(), "running");
    ASSERT_TRUE(h.command(h.controller(), {{"cmd", "hold"}})["ok"].get<bool>());
    ASSERT_TRUE(h.until([&] { return h.mode() == "held"; }, 5000));
    const double heldAt = x(h);
    // Every client goes; one comes back, takes control: still held.
    for (ConnectionId id = 1; id < h.nextId; ++id) h.station->onClose(id);
    h.cycles(500);
    ConnectionId back = h.controller();
    EXPECT_EQ(h.hello[back]["status"]["mode"], "held");
    EXPECT_EQ(h.hello[back]["program"]["id"], "uploads/part.ngc");
    h.cycles(500);
    EXPECT_EQ(h.mode(), "held");
    EXPECT_EQ(x(h), heldAt);
    // Only the explicit resume goes on, to the program's end.
    ASSERT_TRUE(h.command(back, {{"cmd", "resume"}})["ok"].get<bool>());
    ASSERT_TRUE(h.until([&] { return h.mode() == "idle"; }, 20000));
    EXPECT_NEAR(h.engine->status().machine[0], 40.0, 1e-6);
    EXPECT_NEAR(h.engine->status().machine[1], 30.0, 1e-6);
}

TEST(StationJob, RunAndResumeWaitForAKnownPosition) {
    Harness h;
    ConnectionId c = h.controller();
    ASSERT_EQ(h.upload("part.ngc", kProgram, h.key(c)).status, 202);
    const std::string unknown = "the position is not known: home the machine or confirm the position";
    ASSERT_TRUE(h.command(c, {{"cmd", "run"}})["ok"].get<bool>());
    h.cycles(300);
    ASSERT_TRUE(h.command(c, {{"cmd", "hold"}})["ok"].get<bool>());
    ASSERT_TRUE(h.until([&] { return h.mode() == "held"; }, 5000));
    // An abort loses the position: nothing runs or resumes until it is known again.
    ASSERT_TRUE(h.command(c, {{"cmd", "abort"}})["ok"].get<bool>());
    h.cycles(50);
    EXPECT_FALSE(h.engine->status().positionKnown);
    EXPECT_EQ(h.command(c, {{"cmd", "resume"}})["error"], unknown);
    ASSERT_TRUE(h.until([&] { return h.mode() == "idle" || h.mode() == "fault"; }, 2000));
    EXPECT_EQ(h.command(c, {{"cmd", "run"}})["error"], unknown);
    EXPECT_EQ(h.command(c, {{"cmd", "run"}, {"from", 4}})["error"], unknown);
    EXPECT_FALSE(h.engine->status().positionKnown);
    ASSERT_TRUE(h.command(c, {{"cmd", "home"}})["ok"].get<bool>());
    ASSERT_TRUE(h.until([&] { return h.mode() == "idle"; }, 60000));
    EXPECT_TRUE(h.engine->status().positionKnown);
    EXPECT_TRUE(h.command(c, {{"cmd", "run"}, {"from", 4}})["ok"].get<bool>());
}

TEST(StationPrograms, UploadsAndProgramChangesWaitUntilIdle) {
    Harness h;
    ConnectionId c = h.controller();
    ASSERT_EQ(h.upload("part.ngc", kProgram, h.key(c)).status, 202);
    h.folder.file("other.ngc", "G0 X1\nM30\n");
    ASSERT_TRUE(h.command(c, {{"cmd", "confirmPosition"}})["ok"].get<bool>());
    ASSERT_TRUE(h.command(c, {{"cmd", "run"}})["ok"].get<bool>());
    h.cycles(100);
    // Refused from the header on, before a byte of the body is read.
    HttpRequest r = h.request("POST", "/api/upload?name=new.ngc");
    r.headers["x-telvo-client"] = h.key(c);
    HttpResponse early = h.station->onHeader(r);
    EXPECT_EQ(early.status, 409);
    EXPECT_NE(early.body.find("running"), std::string::npos);
    EXPECT_EQ(h.upload("new.ngc", "G0 X1\n", h.key(c)).status, 409);
    EXPECT_FALSE(std::filesystem::exists(h.uploads.path / "new.ngc"));
    json o = h.command(c, {{"cmd", "open"}, {"program", "programs/other.ngc"}});
    EXPECT_NE(o["error"].get<std::string>().find("only while it is idle"), std::string::npos);
    EXPECT_EQ(h.station->programId(), "uploads/part.ngc");
    ASSERT_TRUE(h.until([&] { return h.mode() == "idle"; }, 20000));
    EXPECT_TRUE(h.command(c, {{"cmd", "open"}, {"program", "programs/other.ngc"}})["ok"].get<bool>());
    // Taken now, checked in the next cycle, then announced to every client.
    EXPECT_EQ(h.station->programId(), "uploads/part.ngc");
    EXPECT_EQ(h.command(c, {{"cmd", "run"}})["error"], "a program is being checked: wait until it is done");
    h.cycle();
    EXPECT_EQ(h.station->programId(), "programs/other.ngc");
    std::vector<json> announced = ofType(h.drain(c), "program");
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_EQ(announced[0]["program"]["lines"], 2);
}

// A pre-pass of many moves serves the network from within (the pump), and
// nothing that reaches the engine is taken meanwhile.
TEST(StationPrograms, ALongPrePassKeepsServingAndRefusesEngineCommands) {
    Harness h;
    ConnectionId c = h.controller();
    std::string text = "G21 G90 F3000\n";
    for (int i = 1; i <= 10000; ++i) text += "G1 X" + std::to_string(i % 100) + " Y" + std::to_string(i / 100) + "\n";
    int pumps = 0;
    ConnectionId late = 0;
    std::vector<json> answers;
    h.station->setPump([&] {
        if (++pumps == 1) late = h.connect();  // a client arrives mid-check
        for (const char* cmd : {"mdi", "abort", "ping"}) {
            h.station->onText(c, json({{"id", cmd}, {"cmd", cmd}, {"line", "G0 X1"}}).dump());
        }
        for (const json& m : ofType(h.drain(c), "ack")) answers.push_back(m);
    });
    ASSERT_EQ(h.upload("grid.ngc", text, h.key(c)).status, 202);
    EXPECT_EQ(pumps, 5);  // every 2000 points of the path
    EXPECT_EQ(h.station->programId(), "uploads/grid.ngc");
    ASSERT_EQ(answers.size(), 3u * static_cast<size_t>(pumps));
    for (const json& a : answers) {
        if (a["id"] == "ping") {
            EXPECT_TRUE(a["ok"].get<bool>());
        } else {
            EXPECT_EQ(a["error"], "a program is being checked: wait until it is done") << a.dump();
        }
    }
    EXPECT_EQ(h.mode(), "idle");
    EXPECT_TRUE(h.engine->status().positionKnown);  // the abort was not taken
    EXPECT_TRUE(h.hello[late]["program"].is_null());
    std::vector<json> announced = ofType(h.drain(late), "program");
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_EQ(announced[0]["program"]["check"]["moves"], 10000);
}

TEST(StationPrograms, TextComesByRangesOfLines) {
    Harness h;
    ConnectionId c = h.controller();
    std::string text;
    for (int i = 1; i <= 5000; ++i) text += "G1 X" + std::to_string(i % 50) + " F600\r\n";
    ASSERT_EQ(h.upload("long.ngc", text, h.key(c)).status, 202);
    HttpResponse r = h.station->onRequest(h.request("GET", "/api/program/lines?from=4999&count=10"));
    ASSERT_EQ(r.status, 200);
    json j = json::parse(r.body);
    EXPECT_EQ(j["total"], 5000);
    ASSERT_EQ(j["lines"].size(), 2u);
    EXPECT_EQ(j["lines"][0], "G1 X49 F600");  // without its CR LF
    EXPECT_EQ(j["lines"][1], "G1 X0 F600");
    r = h.station->onRequest(h.request("GET", "/api/program/lines?from=1&count=100000"));
    EXPECT_EQ(json::parse(r.body)["lines"].size(), 2000u);  // one answer holds at most 2000
    EXPECT_EQ(h.station->onRequest(h.request("GET", "/api/program/lines?from=x&count=1")).status, 400);
    // The preview is binary: "TVP1", the count, then the points.
    r = h.station->onRequest(h.request("GET", "/api/preview"));
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.contentType, "application/octet-stream");
    ASSERT_GE(r.body.size(), 36u);
    EXPECT_EQ(r.body.substr(0, 4), "TVP1");
    uint32_t count = 0;
    std::memcpy(&count, r.body.data() + 4, 4);
    EXPECT_EQ(r.body.size(), 36u + 13u * count);
    EXPECT_EQ(count, h.station->previewPoints());
}
