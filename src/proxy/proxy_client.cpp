#include "proxy/proxy_client.h"

#include <strings.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "config/address.h"
#include "log/log.h"
#include "platform/net.h"
#include "proxy/base64.h"
#include "proxy/proxy_response.h"

namespace proxy {

namespace {

constexpr char kModule[] = "httpsproxy";
// Rounds of one exchange: an NTLM handshake needs three, a reconnect adds one.
constexpr int kMaxRounds = 8;
// A body larger than this is not read; the connection is dropped instead.
constexpr long long kMaxDiscard = 1 << 20;

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The exchange's diagnostics go to the log, once: the daemon's log is its standard error already,
// and a desktop user sees the log window, not a standard error.
__attribute__((format(printf, 1, 2))) void diagnose(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::string line(text);
  while (!line.empty() && line.back() == '\n') line.pop_back();
  log_event(LOG_INFO, 0x6001, kModule, __LINE__, "%s", line.c_str());
}

bool openSocket(platform::UniqueFd* slot, const ProxyTarget& target) {
  if (slot->valid()) return true;
  std::vector<platform::IpAddress> addresses;
  if (!config::reachableAddresses(target.proxyHost, &addresses)) {
    diagnose("Cannot resolve proxy %s\n", target.proxyHost.c_str());
    return false;
  }
  platform::Connected connected;
  if (const int err = platform::connectFirst(addresses, target.proxyPort, nullptr, &connected);
      err != 0) {
    if (connected.socketFailed) {
      diagnose("Error creating socket = %d\n", err);
    } else {
      diagnose("Error connecting to %s = %d\n", target.proxyHost.c_str(), err);
    }
    return false;
  }
  *slot = std::move(connected.fd);
  return true;
}

// False when the connection ended (or failed) before the header was complete.
bool readHeader(platform::UniqueFd* slot, ResponseHeaderReader* reader,
                platform::WaitBudget* budget) {
  char buffer[kMaxResponseHeader];
  for (size_t round = 0; round < kMaxResponseHeader; ++round) {
    int err = 0;
    const long n = platform::receiveOnce(slot->get(), buffer, reader->room(), false, budget, &err);
    if (n < 0 && budget->spent()) diagnose("Proxy did not answer in time\n");
    if (n <= 0) return false;
    const HeaderState state = reader->feed(buffer, static_cast<size_t>(n));
    if (state == HeaderState::kComplete) return true;
    if (state == HeaderState::kTooLarge) {
      diagnose("Proxy response header exceeds %zu bytes\n", kMaxResponseHeader);
      return false;
    }
  }
  return false;
}

// Reads and drops what is left of the body; false (connection unusable) when that fails.
bool discardBody(int fd, long long left, platform::WaitBudget* budget) {
  if (left > kMaxDiscard) return false;
  char buffer[kMaxResponseHeader];
  for (long long round = 0; left > 0 && round <= kMaxDiscard; ++round) {
    const size_t piece =
        left < static_cast<long long>(sizeof buffer) ? static_cast<size_t>(left) : sizeof buffer;
    int err = 0;
    const long n = platform::receiveOnce(fd, buffer, piece, false, budget, &err);
    if (n <= 0) return false;
    left -= n;
  }
  return left == 0;
}

// The per-call state of one exchange.
struct Exchange {
  explicit Exchange(uint32_t timeoutMs) : budget(timeoutMs) {}
  platform::WaitBudget budget;  // every wait for the proxy, all rounds together
  int status = -1;
  bool retry = false;
  bool keepAlive = false;
  std::vector<std::string> schemes;
  std::string challenge;
  AuthState auth;
  std::string early;

