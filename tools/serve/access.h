// Who may talk to the station.
//
// - Host: only the names the server is reached by (127.0.0.1, localhost,
//   [::1] on loopback; the listening address otherwise), so a foreign name
//   that resolves to 127.0.0.1 (DNS rebinding) is refused.
// - Origin: every WebSocket upgrade and every request that changes
//   anything must come from the station's own page (Origin equal to
//   http://HOST); a form on any other site posting to 127.0.0.1 carries its
//   own origin and is refused. Scripts send the header themselves.
// - Token: off loopback, every request carries a random token: once in the
//   page's address (?token=...), then as an HttpOnly SameSite=Strict cookie
//   (scripts may send "Authorization: Bearer TOKEN").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serve/http_server.h"

namespace telvo::station {

struct AccessPolicy {
    std::string address = "127.0.0.1";  // listening address
    uint16_t port = 0;
    bool loopback = true;  // the address is a loopback one: no token
    std::string token;     // off loopback: what every request must carry
};

// Whether the request may go on: status 0, or the status and reason to
// refuse it with.
struct Verdict {
    int status = 0;
    std::string reason;
    bool ok() const { return status == 0; }
};

constexpr const char* kTokenCookie = "telvo_token";

bool isLoopbackAddress(const std::string& address);
bool isUnspecifiedAddress(const std::string& address);  // 0.0.0.0, ::
// A policy for listening on `address`: a fresh token unless it is loopback.
AccessPolicy makePolicy(const std::string& address, uint16_t port);
// 32 hexadecimal digits from the system's random source.
std::string randomToken();
// Host values the server answers to ("" : any, off loopback on 0.0.0.0).
std::vector<std::string> allowedHosts(const AccessPolicy& policy);

Verdict checkHost(const AccessPolicy& policy, const HttpRequest& request);
Verdict checkOrigin(const AccessPolicy& policy, const HttpRequest& request);
Verdict checkToken(const AccessPolicy& policy, const HttpRequest& request);
// Host, token and, when the request changes anything (or upgrades), Origin.
Verdict checkAccess(const AccessPolicy& policy, const HttpRequest& request, bool changes);

// The token given in the page's address (?token=), when it is the right one.
bool tokenInQuery(const AccessPolicy& policy, const HttpRequest& request);
std::string tokenCookie(const AccessPolicy& policy);

// Query parameters: the value of `name`, percent-decoded ("" when absent).
std::string queryValue(const std::string& query, const std::string& name);
// Equal without leaking where they differ through the time taken.
bool sameSecret(const std::string& a, const std::string& b);

}  // namespace telvo::station
