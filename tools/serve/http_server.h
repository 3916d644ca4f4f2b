// The station's network face: an HTTP/1.1 + WebSocket server, polled from the
// host loop under a time budget so that no network work can hold up the
// motion stream.
//
// Only the implementation (http_server_beast.cpp) knows the library it is
// built on; everything the station decides (routes, access checks, the
// protocol, what to send next) sits behind HttpHandler, so it can be driven
// without sockets.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace telvo::station {

using ConnectionId = uint64_t;

struct HttpRequest {
    std::string method;                          // "GET", "POST", ...
    std::string target;                          // as sent: path and query
    std::string path;                            // target without the query
    std::string query;                           // after '?', undecoded ("" none)
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::string peer;  // remote address
    std::string header(const std::string& lowerName) const {
        auto it = headers.find(lowerName);
        return it == headers.end() ? std::string() : it->second;
    }
    bool hasHeader(const std::string& lowerName) const { return headers.count(lowerName) != 0; }
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // extra ones
};

// One message for a WebSocket client.
struct Outgoing {
    std::string data;
    bool binary = false;
};

class HttpHandler {
public:
    virtual ~HttpHandler() = default;
    // Once the header is read, before the body: status 0 reads the body and
    // goes on to onRequest(); anything else is sent instead and the
    // connection closed (an upload refused without reading it).
    virtual HttpResponse onHeader(const HttpRequest& request) = 0;
    virtual HttpResponse onRequest(const HttpRequest& request) = 0;
    // A WebSocket upgrade: status 101 accepts it, anything else is sent as
    // the refusal.
    virtual HttpResponse onUpgrade(const HttpRequest& request) = 0;
    virtual void onOpen(ConnectionId id, const HttpRequest& request) = 0;
    virtual void onText(ConnectionId id, const std::string& text) = 0;
    virtual void onClose(ConnectionId id) = 0;
    // The next message for a client, when its previous one is written.
    virtual bool nextOutgoing(ConnectionId id, Outgoing& out) = 0;
};

// What the handler may ask of the connections it was given.
class Connections {
public:
    virtual ~Connections() = default;
    // Something waits for `id`: write it once the socket is free.
    virtual void wake(ConnectionId id) = 0;
    virtual void close(ConnectionId id) = 0;
};

struct HttpServerOptions {
    std::string address = "127.0.0.1";
    uint16_t port = 8080;  // 0: any free port (see HttpServer::port())
    uint64_t bodyLimit = 128ull << 20;
    size_t messageLimit = 64 * 1024;  // largest WebSocket message taken
    double pingSeconds = 4.0;         // a silent peer is dropped after this
    double requestSeconds = 30.0;     // an HTTP exchange's time limit
    int maxWebSockets = 32;
};

class HttpServer : public Connections {
public:
    // Binds and listens; throws std::runtime_error when it cannot.
    HttpServer(HttpHandler& handler, const HttpServerOptions& options);
    ~HttpServer() override;
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    uint16_t port() const;
    // Runs ready network work, one handler at a time, until none is ready
    // or `budget` has passed. Returns the handlers run.
    int poll(std::chrono::microseconds budget);
    void wake(ConnectionId id) override;
    void close(ConnectionId id) override;
    // Closes every connection and the listener, then runs what that leaves
    // for at most `budget`.
    void shutdown(std::chrono::milliseconds budget);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace telvo::station
