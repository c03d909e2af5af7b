// Who may use the live view.
#include "access.h"

#include <cstdio>
#include <random>

namespace trelvo_serve {

bool parseListen(std::string_view text, ListenAddress& out, std::string& error) {
    out = ListenAddress{};
    std::string_view host, port;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "expected [IPv6]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string_view::npos || text.find(':') != colon) {
            error = "expected ADDRESS:PORT (IPv6 in brackets)";
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty() || port.empty() || port.size() > 5) {
        error = "expected ADDRESS:PORT";
        return false;
    }
    int number = 0;
    for (const char c : port) {
        if (c < '0' || c > '9') {
            error = "the port must be a number";
            return false;
        }
        number = number * 10 + (c - '0');
    }
    if (number > 65535) {
        error = "the port must be 0 to 65535";
        return false;
    }
    for (const char c : host) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                        (c >= 'A' && c <= 'Z') || c == '.' || c == ':' || c == '-';
        if (!ok) {
            error = "the address has a character that cannot be in one";
            return false;
        }
    }
    out.host = std::string(host);
    out.port = number;
    const bool v6 = out.host.find(':') != std::string::npos;
    out.loopback = out.host == "localhost" || out.host == "::1" || out.host.rfind("127.", 0) == 0;
    // civetweb listens on one numeric address; "localhost" means 127.0.0.1.
    const std::string numeric = out.host == "localhost" ? "127.0.0.1" : out.host;
    out.civetwebPorts = (v6 ? "[" + numeric + "]" : numeric) + ":" + std::to_string(number);
    return true;
}

bool tokenMatches(std::string_view given, std::string_view expected) {
    unsigned diff = given.size() == expected.size() ? 0u : 1u;
    for (size_t i = 0; i < expected.size(); ++i)
        diff |= static_cast<unsigned>(static_cast<unsigned char>(i < given.size() ? given[i] : 0) ^
                                      static_cast<unsigned char>(expected[i]));
    return diff == 0 && !expected.empty();
}

std::string generateToken() {
    std::random_device source;
    std::string token;
    char hex[9];
    for (int i = 0; i < 4; ++i) {
        std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(source()));
        token += hex;
    }
    return token;
}

bool hostAllowed(std::string_view hostHeader, const ListenAddress& listen, int actualPort) {
    if (!listen.loopback) return true;  // the token guards other addresses
    const std::string port = ":" + std::to_string(actualPort);
    for (const char* name : {"127.0.0.1", "localhost", "[::1]"})
        if (hostHeader == std::string(name) + port) return true;
    if (!listen.host.empty() && listen.host.find(':') == std::string::npos &&
        hostHeader == listen.host + port)
        return true;
    return false;
}

bool originAllowed(const char* origin, std::string_view hostHeader) {
    if (!origin) return true;
    return std::string_view(origin) == "http://" + std::string(hostHeader);
}

}  // namespace trelvo_serve
