// The web server over real loopback sockets, polled the way the host loop
// polls it: the WebSocket handshake with its Origin check, the body limit,
// and the type of module scripts. The client runs on a thread of its own
// with plain sockets; the server is polled on the test's thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "harness.h"
#include "serve/http_server.h"

using namespace stationtest;
using namespace telvo::station;

namespace {

// Sends `request` and reads until the peer closes, `enough` says stop, or
// 20 s pass (a watchdog only).
std::string exchange(uint16_t port, const std::string& request,
                     const std::function<bool(const std::string&)>& enough) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return "connect failed";
    }
    size_t sent = 0;
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, static_cast<short>(POLLIN | (sent < request.size() ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        if (p.revents & POLLOUT) {
            ssize_t n = ::send(fd, request.data() + sent, std::min<size_t>(request.size() - sent, 65536),
                               MSG_NOSIGNAL);
            if (n > 0) sent += static_cast<size_t>(n);
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[65536];
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
            if (enough(got)) break;
        }
    }
    ::close(fd);
    return got;
}

// One whole HTTP response (its header and Content-Length bytes) is in.
bool wholeResponse(const std::string& got) {
    size_t end = got.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    size_t at = got.find("Content-Length: ");
    if (at == std::string::npos || at > end) return true;
    size_t length = std::stoul(got.substr(at + 16));
    return got.size() >= end + 4 + length;
}

struct Served {
    Harness h;
    HttpServer server;
    explicit Served(const HttpServerOptions& o) : server(*h.station, o) {
        h.station->attach(&server);
        h.station->setPort(server.port());
        h.port = server.port();
    }
    // Polls the server (and runs the loop) until the client's answer is in.
    std::string ask(const std::string& request,
                    std::function<bool(const std::string&)> enough = wholeResponse) {
        uint16_t port = server.port();
        auto answer = std::async(std::launch::async, [=] { return exchange(port, request, enough); });
        while (answer.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
            h.cycle();
            if (server.poll(std::chrono::microseconds(300)) == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return answer.get();
    }
    std::string upgrade(const std::string& origin) const {
        std::string p = std::to_string(server.port());
        return "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + p +
               "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
               "Origin: " + origin + "\r\n\r\n";
    }
};

HttpServerOptions localOptions() {
    HttpServerOptions o;
    o.address = "127.0.0.1";
    o.port = 0;
    return o;
}

}  // namespace

TEST(StationHttp, TheHandshakeChecksTheOriginAndThenSendsTheState) {
    Served s(localOptions());
    std::string p = std::to_string(s.server.port());
    std::string refused = s.ask(s.upgrade("http://evil.example"));
    EXPECT_EQ(refused.rfind("HTTP/1.1 403", 0), 0u) << refused;
    EXPECT_NE(refused.find("foreign Origin"), std::string::npos);
    EXPECT_EQ(s.h.station->clientCount(), 0u);

    std::string accepted = s.ask(s.upgrade("http://127.0.0.1:" + p), [](const std::string& got) {
        return got.find("\"type\":\"state\"") != std::string::npos;
    });
    EXPECT_EQ(accepted.rfind("HTTP/1.1 101", 0), 0u) << accepted.substr(0, 200);
    // The accept key of RFC 6455's own example.
    EXPECT_NE(accepted.find("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), std::string::npos);
    EXPECT_NE(accepted.find("\"protocol\":1"), std::string::npos);
    // The client went away: the station forgets it once the server sees it.
    for (int i = 0; i < 2000 && s.h.station->clientCount() > 0; ++i) {
        s.server.poll(std::chrono::microseconds(300));
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    EXPECT_EQ(s.h.station->clientCount(), 0u);
}

TEST(StationHttp, BodiesOverTheLimitAreRefusedAndScriptsAreJavaScript) {
    HttpServerOptions o = localOptions();
    o.bodyLimit = 1 << 20;
    Served s(o);
    ConnectionId c = s.h.controller();
    std::string p = std::to_string(s.server.port());
    std::string program(2 << 20, '\n');
    std::string head = "POST /api/upload?name=big.ngc HTTP/1.1\r\nHost: 127.0.0.1:" + p +
                       "\r\nOrigin: http://127.0.0.1:" + p + "\r\nX-Telvo-Client: " + s.h.key(c) +
                       "\r\nContent-Length: ";
    std::string big = s.ask(head + std::to_string(program.size()) + "\r\n\r\n" + program);
    EXPECT_EQ(big.rfind("HTTP/1.1 413", 0), 0u) << big.substr(0, 200);
    EXPECT_TRUE(s.h.station->programId().empty());
    program.resize(500000);
    std::string fits = s.ask(head + std::to_string(program.size()) + "\r\n\r\n" + program);
    EXPECT_EQ(fits.rfind("HTTP/1.1 202", 0), 0u) << fits.substr(0, 200);
    s.h.cycle();
    EXPECT_EQ(s.h.station->programId(), "uploads/big.ngc");

    std::string js = s.ask("GET /app.js?v=3 HTTP/1.1\r\nHost: 127.0.0.1:" + p +
                           "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(js.rfind("HTTP/1.1 200", 0), 0u) << js.substr(0, 200);
    EXPECT_NE(js.find("Content-Type: text/javascript"), std::string::npos);
}
