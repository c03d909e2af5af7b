// Who may use the live view: the listening address, the token and the
// checks on the Host and Origin headers. Pure functions, no I/O.
#pragma once

#include <string>
#include <string_view>

namespace trelvo_serve {

struct ListenAddress {
    std::string host;  // as written, brackets removed for IPv6
    int port = 0;
    bool loopback = false;      // 127.0.0.0/8, ::1 or localhost
    std::string civetwebPorts;  // the listening_ports option for this address
};

// Parses ADDR:PORT ("127.0.0.1:8640", "[::1]:8640", "0.0.0.0:80",
// "localhost:8640"); port 0 lets the system choose. False with a reason.
bool parseListen(std::string_view text, ListenAddress& out, std::string& error);

// Compares in time independent of where the texts differ.
bool tokenMatches(std::string_view given, std::string_view expected);

// A fresh random token (32 hex digits from the system's random source).
std::string generateToken();

// On a loopback address the Host header must name the loopback address the
// server listens on (stops another site's page from reaching it through a
// name that resolves to 127.0.0.1).
bool hostAllowed(std::string_view hostHeader, const ListenAddress& listen, int actualPort);

// A browser's WebSocket Origin must be the page's own: http://<Host>. An
// absent Origin (a program, not a browser) passes.
bool originAllowed(const char* origin, std::string_view hostHeader);

}  // namespace trelvo_serve
