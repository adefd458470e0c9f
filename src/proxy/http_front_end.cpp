#include "proxy/http_front_end.h"

#include <string_view>

#include "config/address.h"
#include "log/log.h"
#include "proxy/http_request.h"
#include "proxy/proxy_client.h"
#include "proxy/proxy_response.h"

namespace proxy {

using config::parsePort;

const char kDirectConnectReply[] = "HTTP/1.0 200 OK\n\n";
const char kProxyConnectReply[] = "HTTP/1.1 200 OK\r\nProxy-Connection: Keep-Alive\r\n\r\n";
const char kProxyUnauthorizedPage[] =
    "HTTP/1.0 401 Unauthorized to use proxy\r\nContent-type: text/html\r\n\r\n<HTML>Not allowed "
    "to use proxy.</HTML>\r\n";
const char kBadRequestReply[] =
    "HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const char kTimeoutReply[] =
    "HTTP/1.0 408 Request Timeout\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const char kHeaderTooLargeReply[] =
    "HTTP/1.0 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: "
    "close\r\n\r\n";
const char kBadGatewayReply[] =
    "HTTP/1.0 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

void sendErrorReply(int fd, const char* reply) {
  platform::sendAll(fd, reply, std::char_traits<char>::length(reply));
}

namespace {

constexpr char kModule[] = "httpsproxy";
// What of a refusing proxy's answer is passed on to the browser.
constexpr size_t kMaxPassedBody = 64 * 1024;
constexpr int kHostNotFound = 11001;  // Winsock "Host not found."

#define FE_LOG(...) log_event(LOG_INFO, 0x6001, kModule, __LINE__, __VA_ARGS__)

struct Destination {
  RequestTarget target;
  std::vector<platform::IpAddress> addresses;  // where the target may be reached, in order
  platform::IpAddress address;                 // the one reached
  uint16_t port = 0;                           // network byte order
};

// A port in network byte order as a number, whatever the host's byte order.
int hostPort(uint16_t port) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&port);
  return bytes[0] << 8 | bytes[1];
}

void resolve(Destination* d) {
  config::reachableAddresses(d->target.host, &d->addresses);
  d->port = parsePort(d->target.port);
}

// Connects the outgoing socket with the settings' options. 0, or the error, logged when no
// socket could be made.
int connectOutgoing(const config::Settings& s, const std::vector<platform::IpAddress>& addresses,
                    uint16_t port, platform::UniqueFd* outgoing, platform::IpAddress* reached,
                    bool* noSocket) {
  platform::Connected connected;
  const int err = platform::connectFirst(
      addresses, port,
      [&s](int fd) { platform::setRelayOptions(fd, s.tcpNodelay, s.tcpLinger, s.tcpLingerTime); },
      &connected);
  *outgoing = std::move(connected.fd);
  if (err == 0 && reached != nullptr) *reached = connected.address;
  *noSocket = err != 0 && connected.socketFailed;
  return err;
}

void logHeader(const config::Settings& s, const char* label, const std::string& header) {
  if (s.verbose == 0) return;
  const std::string shown = headerForLog(header);
  FE_LOG("%s: (%zu) '%s'", label, header.size(), shown.c_str());
}

bool replyToBrowser(const config::Settings& s, int fd, std::string_view reply,
                    const char* failure) {
  const int err = platform::sendAll(fd, reply.data(), reply.size());
  if (err != 0) {
    FE_LOG(failure, err, socket_error_text(err));
    return false;
  }
  if (s.verbose != 0) {
    const std::string shown = headerForLog(reply);
    FE_LOG("Sent browser: (%zu) '%s'", reply.size(), shown.c_str());
  }
  return true;
}

// The browser gets its 200 only once the destination is connected.
int acceptConnectDirect(const config::Settings& s, int browser, platform::UniqueFd* outgoing,
                        Destination* d, bool* noSocket) {
  if (d->addresses.empty() || d->port == 0) {
    FE_LOG("Couldn't resolve %s:%s", d->target.host.c_str(), d->target.port.c_str());
    sendErrorReply(browser, kBadGatewayReply);
    return -1;
  }
  if (const int err = connectOutgoing(s, d->addresses, d->port, outgoing, &d->address, noSocket);
      err != 0) {
    if (*noSocket) {
      FE_LOG("Couldn't create socket for %s:%d %s", d->target.host.c_str(), hostPort(d->port),
             socket_error_text(err));
    } else {
      FE_LOG("Couldn't connect to %s : %s",
             platform::endpointText(d->addresses.front(), hostPort(d->port), ':').text,
             socket_error_text(err));
    }
    sendErrorReply(browser, kBadGatewayReply);
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
                                 platform::UniqueFd* outgoing, const config::ccRule& rule,
                                 Destination* d, platform::KeptCredentials* credentials) {
  ProxyTarget target;
  target.proxyHost = rule.httpsProxyServer;
  target.proxyPort = parsePort(rule.httpsProxyPort);
  target.host = d->target.host;
  target.port = static_cast<uint16_t>(hostPort(parsePort(d->target.port)));
  target.user = rule.httpsProxyUser;
  target.password = rule.httpsProxyUserPass;
  target.timeoutMs = config::requestTimeoutMs(s);
  target.preference = usableSchemePreference(s.proxyAuthPreference.get());
  target.credentials = credentials;
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
    sendErrorReply(browser, kBadGatewayReply);
    return status == 0 ? -1 : status;
  }
  if (!replyToBrowser(s, browser, reply,
                      "Error: Could not send OK reply to browser (Error <%d>: %s).")) {
    return -1;
  }
  return status == 200 ? 0 : status;
}