  bool underWay() const { return auth.sspiStarted || auth.basicSent; }
  std::string scheme() const { return schemes.empty() ? std::string() : schemes.front(); }
};

// One request and its response. False when the exchange ends.
bool runRound(Exchange* x, platform::UniqueFd* slot, const ProxyTarget& target, int round) {
  if (!openSocket(slot, target)) return false;
  std::string request = buildConnectRequest(target.host, target.port, round > 0);
  if (!addProxyAuthorization(&request, &x->auth, x->scheme(), x->challenge, target.user,
                             target.password)) {
    return false;
  }
  request += "\r\n";
  if (platform::sendAll(slot->get(), request.data(), request.size()) != 0) return false;
  ResponseHeaderReader reader(x->underWay() ? x->scheme() : std::string());
  if (!readHeader(slot, &reader, &x->budget)) {
    if (reader.response().status < 0 && reader.room() == 0) return false;  // header too large
    slot->reset();
    x->keepAlive = false;
  } else {
    const ProxyResponse& r = reader.response();
    x->status = r.status;
    if (r.status == 401 || r.status == 407) x->retry = true;
    if (r.status == 200) x->retry = false;
    x->keepAlive = r.keepAlive;
    x->challenge = r.challenge;
    if (!x->underWay()) x->schemes = r.schemes;
    x->early = r.extra;
    const long long left = r.bodyLength - static_cast<long long>(r.extra.size());
    if (r.status != 200 && r.bodyLength > 0 && left > 0 &&
        !discardBody(slot->get(), left, &x->budget)) {
      slot->reset();
    }
  }
  if (!x->underWay() && x->retry &&
      !chooseAuthScheme(&x->schemes, target.preference, &x->auth.package)) {
    x->auth.lastError = platform::kAuthAccessDenied;
    diagnose("No supported authentication method\n");
    return false;
  }
  if (!x->keepAlive && x->status != 200) {
    if (x->underWay()) {
      diagnose("Authentication rejected by server\n");
      x->retry = false;
    }
    slot->reset();
  }
  return x->retry;
}

}  // namespace

std::string buildConnectRequest(const std::string& host, uint16_t port, bool keepAlive) {
  std::string request = "CONNECT " + host + ":" + std::to_string(port) + " HTTP/1.0\r\n";
  request += "User-Agent: BKL-Reg\r\n";
  request += "Pragma: No-Cache\r\n";
  if (keepAlive) request += "Proxy-Connection: Keep-Alive\r\n";
  return request;
}

int proxyConnect(platform::UniqueFd* slot, const ProxyTarget& target, std::string* early) {
  slot->reset();
  early->clear();
  // The host goes into the request line as it is: it must not end or split that line.
  const bool clean = !target.host.empty() &&
                     std::none_of(target.host.begin(), target.host.end(),
                                  [](char c) { return static_cast<unsigned char>(c) <= ' '; });
  if (!clean) {
    diagnose("Invalid destination host for the proxy\n");
    return -1;
  }
  Exchange x(target.timeoutMs);
  x.auth.targetHost = target.proxyHost;
  x.auth.kept = target.credentials;
  for (int round = 0; round < kMaxRounds; ++round) {
    if (!runRound(&x, slot, target, round)) break;
  }
  if (x.status != 200 || !slot->valid()) {
    slot->reset();
    return x.status;
  }
  *early = std::move(x.early);
  return x.status;
}

std::string usableSchemePreference(std::string_view text, std::vector<std::string>* skipped,
                                   bool* fellBack) {
  std::string usable;
  while (true) {  // each round takes one name off the text
    const size_t comma = text.find(',');
    std::string_view name = text.substr(0, comma);
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    const bool known = equalsNoCase(name, "Negotiate") || equalsNoCase(name, "Kerberos") ||
                       equalsNoCase(name, "NTLM") || equalsNoCase(name, "Basic");
    if (known) {
      if (!usable.empty()) usable += ',';
      usable += name;
    } else if (!name.empty() && skipped != nullptr) {
      skipped->emplace_back(name);
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  if (fellBack != nullptr) *fellBack = usable.empty();
  return usable.empty() ? std::string(kSchemePreference) : usable;
}

bool chooseAuthScheme(std::vector<std::string>* offered, std::string_view preference,
                      std::string* package) {
  std::erase_if(*offered, [](const std::string& name) {
    return !equalsNoCase(name, "Basic") && !platform::securityPackageInstalled(name);
  });
  if (package != nullptr) package->clear();
  const auto choose = [&](std::string_view name) {
    const auto found = std::find_if(offered->begin(), offered->end(),
                                    [&](const std::string& o) { return equalsNoCase(o, name); });
    if (found == offered->end()) return false;
    std::rotate(offered->begin(), found, found + 1);
    return true;
  };
  while (!preference.empty()) {
    const size_t comma = preference.find(',');
    const std::string_view wanted = preference.substr(0, comma);
    if (choose(wanted)) return true;
    // HTTP carries Kerberos as "Negotiate"; a proxy seldom offers "Kerberos" by that name.
    if (equalsNoCase(wanted, "Kerberos") && platform::securityPackageInstalled("Kerberos") &&
        choose("Negotiate")) {
      if (package != nullptr) *package = "Kerberos";
      return true;
    }
    if (comma == std::string_view::npos) break;
    preference.remove_prefix(comma + 1);
  }
  return false;
}

bool addProxyAuthorization(std::string* request, AuthState* state, std::string_view scheme,
                           std::string_view challenge, const std::string& user,
                           const std::string& password) {
  if (scheme.empty()) return true;
  if (equalsNoCase(scheme, "Basic")) {
    // Basic names a user; without one there is nothing to send.
    if (state->basicSent || user.empty()) {
      state->lastError = platform::kAuthAccessDenied;
      return false;
    }
    *request += "Proxy-Authorization: Basic " + base64Encode(user + ":" + password) + "\r\n";
    state->basicSent = true;
    return true;
  }
  if (state->sspiStarted && challenge.empty()) {
    state->lastError = platform::kAuthAccessDenied;
    return false;
  }
  state->sspiStarted = true;
  std::string token;
  bool more = false;
  const std::string_view package = state->package.empty() ? scheme : state->package;
  if (const int err = sspiStep(state, package, challenge, user, password, &token, &more);
      err != 0) {
    state->lastError = err;
    return false;
  }
  *request += "Proxy-Authorization: " + std::string(scheme) + " " + token + "\r\n";
  return true;
}

bool splitUserName(const std::string& name, std::string* domain, std::string* user) {
  const size_t sep = name.find_first_of("\\/");
  if (sep == std::string::npos) {
    *domain = platform::computerName();
    *user = name;
    return true;
  }
  *domain = name.substr(0, sep);
  *user = name.substr(sep + 1);
  return !user->empty() && (*user)[0] != '\\' && (*user)[0] != '/';
}

int sspiStep(AuthState* state, std::string_view package, std::string_view challenge,
             const std::string& user, const std::string& password, std::string* token, bool* more) {
  std::vector<uint8_t> input;
  if (!challenge.empty()) {
    input = base64Decode(challenge);
    if (input.empty()) {
      diagnose("The proxy's %.*s challenge is not Base64\n", static_cast<int>(package.size()),
               package.data());
      return platform::kAuthInvalidParameter;
    }
  }
  std::string detail;
  if (!state->security) {
    state->security = std::make_unique<platform::SecurityContext>();
    platform::SecurityIdentity identity;
    const bool given = !user.empty() || !password.empty();
    if (given && !splitUserName(user, &identity.domain, &identity.user)) {
      return platform::kAuthInvalidParameter;
    }
    // Kerberos and Negotiate find the realm themselves.
    if (given && !equalsNoCase(package, "NTLM") && user.find_first_of("\\/") == std::string::npos) {
      identity.domain.clear();
    }
    identity.password = password;
    platform::IpAddress address;
    if (!equalsNoCase(package, "NTLM") && config::literalAddress(state->targetHost, &address)) {
      diagnose(
          "Kerberos needs the proxy's host name: <%s> is an address; name the proxy by its "
          "host in the rule\n",
          state->targetHost.c_str());
    }
    if (const int err =
            state->security->acquire(package, given ? &identity : nullptr, &detail, state->kept);
        err != 0) {
      diagnose("Cannot acquire %.*s credentials: %s\n", static_cast<int>(package.size()),
               package.data(), detail.c_str());
      return err;
    }
  }
  std::vector<uint8_t> output;
  if (const int err = state->security->step(state->targetHost, input, &output, more, &detail);
      err != 0) {
    diagnose("%.*s step failed: %s\n", static_cast<int>(package.size()), package.data(),
             detail.c_str());
    return err;
  }
  *token = base64Encode(output.data(), output.size());
  return 0;
}

}  // namespace proxy
