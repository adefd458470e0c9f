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

void writeFile(const std::string& path, const std::string& text);

}  // namespace itest
