#include "proxy/http_front_end.h"

#include <string_view>

#include "config/address.h"
#include "config/settings.h"
#include "log/log.h"
#include "platform/net.h"
#include "proxy/http_request.h"
#include "proxy/proxy_client.h"
#include "proxy/proxy_response.h"

namespace proxy {

using config::ccRule;
using config::formatAddress;
using config::parseAddress;
using config::parsePort;

const char kDirectConnectReply[] = "HTTP/1.0 200 OK\n\n";
const char kProxyConnectReply[] = "HTTP/1.1 200 OK\r\nProxy-Connection: Keep-Alive\r\n\r\n";
const char kProxyUnauthorizedPage[] =
    "HTTP/1.0 401 Unauthorized to use proxy\r\nContent-type: text/html\r\n\r\n<HTML>Not allowed "
    "to use proxy.</HTML>\r\n";

namespace {

constexpr char kModule[] = "httpsproxy";
constexpr uint32_t kRequestTimeoutMs = 120000;
// What of a refusing proxy's answer is passed on to the browser.
constexpr size_t kMaxPassedBody = 64 * 1024;

#define FE_LOG(...) log_event(LOG_INFO, 0x6001, kModule, __LINE__, __VA_ARGS__)

struct Destination {
  RequestTarget target;
  uint32_t address = 0;
  uint16_t port = 0;  // network byte order
};

// A port in network byte order as a number, whatever the host's byte order.
int hostPort(uint16_t port) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&port);
  return bytes[0] << 8 | bytes[1];
}

bool usable(uint32_t address) { return address != 0 && address != 0xFFFFFFFFu; }

void resolve(Destination* d) {
  d->address = parseAddress(d->target.host);
  d->port = parsePort(d->target.port);
}

int connectWithTimeout(const config::Settings& s, int fd, uint32_t address, uint16_t port) {
  const int err = platform::connectTo(fd, address, port);
  if (err == 0 && s.tcpTimeout != 0) platform::setReceiveTimeout(fd, kRequestTimeoutMs);
  return err;
}

// Returns 0 for a CONNECT (or a request too short to tell), 1 for an absolute URL (with the
// destination), -1 when nothing came or the URL is not understood.
int peekProxyRequest(const config::Settings& s, int fd, Destination* d) {
  std::string buffer(kBrowserRequestSize, '\0');
  int err = 0;
  const long n = platform::receiveOnce(fd, buffer.data(), buffer.size(), true, &err);
  if (n <= 0) {
    FE_LOG("Error: No connect string sent from browser (Error <%d>: %s).", err,
           socket_error_text(err));
    return -1;
  }
  buffer.resize(static_cast<size_t>(n));
  if (s.verbose != 0) FE_LOG("Peeked from browser: (%ld) '%s'", n, buffer.c_str());
  if (looksLikeConnect(buffer)) return 0;
  return parseUrlRequest(buffer, &d->target) ? 1 : -1;
}

// Reads and parses the browser's CONNECT request; `label` starts the verbose line.
bool readConnectRequest(const config::Settings& s, int fd, const char* label, std::string* request,
                        Destination* d) {
  int err = 0;
  if (!receiveBrowserRequest(fd, request, &err)) {
    if (request->size() >= kBrowserRequestSize) {
      FE_LOG("Error: Browser request exceeds %zu bytes.", kBrowserRequestSize);
    } else {
      FE_LOG("Error: No connect string sent from browser (Error <%d>: %s).", err,
             socket_error_text(err));
    }
    return false;
  }
  if (s.verbose != 0) FE_LOG("%s: (%zu) '%s'", label, request->size(), request->c_str());
  if (!parseConnectRequest(*request, &d->target)) {
    FE_LOG("Error: Could not parse connect string.");
    return false;
  }
  resolve(d);
  return true;
}

bool replyToBrowser(const config::Settings& s, int fd, std::string_view reply,
                    const char* failure) {
  const int err = platform::sendAll(fd, reply.data(), reply.size());
  if (err != 0) {
    FE_LOG(failure, err, socket_error_text(err));
    return false;
  }
  if (s.verbose != 0) {
    FE_LOG("Sent browser: (%zu) '%.*s'", reply.size(), static_cast<int>(reply.size()),
           reply.data());
  }
  return true;
}

// The browser gets its 200 only once the destination is connected.
int acceptConnectDirect(const config::Settings& s, int browser, int outgoing, Destination* d) {
  std::string request;
  if (!readConnectRequest(s, browser, "Received from browser", &request, d)) return -1;
  char dest[16];
  formatAddress(d->address, dest);
  if (!usable(d->address) || d->port == 0) {
    FE_LOG("Couldn't resolve %s:%s", d->target.host.c_str(), d->target.port.c_str());
    return -1;
  }
  if (const int err = connectWithTimeout(s, outgoing, d->address, d->port); err != 0) {
    FE_LOG("Couldn't connect to %s:%d : %s", dest, hostPort(d->port), socket_error_text(err));
    return err;
  }
  if (!replyToBrowser(s, browser, kDirectConnectReply,
                      "Error: Could not reply OK back to browser (Error <%d>: %s).")) {
    return -1;
  }
  return 0;
}

