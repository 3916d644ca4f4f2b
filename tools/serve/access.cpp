#include "serve/access.h"

#include <algorithm>
#include <cctype>
#include <random>

namespace telvo::station {

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string hostPort(const std::string& address, uint16_t port) {
    std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
    return host + ":" + std::to_string(port);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percentDecode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 &&
                   hexValue(s[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string cookieValue(const std::string& header, const std::string& name) {
    size_t pos = 0;
    while (pos < header.size()) {
        size_t end = header.find(';', pos);
        if (end == std::string::npos) end = header.size();
        std::string pair = header.substr(pos, end - pos);
        size_t first = pair.find_first_not_of(' ');
        if (first != std::string::npos) pair = pair.substr(first);
        size_t eq = pair.find('=');
        if (eq != std::string::npos && pair.substr(0, eq) == name) return pair.substr(eq + 1);
        pos = end + 1;
    }
    return "";
}

}  // namespace

bool isLoopbackAddress(const std::string& address) {
    return address == "::1" || address.rfind("127.", 0) == 0 || address == "localhost";
}

bool isUnspecifiedAddress(const std::string& address) {
    return address == "0.0.0.0" || address == "::";
}

std::string randomToken() {
    std::random_device source;  // the system's random source (/dev/urandom, RtlGenRandom)
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    for (int i = 0; i < 4; ++i) {
        uint32_t word = source();
        for (int k = 0; k < 8; ++k) token += kHex[(word >> (4 * k)) & 0xf];
    }
    return token;
}

AccessPolicy makePolicy(const std::string& address, uint16_t port) {
    AccessPolicy p;
    p.address = address;
    p.port = port;
    p.loopback = isLoopbackAddress(address);
    if (!p.loopback) p.token = randomToken();
    return p;
}

std::vector<std::string> allowedHosts(const AccessPolicy& policy) {
    if (!policy.loopback && isUnspecifiedAddress(policy.address)) return {""};
    std::vector<std::string> hosts;
    if (policy.loopback) {
        hosts = {hostPort("127.0.0.1", policy.port), hostPort("localhost", policy.port),
                 hostPort("::1", policy.port)};
    }
    hosts.push_back(hostPort(policy.address, policy.port));
    if (policy.port == 80) {
        size_t n = hosts.size();
        for (size_t i = 0; i < n; ++i) hosts.push_back(hosts[i].substr(0, hosts[i].rfind(':')));
    }
    return hosts;
}

Verdict checkHost(const AccessPolicy& policy, const HttpRequest& request) {
    std::string host = lower(request.header("host"));
    if (host.empty()) return {400, "no Host header"};
    for (const std::string& allowed : allowedHosts(policy)) {
        if (allowed.empty() || host == allowed) return {};
    }
    return {403, "the Host \"" + host + "\" is not this station's address"};
}

Verdict checkOrigin(const AccessPolicy& policy, const HttpRequest& request) {
    (void)policy;
    if (!request.hasHeader("origin")) {
        return {403, "no Origin: requests that change anything must name the station's origin"};
    }
    std::string origin = lower(request.header("origin"));
    std::string own = "http://" + lower(request.header("host"));
    if (origin != own) return {403, "foreign Origin \"" + origin + "\" refused"};
    return {};
}

Verdict checkToken(const AccessPolicy& policy, const HttpRequest& request) {
    if (policy.loopback) return {};
    std::string given = cookieValue(request.header("cookie"), kTokenCookie);
    std::string auth = request.header("authorization");
    if (given.empty() && auth.rfind("Bearer ", 0) == 0) given = auth.substr(7);
    if (given.empty()) {
        return {401, "a token is required: open the address the station printed at start"};
    }
    if (!sameSecret(given, policy.token)) return {401, "wrong token"};
    return {};
}

Verdict checkAccess(const AccessPolicy& policy, const HttpRequest& request, bool changes) {
    Verdict v = checkHost(policy, request);
    if (v.ok()) v = checkToken(policy, request);
    if (v.ok() && changes) v = checkOrigin(policy, request);
    return v;
}

bool tokenInQuery(const AccessPolicy& policy, const HttpRequest& request) {
    if (policy.loopback) return false;
    std::string given = queryValue(request.query, "token");
    return !given.empty() && sameSecret(given, policy.token);
}

std::string tokenCookie(const AccessPolicy& policy) {
    return std::string(kTokenCookie) + "=" + policy.token + "; Path=/; HttpOnly; SameSite=Strict";
}

std::string queryValue(const std::string& query, const std::string& name) {
    size_t pos = 0;
    while (pos <= query.size()) {
        size_t end = query.find('&', pos);
        if (end == std::string::npos) end = query.size();
        std::string pair = query.substr(pos, end - pos);
        size_t eq = pair.find('=');
        if (percentDecode(pair.substr(0, eq)) == name) {
            return eq == std::string::npos ? "" : percentDecode(pair.substr(eq + 1));
        }
        pos = end + 1;
    }
    return "";
}

bool sameSecret(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return false;
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned>(static_cast<unsigned char>(a[i]) ^
                                      static_cast<unsigned char>(b[i % b.size()]));
    }
    return diff == 0;
}

}  // namespace telvo::station
