// HttpServer on Boost.Beast and Asio: the only file that includes them (one
// such translation unit costs 30-45 s of compiler time).
//
// One io_context, never run on a thread of its own: the host loop calls
// poll(), which runs ready handlers one by one (poll_one) until the budget
// is spent. A 20 MB upload is thus read a buffer at a time between motion
// cycles instead of in one go. Each WebSocket has at most one write in
// flight; when it completes the handler is asked for the next message, so
// a slow client holds back only its own messages and the handler decides
// what those are (the latest status, not every one).
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <optional>
#include <stdexcept>
#include <thread>

#include "serve/http_server.h"

namespace telvo::station {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

constexpr const char* kServerName = "telvo";

std::chrono::steady_clock::duration seconds(double s) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(s));
}

template <typename Fields>
HttpRequest describe(const http::request_header<Fields>& header, const std::string& peer) {
    HttpRequest r;
    r.method = std::string(header.method_string());
    r.target = std::string(header.target());
    size_t q = r.target.find('?');
    r.path = r.target.substr(0, q);
    r.query = q == std::string::npos ? "" : r.target.substr(q + 1);
    for (const auto& field : header) {
        std::string name(field.name_string());
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        auto [it, fresh] = r.headers.emplace(name, std::string(field.value()));
        // A repeated header is kept whole, so that no check can pass on one
        // of two values.
        if (!fresh) it->second += ", " + std::string(field.value());
    }
    r.peer = peer;
    return r;
}

}  // namespace

// Each connection's handlers start the next asynchronous step from its
// completion: a chain of continuations run one by one from the io_context,
// never a nested call, which is what misc-no-recursion sees as recursion.
// NOLINTBEGIN(misc-no-recursion)
struct HttpServer::Impl {
    struct WebSocket;
    struct Exchange;

    HttpHandler& handler;
    HttpServerOptions options;
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    std::map<ConnectionId, std::shared_ptr<WebSocket>> sockets;
    ConnectionId nextId = 1;
    bool stopping = false;

    Impl(HttpHandler& h, const HttpServerOptions& o) : handler(h), options(o) {}
    void accept();
};

// One WebSocket client.
struct HttpServer::Impl::WebSocket : std::enable_shared_from_this<WebSocket> {
    Impl& server;
    ConnectionId id;
    websocket::stream<beast::tcp_stream> ws;
    beast::flat_buffer buffer;
    Outgoing current;
    bool open = false, writing = false, closing = false, gone = false;

    WebSocket(Impl& s, ConnectionId i, beast::tcp_stream&& stream)
        : server(s), id(i), ws(std::move(stream)) {}

    void start(const http::request<http::string_body>& request, const HttpRequest& described) {
        beast::get_lowest_layer(ws).expires_never();
        websocket::stream_base::timeout timeout{};
        timeout.handshake_timeout = seconds(10.0);
        timeout.idle_timeout = seconds(server.options.pingSeconds);
        timeout.keep_alive_pings = true;  // a ping at half the idle time
        ws.set_option(timeout);
        ws.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& r) { r.set(http::field::server, kServerName); }));
        ws.read_message_max(server.options.messageLimit);
        server.sockets[id] = shared_from_this();
        ws.async_accept(request, [self = shared_from_this(), described](beast::error_code ec) {
            if (ec) return self->drop();
            self->open = true;
            self->server.handler.onOpen(self->id, described);
            self->read();
            self->wake();
        });
    }
    void read() {
        ws.async_read(buffer, [self = shared_from_this()](beast::error_code ec, size_t) {
            if (ec) return self->drop();
            if (self->ws.got_text() && !self->closing) {
                std::string text = beast::buffers_to_string(self->buffer.data());
                self->server.handler.onText(self->id, text);
            }
            self->buffer.consume(self->buffer.size());
            if (!self->gone) self->read();
        });
    }
    void wake() {
        if (!open || writing || gone) return;
        if (closing) {
            writing = true;
            ws.async_close(websocket::close_code::normal,
                           [self = shared_from_this()](beast::error_code) { self->drop(); });
            return;
        }
        if (!server.handler.nextOutgoing(id, current)) return;
        writing = true;
        ws.binary(current.binary);
        ws.async_write(asio::buffer(current.data),
                       [self = shared_from_this()](beast::error_code ec, size_t) {
                           self->writing = false;
                           if (ec) return self->drop();
                           self->current.data.clear();
                           self->wake();
                       });
    }
    void close() {
        closing = true;
        if (!open) {
            beast::error_code ignored;
            beast::get_lowest_layer(ws).socket().close(ignored);
            return;
        }
        wake();
    }
    // The connection is over: tell the handler once, let go of the socket.
    void drop() {
        if (gone) return;
        gone = true;
        beast::error_code ignored;
        beast::get_lowest_layer(ws).socket().close(ignored);
        if (open) server.handler.onClose(id);
        server.sockets.erase(id);
    }
};

// One HTTP connection, request after request, until it upgrades or closes.
struct HttpServer::Impl::Exchange : std::enable_shared_from_this<Exchange> {
    Impl& server;
    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    std::optional<http::request_parser<http::string_body>> parser;
    std::string peer;
    HttpRequest request;
    std::array<char, 16384> scratch{};

    Exchange(Impl& s, tcp::socket&& socket) : server(s), stream(std::move(socket)) {
        beast::error_code ec;
        tcp::endpoint remote = stream.socket().remote_endpoint(ec);
        if (!ec) peer = remote.address().to_string();
    }

