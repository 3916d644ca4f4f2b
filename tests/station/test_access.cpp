// Who may talk to the station, where programs may come from, the preview's
// thinning and the outbox's order.
#include <cmath>
#include <random>

#include "harness.h"
#include "serve/access.h"
#include "serve/outbox.h"
#include "serve/programs.h"

using namespace stationtest;
using namespace telvo::station;

namespace {

AccessPolicy offLoopback() {
    AccessPolicy p = makePolicy("192.0.2.10", 8080);  // a documentation address: never contacted
    EXPECT_FALSE(p.loopback);
    EXPECT_EQ(p.token.size(), 32u);
    return p;
}

HttpRequest remote(const AccessPolicy& p, const std::string& method, const std::string& target) {
    HttpRequest r;
    r.method = method;
    r.target = target;
    size_t q = target.find('?');
    r.path = target.substr(0, q);
    r.query = q == std::string::npos ? "" : target.substr(q + 1);
    r.headers["host"] = "192.0.2.10:" + std::to_string(p.port);
    r.headers["origin"] = "http://192.0.2.10:" + std::to_string(p.port);
    return r;
}

}  // namespace

TEST(StationAccess, AForeignOriginOrHostIsRefusedOnLoopback) {
    Harness h;
    HttpRequest up = h.request("GET", "/ws");
    EXPECT_EQ(h.station->onUpgrade(up).status, 101);

    HttpRequest foreign = up;
    foreign.headers["origin"] = "http://evil.example";
    HttpResponse r = h.station->onUpgrade(foreign);
    EXPECT_EQ(r.status, 403);
    EXPECT_NE(r.body.find("foreign Origin"), std::string::npos);
    // The same host on another port is another origin.
    foreign.headers["origin"] = "http://127.0.0.1:9999";
    EXPECT_EQ(h.station->onUpgrade(foreign).status, 403);
    HttpRequest none = up;
    none.headers.erase("origin");
    EXPECT_EQ(h.station->onUpgrade(none).status, 403);
    // A foreign name resolving to 127.0.0.1 (DNS rebinding) brings its own Host.
    HttpRequest rebound = up;
    rebound.headers["host"] = "evil.example:8080";
    rebound.headers["origin"] = "http://evil.example:8080";
    EXPECT_EQ(h.station->onUpgrade(rebound).status, 403);
    EXPECT_EQ(h.station->onRequest(rebound).status, 403);
    // localhost and [::1] are this station too.
    HttpRequest local = up;
    local.headers["host"] = "localhost:8080";
    local.headers["origin"] = "http://localhost:8080";
    EXPECT_EQ(h.station->onUpgrade(local).status, 101);

    // A form posted from another site: refused before its body is read.
    HttpRequest post = h.request("POST", "/api/upload?name=x.ngc");
    post.headers["origin"] = "http://evil.example";
    EXPECT_EQ(h.station->onHeader(post).status, 403);
    post.headers.erase("origin");
    EXPECT_EQ(h.station->onHeader(post).status, 403);
    EXPECT_TRUE(h.station->programId().empty());
    // A repeated Origin cannot pass on one of its values.
    post.headers["origin"] = "http://127.0.0.1:8080, http://evil.example";
    EXPECT_EQ(h.station->onHeader(post).status, 403);
}