// The relay asks the proxy for the tunnel itself and answers its challenges (proxy_client.h).
int connectViaProxyAuthenticated(const config::Settings& s, int browser,
                                 platform::UniqueFd* outgoing, const ccRule& rule, Destination* d) {
  std::string request;
  if (!readConnectRequest(s, browser, "Received", &request, d)) return -1;
  ProxyTarget target;
  target.proxyHost = rule.httpsProxyServer;
  target.proxyPort = parsePort(rule.httpsProxyPort);
  target.host = d->target.host;
  target.port = static_cast<uint16_t>(hostPort(parsePort(d->target.port)));
  target.user = rule.httpsProxyUser;
  target.password = rule.httpsProxyUserPass;
  std::string early;
  const int status = proxyConnect(outgoing, target, &early);
  std::string reply;
  if (status == 407) {
    FE_LOG("Error: You don't have the rights to use the proxy server.");
    FE_LOG(
        "Error: Please check that your proxy server and, if used, the proxy password is "
        "correct.");
    reply = kProxyUnauthorizedPage;
  } else if (status == 200) {
    reply = kProxyConnectReply;
    reply += early;  // the destination may speak first
  } else {
    FE_LOG("Error: Error when connection to the proxy server.");
    return status == 0 ? -1 : status;
  }
  if (!replyToBrowser(s, browser, reply,
                      "Error: Could not send OK reply to browser (Error <%d>: %s).")) {
    return -1;
  }
  if (status == 200 && s.tcpTimeout != 0) {
    platform::setReceiveTimeout(outgoing->get(), kRequestTimeoutMs);
  }
  return status == 200 ? 0 : status;
}

// Passes a refusing proxy's answer (its header and up to 64 KiB of body) on to the browser.
void passRefusal(int browser, int proxy, const ProxyResponse& r) {
  std::string answer = r.header + r.extra;
  const size_t wanted =
      r.bodyLength >= 0 ? r.header.size() + static_cast<size_t>(r.bodyLength) : answer.size();
  char buffer[8192];
  for (int round = 0; answer.size() < wanted && answer.size() < kMaxPassedBody && round < 64;
       ++round) {
    int err = 0;
    const long n = platform::receiveOnce(proxy, buffer, sizeof buffer, false, &err);
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  if (answer.size() > kMaxPassedBody) answer.resize(kMaxPassedBody);
  platform::sendAll(browser, answer.data(), answer.size());
}

// The browser's own CONNECT goes to the proxy unchanged (its credentials included) and the
// proxy's answer goes back to the browser; a 200 opens the tunnel.
int connectViaProxyPlain(const config::Settings& s, int browser, int outgoing, uint32_t proxy,
                         uint16_t proxyPort, Destination* d) {
  if (const int err = connectWithTimeout(s, outgoing, proxy, proxyPort); err != 0) return err;
  platform::setReceiveTimeout(outgoing, kRequestTimeoutMs);
  std::string request;
  if (!readConnectRequest(s, browser, "Received", &request, d)) return -1;
  if (int err = platform::sendAll(outgoing, request.data(), request.size()); err != 0) return err;
  ResponseHeaderReader reader("");
  char buffer[kMaxResponseHeader];
  HeaderState state = HeaderState::kNeedMore;
  for (size_t round = 0; state == HeaderState::kNeedMore && round < kMaxResponseHeader; ++round) {
    int err = 0;
    const long n = platform::receiveOnce(outgoing, buffer, reader.room(), false, &err);
    if (n <= 0) return err != 0 ? err : -1;
    state = reader.feed(buffer, static_cast<size_t>(n));
  }
  if (state != HeaderState::kComplete) {
    FE_LOG("Error: Proxy response header exceeds %zu bytes.", kMaxResponseHeader);
    return -1;
  }
  const ProxyResponse& r = reader.response();
  if (r.status != 200) {
    FE_LOG("Proxy refused the tunnel to %s:%s with status %d", d->target.host.c_str(),
           d->target.port.c_str(), r.status);
    passRefusal(browser, outgoing, r);
    return r.status > 0 ? r.status : -1;
  }
  const std::string answer = r.header + r.extra;
  if (!replyToBrowser(s, browser, answer,
                      "Error: Could not send OK reply to browser (Error <%d>: %s).")) {
    return -1;
  }
  platform::setReceiveTimeout(outgoing, s.tcpTimeout != 0 ? kRequestTimeoutMs : 0);
  return 0;
}

// A plain HTTP request stays in the browser's socket and is relayed unchanged.
int connectPlainRequest(const config::Settings& s, const FrontEndClient& client, int outgoing,
                        Destination* d) {
  resolve(d);
  platform::setLingerOff(client.fd);
  platform::setLingerOff(outgoing);
  platform::setRelayOptions(client.fd, 1, 0, 0);
  platform::setRelayOptions(outgoing, 1, 0, 0);
  const ccRule& rule = *client.rule;
  uint32_t address = d->address;
  uint16_t port = d->port;
  if (rule.httpsProxyEnable != 0) {
    address = parseAddress(rule.httpsProxyServer);
    port = parsePort(rule.httpsProxyPort);
  }
  if (!usable(address) || port == 0) {
    FE_LOG("Couldn't resolve %s:%s", d->target.host.c_str(), d->target.port.c_str());
    return kFrontEndRequestFailed;
  }
  if (const int err = connectWithTimeout(s, outgoing, address, port); err != 0) {
    char text[16];
    formatAddress(address, text);
    FE_LOG("Couldn't connect to %s:%d : %s", text, hostPort(port), socket_error_text(err));
    return kFrontEndRequestFailed;
  }
  return 0;
}

}  // namespace

