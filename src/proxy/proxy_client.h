// The client side of an upstream HTTP proxy that may demand authentication: asks for a tunnel
// with an HTTP/1.0 CONNECT request and answers Basic challenges, or those of a security package
// (NTLM, Kerberos, Negotiate: the host's GSSAPI mechanisms, platform/gss_auth.h).
//
// Every piece of an exchange's state (the scheme list, the challenge, the security context) lives
// in the call of `proxyConnect`, so exchanges may run at once on any number of connection threads.
// Diagnostics go to the log (LOG_INFO).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "platform/gss_auth.h"
#include "platform/unique_fd.h"

namespace proxy {

// The schemes the relay prefers, in order, unless "proxy.auth.preference" names others.
constexpr const char* kSchemePreference = config::kDefaultAuthPreference;

// The usable part of a preference text ("Negotiate,NTLM,BASIC"): the names of known schemes
// (Negotiate, Kerberos, NTLM, Basic, any case, spaces around them ignored) in their order, joined
// by ",". The names it drops go to *skipped when given. Nothing usable: kSchemePreference, and
// *fellBack (when given) says so.
std::string usableSchemePreference(std::string_view text,
                                   std::vector<std::string>* skipped = nullptr,
                                   bool* fellBack = nullptr);

struct ProxyTarget {
  std::string proxyHost;        // dotted quad or host name; also names the service HTTP@<host>
  uint16_t proxyPort = 0;       // network byte order
  std::string host;             // the destination as the proxy is to reach it
  uint16_t port = 0;            // host byte order
  std::string user;             // empty: none; "DOMAIN\user" or "DOMAIN/user" for NTLM
  std::string password;         // empty: none
  uint32_t timeoutMs = 120000;  // the waits for the proxy in all; 0: no limit
  std::string preference = kSchemePreference;        // as usableSchemePreference gives it
  platform::KeptCredentials* credentials = nullptr;  // the relay's, for reuse; may be null
};

// What has been tried so far in one exchange.
struct AuthState {
  // The security package that answers the chosen scheme when it is not the scheme's own name:
  // "Kerberos" answering a "Negotiate" offer.
  std::string package;
  platform::KeptCredentials* kept = nullptr;  // where acquired credentials are kept, if anywhere
  bool sspiStarted = false;
  bool basicSent = false;
  std::unique_ptr<platform::SecurityContext> security;
  std::string targetHost;  // the proxy's host, for the service name
  int lastError = 0;       // set when a step fails
};

// Runs the exchange. The slot is emptied first and holds the tunnel (or nothing) at the end.
// Returns the last HTTP status, -1 when no status line was read. Bytes the proxy sent after a
// 200 header (the destination's first bytes) are left in *early.
int proxyConnect(platform::UniqueFd* slot, const ProxyTarget& target, std::string* early);

// Keeps the offered names that are "Basic" or an installed security package, in order, then moves
// the first of the preference list ("A,B") that is among them to the front. False: none fits.
// "Kerberos" in the list also takes a "Negotiate" offer, answered by the Kerberos package alone
// (no NTLM inside it); *package then says "Kerberos", and is empty otherwise.
bool chooseAuthScheme(std::vector<std::string>* offered, std::string_view preference,
                      std::string* package = nullptr);

// Appends the "Proxy-Authorization" line for the scheme (nothing when the scheme is empty).
// False with state->lastError set when no line can be made.
bool addProxyAuthorization(std::string* request, AuthState* state, std::string_view scheme,
                           std::string_view challenge, const std::string& user,
                           const std::string& password);

// One step of a security package: decodes the challenge (empty on the first step), returns the
// Base64 token and whether another round follows. 0 or an error number.
int sspiStep(AuthState* state, std::string_view package, std::string_view challenge,
             const std::string& user, const std::string& password, std::string* token, bool* more);

// Splits "DOMAIN\user" or "DOMAIN/user"; a bare name takes the computer name as its domain.
// (Kerberos and Negotiate read the domain as the realm: "corp\alice" is alice@CORP, and a bare
// name, or "alice@REALM", is left to the Kerberos library's default realm or its own.)
// False for an empty user part or one that begins with another separator.
bool splitUserName(const std::string& name, std::string* domain, std::string* user);

// The request of one round.
std::string buildConnectRequest(const std::string& host, uint16_t port, bool keepAlive);

}  // namespace proxy