TEST(StationAccess, OffLoopbackEveryRequestNeedsTheToken) {
    AccessPolicy p = offLoopback();
    Harness h(p);
    HttpRequest up = remote(p, "GET", "/ws");
    HttpResponse r = h.station->onUpgrade(up);
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(h.station->onRequest(remote(p, "GET", "/api/status")).status, 401);
    EXPECT_EQ(h.station->onRequest(remote(p, "GET", "/")).status, 401);

    // The token once in the address: a redirect that sets the cookie.
    r = h.station->onRequest(remote(p, "GET", "/?token=" + p.token));
    EXPECT_EQ(r.status, 303);
    std::string cookie;
    for (const auto& [name, value] : r.headers)
        if (name == "Set-Cookie") cookie = value;
    EXPECT_EQ(cookie, std::string(kTokenCookie) + "=" + p.token + "; Path=/; HttpOnly; SameSite=Strict");
    // A wrong token in the address sets nothing.
    r = h.station->onRequest(remote(p, "GET", "/?token=" + std::string(32, '0')));
    EXPECT_EQ(r.status, 401);

    up.headers["cookie"] = "theme=dark; telvo_token=" + p.token;
    EXPECT_EQ(h.station->onUpgrade(up).status, 101);
    up.headers["cookie"] = "telvo_token=" + p.token.substr(0, 31) + "x";
    EXPECT_EQ(h.station->onUpgrade(up).status, 401);
    // Scripts may send it as a bearer token; the Origin rule still holds.
    HttpRequest post = remote(p, "POST", "/api/upload?name=a.ngc");
    post.headers["authorization"] = "Bearer " + p.token;
    EXPECT_EQ(h.station->onHeader(post).status, 0);
    post.headers["origin"] = "http://evil.example";
    EXPECT_EQ(h.station->onHeader(post).status, 403);
    // On loopback no token is made or asked for.
    EXPECT_TRUE(makePolicy("127.0.0.1", 8080).token.empty());
    EXPECT_TRUE(makePolicy("::1", 8080).loopback);
    EXPECT_NE(randomToken(), randomToken());
}

TEST(StationAccess, NoGetChangesAnything) {
    Harness h;
    ConnectionId c = h.controller();
    (void)c;
    for (const char* target : {"/api/upload?name=a.ngc", "/api/open?program=uploads/a.ngc"}) {
        HttpRequest get = h.request("GET", target);
        get.body = "G0 X1\n";
        EXPECT_EQ(h.station->onHeader(get).status, 0);
        EXPECT_EQ(h.station->onRequest(get).status, 404) << target;
    }
    EXPECT_FALSE(std::filesystem::exists(h.uploads.path / "a.ngc"));
    EXPECT_TRUE(h.station->programId().empty());
    HttpRequest put = h.request("PUT", "/api/upload?name=a.ngc");
    EXPECT_EQ(h.station->onRequest(put).status, 405);
    // Module scripts are served as JavaScript; nothing outside the page's folder.
    HttpResponse js = h.station->onRequest(h.request("GET", "/app.js"));
    EXPECT_EQ(js.status, 200);
    EXPECT_EQ(js.contentType, "text/javascript; charset=utf-8");
    EXPECT_EQ(h.station->onRequest(h.request("GET", "/../CMakeLists.txt")).status, 404);
    EXPECT_EQ(h.station->onRequest(h.request("GET", "/.hidden.js")).status, 404);
}

TEST(StationPrograms, ProgramsComeOnlyFromTheirTwoFolders) {
    TempDir uploads("u"), folder("f"), outside("o");
    ProgramStore store(uploads.path.string(), folder.path.string());
    folder.file("ok.ngc", "G0 X1\n");
    outside.file("secret.ngc", "G0 X1\n");
    std::filesystem::create_symlink(outside.path / "secret.ngc", folder.path / "link.ngc");
    std::string path;
    EXPECT_EQ(store.resolve("programs/ok.ngc", path), "");
    EXPECT_EQ(path, std::filesystem::canonical(folder.path / "ok.ngc").string());
    for (const std::string& id :
         {std::string("programs/../") + outside.path.filename().string() + "/secret.ngc",
          std::string("programs/link.ngc"), outside.path.string() + "/secret.ngc",
          std::string("/etc/passwd"), std::string("programs/"), std::string("programs/.x"),
          std::string("uploads/missing.ngc"), std::string("other/ok.ngc")}) {
        EXPECT_NE(store.resolve(id, path), "") << id;
    }
    std::string id;
    EXPECT_NE(store.store("../escape.ngc", "x", id), "");
    EXPECT_NE(store.store("a/b.ngc", "x", id), "");
    EXPECT_EQ(store.store("part 1.ngc", "G0 X1\n", id), "");
    EXPECT_EQ(id, "uploads/part 1.ngc");
    std::vector<ProgramEntry> list = store.list();
    ASSERT_EQ(list.size(), 3u);  // the link is listed but never resolved
    EXPECT_EQ(list[0].id, "programs/link.ngc");
    EXPECT_EQ(list[1].id, "programs/ok.ngc");
    EXPECT_EQ(list[2].id, "uploads/part 1.ngc");
    // Without a folder given at start, programs/ names nothing.
    ProgramStore bare(uploads.path.string(), "");
    EXPECT_NE(bare.resolve("programs/ok.ngc", path), "");
}

