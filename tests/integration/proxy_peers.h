// Real proxy peers for the proxy tests, each a child process on 127.0.0.1 with its configuration
// and logs in a folder of its own: squid as upstream HTTP proxy (open, Basic or NTLM), dante as
// SOCKS server, python's HTTP server as destination.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "harness.h"

namespace itest {

// kNegotiate offers Negotiate (Kerberos, checked with dir/http.keytab) and Basic.
enum class SquidAuth { kNone, kBasic, kNtlm, kNegotiate };

// squid in the foreground; Basic accepts user "alice" with password "secret". `env` joins squid's
// environment and so its helpers'.
Process startSquid(const std::string& dir, uint16_t port, SquidAuth auth,
                   const std::map<std::string, std::string>& env = {});

// An MIT key distribution center for the realm BKL.TEST on 127.0.0.1 (krb5kdc in the foreground)
// with a database of its own in `dir`: the principals alice (password "secret", pre-authentication
// required as a directory domain does) and HTTP/localhost, whose key is written to `keytab`.
class Kdc {
 public:
  Kdc(const std::string& dir, const std::string& keytab);
  bool ready() const { return ready_; }
  // The variables that point a Kerberos client (or squid's helper) at this realm.
  std::map<std::string, std::string> env() const { return {{"KRB5_CONFIG", dir_ + "/krb5.conf"}}; }
  // Puts alice's ticket into the cache file; true on success.
  bool kinit(const std::string& cache) const;

 private:
  std::string dir_;
  uint16_t port_ = 0;
  Process process_;
  bool ready_ = false;
};

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