// Passes a refusing proxy's answer (its header and up to 64 KiB of body) on to the browser.
void passRefusal(int browser, int proxy, const ProxyResponse& r, platform::WaitBudget* budget) {
  std::string answer = r.header + r.extra;
  const size_t wanted =
      r.bodyLength >= 0 ? r.header.size() + static_cast<size_t>(r.bodyLength) : answer.size();
  char buffer[8192];
  for (int round = 0; answer.size() < wanted && answer.size() < kMaxPassedBody && round < 64;
       ++round) {
    int err = 0;
    const long n = platform::receiveOnce(proxy, buffer, sizeof buffer, false, budget, &err);
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  if (answer.size() > kMaxPassedBody) answer.resize(kMaxPassedBody);
  platform::sendAll(browser, answer.data(), answer.size());
}

// The browser's own CONNECT goes to the proxy unchanged (its credentials included) and the
// proxy's answer goes back to the browser; a 200 opens the tunnel.
int connectViaProxyPlain(const config::Settings& s, int browser, platform::UniqueFd* slot,
                         const std::vector<platform::IpAddress>& proxy, uint16_t proxyPort,
                         const std::string& request, Destination* d, bool* noSocket) {
  if (proxy.empty()) {
    sendErrorReply(browser, kBadGatewayReply);
    return kHostNotFound;
  }
  if (const int err = connectOutgoing(s, proxy, proxyPort, slot, nullptr, noSocket); err != 0) {
    sendErrorReply(browser, kBadGatewayReply);
    return err;
  }
  const int outgoing = slot->get();
  if (int err = platform::sendAll(outgoing, request.data(), request.size()); err != 0) return err;
  platform::WaitBudget budget(config::requestTimeoutMs(s));
  ResponseHeaderReader reader("");
  char buffer[kMaxResponseHeader];
  HeaderState state = HeaderState::kNeedMore;
  for (size_t round = 0; state == HeaderState::kNeedMore && round < kMaxResponseHeader; ++round) {
    int err = 0;
    const long n = platform::receiveOnce(outgoing, buffer, reader.room(), false, &budget, &err);
    if (n <= 0) {
      sendErrorReply(browser, budget.spent() ? kTimeoutReply : kBadGatewayReply);
      return err != 0 ? err : -1;
    }
    state = reader.feed(buffer, static_cast<size_t>(n));
  }
  if (state != HeaderState::kComplete) {
    FE_LOG("Error: Proxy response header exceeds %zu bytes.", kMaxResponseHeader);
    sendErrorReply(browser, kBadGatewayReply);
    return -1;
  }
  const ProxyResponse& r = reader.response();
  if (r.status != 200) {
    FE_LOG("Proxy refused the tunnel to %s:%s with status %d", d->target.host.c_str(),
           d->target.port.c_str(), r.status);
    passRefusal(browser, outgoing, r, &budget);
    return r.status > 0 ? r.status : -1;
  }
  const std::string answer = r.header + r.extra;
  if (!replyToBrowser(s, browser, answer,
                      "Error: Could not send OK reply to browser (Error <%d>: %s).")) {
    return -1;
  }
  return 0;
}

// Why a tunnel through the upstream proxy did not open, for the log: a socket error's text, or
// the proxy's last status.
std::string proxyFailure(int result) {
  if (result >= 10000) return socket_error_text(result);
  if (result > 0) return "the proxy answered with status " + std::to_string(result);
  return "the proxy gave no answer";
}

// Reads the request header; a failure is logged and answered (where the browser still listens).
bool readRequest(const config::Settings& s, int fd, std::string* request) {
  platform::WaitBudget budget(config::requestTimeoutMs(s));
  int err = 0;
  switch (receiveBrowserRequest(fd, &budget, request, &err)) {
    case HeaderRead::kOk:
      logHeader(s, "Peeked from browser", *request);
      return true;
    case HeaderRead::kTooLarge:
      FE_LOG("Error: Browser request exceeds %zu bytes.", kBrowserRequestSize);
      sendErrorReply(fd, kHeaderTooLargeReply);
      return false;
    case HeaderRead::kTimedOut:
      FE_LOG("Error: No connect string sent from browser (Error <%d>: %s).", err,
             socket_error_text(err));
      sendErrorReply(fd, kTimeoutReply);
      return false;
    case HeaderRead::kNothing:
      break;
  }
  FE_LOG("Error: No connect string sent from browser (Error <%d>: %s).", err,
         socket_error_text(err));
  return false;
}

// A CONNECT: answered here, directly or through the upstream proxy.
void serveConnect(const FrontEndClient& client, platform::UniqueFd* outgoing,
                  const std::string& request, Destination* d, FrontEndResult* result) {
  const config::Settings& s = *client.settings;
  const config::ccRule& rule = *client.rule;
  if (rule.httpsProxyEnable == 0) {
    logHeader(s, "Received from browser", request);
    bool noSocket = false;
    if (acceptConnectDirect(s, client.fd, outgoing, d, &noSocket) != 0) {
      result->code = noSocket ? kFrontEndNoSocket : kFrontEndRequestFailed;
    }
    return;
  }
  logHeader(s, "Received", request);
  std::vector<platform::IpAddress> proxy;
  config::reachableAddresses(rule.httpsProxyServer, &proxy);
  const uint16_t proxyPort = parsePort(rule.httpsProxyPort);
  bool noSocket = false;
  const int err =
      rule.httpsProxyUseNtlm != 0
          ? connectViaProxyAuthenticated(s, client.fd, outgoing, rule, d, client.credentials)
          : connectViaProxyPlain(s, client.fd, outgoing, proxy, proxyPort, request, d, &noSocket);
  if (err == 0) return;
  result->failure = proxyFailure(err);
  FE_LOG("Couldn't connect to proxy %s : %s",
         platform::endpointText(proxy.empty() ? platform::IpAddress() : proxy.front(),
                                hostPort(proxyPort), ':')
             .text,
         result->failure.c_str());
  result->code = kFrontEndProxyFailed;
}

}  // namespace