TEST(StationPrograms, LineIndexReadsAnyRange) {
    TempDir dir("l");
    LineIndex index;
    ASSERT_TRUE(index.build(dir.file("a.ngc", "one\ntwo\r\n\nfour")));
    EXPECT_EQ(index.lines(), 4u);
    EXPECT_EQ(index.read(2, 3), (std::vector<std::string>{"two", "", "four"}));
    EXPECT_EQ(index.read(4, 10), (std::vector<std::string>{"four"}));
    EXPECT_TRUE(index.read(5, 1).empty());
    EXPECT_TRUE(index.read(0, 1).empty());
    ASSERT_TRUE(index.build(dir.file("b.ngc", "one\ntwo\n")));
    EXPECT_EQ(index.lines(), 2u);  // the last line's end starts no line
    ASSERT_TRUE(index.build(dir.file("c.ngc", "")));
    EXPECT_EQ(index.lines(), 0u);
    EXPECT_FALSE(index.build((dir.path / "none").string()));
}

// A dense spiral of 200k moves thinned to at most 10k points: every input
// point stays within twice the final tolerance of the thinned line, and each
// change between rapids and cuts is kept as a vertex.
TEST(StationPreview, ThinningKeepsThePathWithinItsTolerance) {
    PreviewPath path(10000);
    std::vector<telvo::tool::Vec6> input;
    std::vector<bool> rapids;
    for (int i = 0; i < 200000; ++i) {
        double a = i * 0.001, r = 10.0 + a;
        bool rapid = (i / 50000) % 2 == 1;
        input.push_back({r * std::cos(a), r * std::sin(a), -0.00001 * i, 0, 0, 0});
        rapids.push_back(rapid);
        path.add(input.back(), rapid);
    }
    path.finish();
    ASSERT_LE(path.size(), 10000u);
    ASSERT_GE(path.size(), 2500u);
    std::string wire = path.encode();
    uint32_t n = 0;
    std::memcpy(&n, wire.data() + 4, 4);
    ASSERT_EQ(n, path.size());
    std::vector<float> xyz(3 * n);
    std::memcpy(xyz.data(), wire.data() + 36, 12 * n);
    const uint8_t* kinds = reinterpret_cast<const uint8_t*>(wire.data() + 36 + 12 * n);
    // Walk the input along the thinned line: each input point lies near the
    // segment it belongs to.
    double worst = 0.0;
    size_t seg = 0;
    int changes = 0;
    for (uint32_t k = 2; k < n; ++k) changes += kinds[k] != kinds[k - 1];
    EXPECT_EQ(changes, 3);
    for (size_t i = 0; i < input.size(); ++i) {
        auto dist = [&](size_t s) {
            double ax = xyz[3 * s], ay = xyz[3 * s + 1], az = xyz[3 * s + 2];
            double bx = xyz[3 * s + 3], by = xyz[3 * s + 4], bz = xyz[3 * s + 5];
            double dx = bx - ax, dy = by - ay, dz = bz - az;
            double px = input[i][0] - ax, py = input[i][1] - ay, pz = input[i][2] - az;
            double len2 = dx * dx + dy * dy + dz * dz;
            double t = len2 > 0 ? std::clamp((px * dx + py * dy + pz * dz) / len2, 0.0, 1.0) : 0.0;
            return std::sqrt(std::pow(px - t * dx, 2) + std::pow(py - t * dy, 2) + std::pow(pz - t * dz, 2));
        };
        while (seg + 2 < n && dist(seg + 1) <= dist(seg)) ++seg;
        worst = std::max(worst, dist(seg));
    }
    EXPECT_LE(worst, 2.0 * path.tolerance() + 1e-3);
    EXPECT_EQ(path.added(), 200000u);
}