    void read() {
        parser.emplace();
        parser->body_limit(server.options.bodyLimit);
        parser->header_limit(16 * 1024);
        stream.expires_after(seconds(server.options.requestSeconds));
        http::async_read_header(
            stream, buffer, *parser,
            [self = shared_from_this()](beast::error_code ec, size_t) { self->onHeader(ec); });
    }
    void onHeader(beast::error_code ec) {
        if (ec == http::error::body_limit) return tooLarge();
        if (ec) return finish();
        request = describe(parser->get(), peer);
        if (websocket::is_upgrade(parser->get())) {
            HttpResponse verdict = server.handler.onUpgrade(request);
            if (verdict.status != 101) return respond(verdict, false);
            if (static_cast<int>(server.sockets.size()) >= server.options.maxWebSockets) {
                return respond({503, "text/plain; charset=utf-8", "too many clients\n", {}}, false);
            }
            auto socket = std::make_shared<WebSocket>(server, server.nextId++, std::move(stream));
            socket->start(parser->release(), request);
            return;
        }
        HttpResponse early = server.handler.onHeader(request);
        if (early.status != 0) return respond(early, false);
        http::async_read(
            stream, buffer, *parser,
            [self = shared_from_this()](beast::error_code e, size_t) { self->onBody(e); });
    }
    void tooLarge() {
        respond(
            {413,
             "text/plain; charset=utf-8",
             "the upload is larger than " + std::to_string(server.options.bodyLimit) + " bytes\n",
             {}},
            false);
    }
    void onBody(beast::error_code ec) {
        if (ec == http::error::body_limit) return tooLarge();
        if (ec) return finish();
        request.body = std::move(parser->get().body());
        HttpResponse r = server.handler.onRequest(request);
        respond(r, parser->get().keep_alive());
    }
    void respond(const HttpResponse& r, bool keepAlive) {
        auto res = std::make_shared<http::response<http::string_body>>(
            static_cast<http::status>(r.status), 11);
        res->set(http::field::server, kServerName);
        res->set(http::field::content_type, r.contentType);
        res->set(http::field::cache_control, "no-store");
        res->set("X-Content-Type-Options", "nosniff");
        for (const auto& [name, value] : r.headers) res->insert(name, value);
        res->body() = r.body;
        res->keep_alive(keepAlive);
        res->prepare_payload();
        http::async_write(
            stream, *res,
            [self = shared_from_this(), res, keepAlive](beast::error_code ec, size_t) {
                if (ec) return self->finish();
                if (!keepAlive || self->server.stopping) return self->drain();
                self->read();
            });
    }
    // After a refusal the client may still be sending: closing now would
    // reset the connection and lose the answer. Our side is shut, what
    // arrives is read and dropped until the client closes or time runs out.
    void drain() {
        beast::error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream.async_read_some(asio::buffer(scratch),
                               [self = shared_from_this()](beast::error_code ec, size_t) {
                                   if (ec) return self->finish();
                                   self->drain();
                               });
    }
    void finish() {
        beast::error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream.socket().close(ignored);
    }
};

void HttpServer::Impl::accept() {
    acceptor.async_accept(io, [this](beast::error_code ec, tcp::socket socket) {
        if (stopping) return;
        if (!ec) std::make_shared<Exchange>(*this, std::move(socket))->read();
        accept();
    });
}

// NOLINTEND(misc-no-recursion)

HttpServer::HttpServer(HttpHandler& handler, const HttpServerOptions& options)
    : impl_(std::make_unique<Impl>(handler, options)) {
    beast::error_code ec;
    asio::ip::address address = asio::ip::make_address(options.address, ec);
    if (ec) throw std::runtime_error("not an IP address: " + options.address);
    tcp::endpoint endpoint(address, options.port);
    tcp::acceptor& a = impl_->acceptor;
    a.open(endpoint.protocol(), ec);
    if (!ec) a.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) a.bind(endpoint, ec);
    if (!ec) a.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        throw std::runtime_error("cannot listen on " + options.address + ":" +
                                 std::to_string(options.port) + ": " + ec.message());
    }
    impl_->accept();
}

HttpServer::~HttpServer() {
    impl_->stopping = true;
    beast::error_code ignored;
    impl_->acceptor.close(ignored);
    // Handlers still queued hold the sockets; they must not call back into
    // a handler that may be gone.
    impl_->sockets.clear();
}

uint16_t HttpServer::port() const {
    return impl_->acceptor.local_endpoint().port();
}

int HttpServer::poll(std::chrono::microseconds budget) {
    auto end = std::chrono::steady_clock::now() + budget;
    int ran = 0;
    while (impl_->io.poll_one() > 0) {
        ++ran;
        if (std::chrono::steady_clock::now() >= end) break;
    }
    if (impl_->io.stopped()) impl_->io.restart();
    return ran;
}

void HttpServer::wake(ConnectionId id) {
    auto it = impl_->sockets.find(id);
    if (it != impl_->sockets.end()) it->second->wake();
}

void HttpServer::close(ConnectionId id) {
    auto it = impl_->sockets.find(id);
    if (it != impl_->sockets.end()) it->second->close();
}

void HttpServer::shutdown(std::chrono::milliseconds budget) {
    impl_->stopping = true;
    beast::error_code ignored;
    impl_->acceptor.close(ignored);
    std::vector<std::shared_ptr<Impl::WebSocket>> open;
    for (auto& [id, socket] : impl_->sockets) open.push_back(socket);
    for (auto& socket : open) socket->close();
    auto end = std::chrono::steady_clock::now() + budget;
    while (!impl_->sockets.empty() && std::chrono::steady_clock::now() < end) {
        if (poll(std::chrono::microseconds(1000)) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

}  // namespace telvo::station
