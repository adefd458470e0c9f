// Real proxy peers for the proxy tests, each a child process on 127.0.0.1 with its configuration
// and logs in a folder of its own: squid as upstream HTTP proxy (open, Basic or NTLM), dante as
// SOCKS server, python's HTTP server as destination.
#pragma once

#include <cstdint>
#include <string>

#include "harness.h"

namespace itest {

enum class SquidAuth { kNone, kBasic, kNtlm };

// squid in the foreground; Basic accepts user "alice" with password "secret".
Process startSquid(const std::string& dir, uint16_t port, SquidAuth auth);
// danted in the foreground, SOCKS for 127.0.0.0/8; logs connections to dir/danted.log.
Process startDante(const std::string& dir, uint16_t port);
// Serves the files of `dir` over HTTP on address:port.
Process startHttpServer(const std::string& dir, const std::string& address, uint16_t port);

// Answers every request (whatever its request line, absolute URLs included) with `body`.
Process startHttpResponder(const std::string& dir, uint16_t port, const std::string& body);
// Python's HTTP server with keep-alive connections (HTTP/1.1), answering every request with
// `body` whatever its request line names; logs each request line to dir/keepalive-<port>.log.
Process startKeepAliveResponder(const std::string& dir, uint16_t port, const std::string& body);

void writeFile(const std::string& path, const std::string& text);

// What a browser is answered when the upstream proxy refused the relay's credentials.
inline constexpr char kUnauthorizedPage[] =
    "HTTP/1.0 401 Unauthorized to use proxy\r\nContent-type: text/html\r\n\r\n"
    "<HTML>Not allowed to use proxy.</HTML>\r\n";

// A browser's tunnel request to 127.0.0.1:443 through the front end on `port`; returns what came
// back before the relay closed (at most 200 bytes, within 20 s).
std::string askForTunnel(uint16_t port);

}  // namespace itest