// Teeth higher than the tolerance stay; each point dropped lies within the
// tolerance of the line kept.
TEST(StationPreview, ThinningKeepsDetailAboveItsTolerance) {
    PreviewPath path(1000000, 0.1);
    std::vector<telvo::tool::Vec6> input;
    for (int i = 0; i < 4000; ++i) {
        // Teeth 0.15 high every 0.2 along X, sampled every 0.02.
        double x = i * 0.02, phase = std::fmod(x, 0.2) / 0.2;
        input.push_back({x, 0.15 * (phase < 0.5 ? 2 * phase : 2 - 2 * phase), 0, 0, 0, 0});
        path.add(input.back(), false);
    }
    path.finish();
    EXPECT_EQ(path.tolerance(), 0.1);
    std::string wire = path.encode();
    uint32_t n = 0;
    std::memcpy(&n, wire.data() + 4, 4);
    std::vector<float> xyz(3 * n);
    std::memcpy(xyz.data(), wire.data() + 36, 12 * n);
    double worst = 0.0;
    for (const auto& p : input) {
        double best = 1e9;
        for (uint32_t s = 0; s + 1 < n; ++s) {
            double ax = xyz[3 * s], ay = xyz[3 * s + 1], bx = xyz[3 * s + 3], by = xyz[3 * s + 4];
            double dx = bx - ax, dy = by - ay, len2 = dx * dx + dy * dy;
            double t = len2 > 0 ? std::clamp(((p[0] - ax) * dx + (p[1] - ay) * dy) / len2, 0.0, 1.0) : 0.0;
            best = std::min(best, std::hypot(p[0] - ax - t * dx, p[1] - ay - t * dy));
        }
        worst = std::max(worst, best);
    }
    EXPECT_LE(worst, 0.1 + 1e-6);
    EXPECT_LT(n, 4000u);  // it did thin
}

TEST(StationOutbox, EventsKeepTheirOrderAndAStatusItsPlace) {
    Outbox box;
    Outgoing o;
    EXPECT_FALSE(box.take(o));
    box.setLatest("s1");
    box.push("e1");
    box.setLatest("s2");  // replaces s1, and now comes after e1
    box.push("e2");
    std::vector<std::string> got;
    while (box.take(o)) got.push_back(o.data);
    EXPECT_EQ(got, (std::vector<std::string>{"e1", "s2", "e2"}));
    EXPECT_EQ(box.statusesSet(), 2u);
    EXPECT_EQ(box.statusesSent(), 1u);
    EXPECT_EQ(box.queuedBytes(), 0u);
}

TEST(StationOutbox, AClientThatNeverReadsIsDroppedPastItsBacklog) {
    Harness h;
    ConnectionId c = h.connect();
    // Events pile up for a client that reads nothing; statuses do not.
    telvo::tool::EngineEvent e;
    e.kind = telvo::tool::EngineEvent::Kind::Message;
    e.text = std::string(1000, 'm');
    int sent = 0;
    while (sent < 100000 && !h.connections.closed.count(c)) {
        h.station->onEvent(e);
        ++sent;
    }
    EXPECT_TRUE(h.connections.closed.count(c));
    EXPECT_GT(sent, 7000);  // about 8 MB of them
    EXPECT_LT(sent, 9000);
}