HeaderRead receiveBrowserRequest(int fd, platform::WaitBudget* budget, std::string* request,
                                 int* error) {
  request->clear();
  std::string buffer(kBrowserRequestSize, '\0');
  for (size_t round = 0; round < kBrowserRequestSize; ++round) {
    const size_t room = kBrowserRequestSize - request->size();
    if (room == 0) return HeaderRead::kTooLarge;
    const long n = platform::receiveOnce(fd, buffer.data(), room, true, budget, error);
    if (n <= 0) return budget->spent() ? HeaderRead::kTimedOut : HeaderRead::kNothing;
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
    // The bytes are there already: taking them waits for nothing.
    platform::WaitBudget there(0);
    const long got = platform::receiveOnce(fd, buffer.data(), take, false, &there, error);
    if (got != static_cast<long>(take)) return HeaderRead::kNothing;
    request->append(buffer.data(), take);
    if (done) return HeaderRead::kOk;
  }
  return HeaderRead::kTooLarge;
}

FrontEndResult frontEndConnect(const FrontEndClient& client, platform::UniqueFd* outgoing) {
  const config::Settings& s = *client.settings;
  FrontEndResult result;
  result.mode = client.rule->sslRole;
  std::string request;
  if (!readRequest(s, client.fd, &request)) {
    result.code = kFrontEndRequestFailed;
    return result;
  }
  Destination d;
  if (!isConnectRequest(request)) {
    if (!parseUrlRequest(request, &d.target)) {
      FE_LOG("Error: Could not parse connect string.");
      sendErrorReply(client.fd, kBadRequestReply);
      result.code = kFrontEndRequestFailed;
      return result;
    }
    // A plain request: the relay sends it, and each one after it, to the host it names.
    result.plainRequest = true;
    result.mode = 0;
    result.destHost = d.target.host;
    result.request = std::move(request);
    return result;
  }
  if (!parseConnectRequest(request, &d.target)) {
    FE_LOG("Error: Could not parse connect string.");
    sendErrorReply(client.fd, kBadRequestReply);
    result.code = kFrontEndRequestFailed;
    return result;
  }
  resolve(&d);
  serveConnect(client, outgoing, request, &d, &result);
  result.destAddress = d.address;
  result.destPort = d.port;
  result.destHost = d.target.host;
  return result;
}

}  // namespace proxy