bool receiveBrowserRequest(int fd, std::string* request, int* error) {
  request->clear();
  std::string buffer(kBrowserRequestSize, '\0');
  for (size_t round = 0; round < kBrowserRequestSize; ++round) {
    const size_t room = kBrowserRequestSize - request->size();
    if (room == 0) return false;
    const long n = platform::receiveOnce(fd, buffer.data(), room, true, error);
    if (n <= 0) return false;
    const std::string_view peeked(buffer.data(), static_cast<size_t>(n));
    // Look for the empty line across what was read before and what is waiting now.
    const size_t from = request->size() >= 3 ? request->size() - 3 : 0;
    const std::string joined = request->substr(from) + std::string(peeked);
    size_t take = peeked.size();
    bool done = false;
    for (const std::string_view end : {std::string_view("\r\n\r\n"), std::string_view("\n\n")}) {
      const size_t at = joined.find(end);
      if (at == std::string::npos) continue;
      const size_t upTo = from + at + end.size() - request->size();
      if (!done || upTo < take) take = upTo;
      done = true;
    }
    const long got = platform::receiveOnce(fd, buffer.data(), take, false, error);
    if (got != static_cast<long>(take)) return false;
    request->append(buffer.data(), take);
    if (done) return true;
  }
  return false;
}

int frontEndConnect(const FrontEndClient& client, platform::UniqueFd* outgoing,
                    uint32_t* destAddress, uint16_t* destPort, std::string* destHost,
                    uint32_t* mode) {
  const config::Settings& s = *client.settings;
  int err = 0;
  *outgoing = platform::tcpSocket(&err);
  if (!outgoing->valid()) {
    FE_LOG("Couldn't create socket for %s:%d %s", "0.0.0.0", 0, socket_error_text(err));
    return kFrontEndNoSocket;
  }
  platform::setRelayOptions(outgoing->get(), s.tcpNodelay, s.tcpLinger, s.tcpLingerTime);
  // A browser that never sends its request must not hold the thread forever.
  platform::setReceiveTimeout(client.fd, kRequestTimeoutMs);
  const ccRule& rule = *client.rule;
  Destination d;
  const int kind = peekProxyRequest(s, client.fd, &d);
  int rc = 0;
  if (kind == 1) {
    *mode = 0;
    rc = connectPlainRequest(s, client, outgoing->get(), &d);
  } else if (rule.httpsProxyEnable == 0) {
    rc = acceptConnectDirect(s, client.fd, outgoing->get(), &d) == 0 ? 0 : kFrontEndRequestFailed;
  } else {
    const uint32_t proxy = parseAddress(rule.httpsProxyServer);
    const uint16_t proxyPort = parsePort(rule.httpsProxyPort);
    err = rule.httpsProxyUseNtlm != 0
              ? connectViaProxyAuthenticated(s, client.fd, outgoing, rule, &d)
              : connectViaProxyPlain(s, client.fd, outgoing->get(), proxy, proxyPort, &d);
    if (err != 0) {
      char text[16];
      formatAddress(proxy, text);
      FE_LOG("Couldn't connect to proxy %s:%d : %s", text, hostPort(proxyPort),
             socket_error_text(err >= 10000 ? err : 0));
      rc = kFrontEndProxyFailed;
    }
  }
  platform::setReceiveTimeout(client.fd, 0);
  *destAddress = d.address;
  *destPort = d.port;
  *destHost = d.target.host;
  return rc;
}

}  // namespace proxy
