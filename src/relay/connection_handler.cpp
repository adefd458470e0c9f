// The relay of one accepted connection from start to end: rule, destination, client side,
// outgoing connection, destination side, then the data pump.
#include <arpa/inet.h>

#include <chrono>
#include <string>
#include <thread>

#include "config/address.h"
#include "config/rules.h"
#include "config/settings.h"
#include "log/log.h"
#include "platform/net.h"
#include "proxy/http_front_end.h"
#include "proxy/proxy_header.h"
#include "proxy/socks.h"
#include "relay/connection.h"
#include "relay/data_pump.h"
#include "relay/http_relay.h"

namespace relay {

namespace {

constexpr char kModule[] = "proxy";
constexpr int kHostNotFound = 11001;     // Winsock "Host not found."
constexpr int kAddressUnusable = 10049;  // Winsock "Address not available."
// A PROXY header is bounded even when "tcp.timeout" sets no limit.
constexpr uint32_t kStandingHeaderMs = 120000;

bool isSslProxyPort(const config::Settings& s, uint16_t port) {
  const uint32_t count = s.sslPortCount;
  for (uint32_t i = 0; i < count && i < config::kMaxSslPorts; ++i) {
    if (s.sslPorts[i] == port) return true;
  }
  return false;
}

// `format` names the socket, the client (with `separator` before its port) and the error.
void closeClientAfterFailure(Connection* c, const char* format, char separator, uint32_t level) {
  if (c->settings->tcpCloseSockets == 0) {
    c->info->src.release();  // left open on purpose
    return;
  }
  const int raw = c->info->src.get();
  const int err = platform::closeSocket(&c->info->src);
  if (err != 0) {
    log_event(level, 0x6031, kModule, __LINE__, format, static_cast<unsigned>(raw),
              c->client(separator).text, socket_error_text(err));
  }
}

// "tcp.nodelay" and "tcp.linger" on the client's socket, unless its listener gave them already.
void setClientOptions(const Connection& c) {
  if (c.info->optionsInherited) return;
  const config::Settings& s = *c.settings;
  platform::setRelayOptions(c.info->src.get(), s.tcpNodelay, s.tcpLinger, s.tcpLingerTime);
}

void closeDestAfterFailure(Connection* c, PumpEnd* dest) {
  if (c->settings->tcpCloseSockets == 0) {
    dest->fd.release();  // left open on purpose
    return;
  }
  const int raw = dest->fd.get();
  if (const int err = platform::closeSocket(&dest->fd); err != 0) {
    log_event(LOG_WARNING, 0x6031, kModule, __LINE__, "close socket failed for %u %s: %s",
              static_cast<unsigned>(raw), c->dest().text, socket_error_text(err));
  }
}

// The outgoing TCP connection. Returns 0, or the handler's result code.
int connectDestination(Connection* c, PumpEnd* dest) {
  const config::Settings& s = *c->settings;
  platform::Connected connected;
  const int err = proxy::socksConnect(
      s, c->destAddrs, c->destPort,
      [&s](int fd) { platform::setRelayOptions(fd, s.tcpNodelay, s.tcpLinger, s.tcpLingerTime); },
      &connected);
  dest->fd = std::move(connected.fd);
  if (err == 0 && c->rule->proxyProtocolSend != 0) {
    const std::string header = proxy::makeProxyHeader(
        static_cast<int>(c->rule->proxyProtocolSend), c->clientAddress,
        htons(static_cast<uint16_t>(c->clientPort)), c->localAddress, c->localPort);
    if (const int sent = platform::sendAll(dest->fd.get(), header.data(), header.size());
        sent != 0) {
      log_event(LOG_WARNING, 0x6061, kModule, __LINE__, "Couldn't send the PROXY header to %s: %s",
                c->dest().text, socket_error_text(sent));
      closeDestAfterFailure(c, dest);
      return 5;
    }
  }
  if (err != 0 && connected.socketFailed) {
    log_event(LOG_ERROR, 0x6047, kModule, __LINE__, "Couldn't create socket for %s: %s",
              c->dest().text, socket_error_text(err));
    return 4;
  }
  if (err != 0) {
    log_event(LOG_WARNING, 0x6048, kModule, __LINE__, "Couldn't connect to %s: %s", c->dest().text,
              socket_error_text(err));
    if (dest->fd.valid()) closeDestAfterFailure(c, dest);
    return 5;
  }
  c->destAddress = connected.address;
  return 0;
}

// The pump's report; the pump takes the connection's record (its configuration, its relay's
// state, its place in the count) with it, so nothing of `c` is used once it runs.
PumpReport reportOf(Connection& c, bool frontEnd) {
  PumpReport report;
  report.clientAddress = c.info->clientAddress;
  report.clientPort = c.info->clientPort;
  report.destAddress = c.destAddress;
  report.destPort = c.destPort;
  report.localPort = c.info->localPort;
  report.frontEndStyle = frontEnd;
  report.settings = c.settings;
  report.state = c.state;
  // A drop time of 0 sets no limit: a tunnel that waits a moment must not end.
  report.idleSeconds = frontEnd ? c.rule->httpProxyDropTime : 0;
  report.owner = std::shared_ptr<connectInfo>(std::move(c.info));
  return report;
}

// A fixed destination that names no reachable address: a name the resolver does not know, 0.0.0.0
// or :: (this host). The connection fails instead.
bool unusableDestination(Connection* c) {
  if (!c->destAddress.isZero()) return false;
  const std::string& text = c->rule->destAddrStr;
  const bool named = c->destAddrs.empty();
  const std::string where =
      named ? text + "." + std::to_string(ntohs(c->destPort)) : std::string(c->dest().text);
  log_event(LOG_WARNING, 0x6048, kModule, __LINE__, "Couldn't connect to %s: %s", where.c_str(),
            socket_error_text(named ? kHostNotFound : kAddressUnusable));
  closeClientAfterFailure(c, "close socket failed for %u %s <%s>", '.', LOG_WARNING);
  return true;
}

// The destination: the rule's, or the one a SOCKS client names. Returns 0, or the result code.
int findDestination(Connection* c) {
  const config::ccRule& rule = *c->rule;
  if (rule.connectType == config::kConnectSocks) {
    if (const uint32_t pause = c->settings->tcpSleep; pause != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
    proxy::SocksRequest request;
    if (proxy::socksAccept(*c->settings, c->info->src.get(), &request) != 0) {
      log_event(LOG_ERROR, 0x6041, kModule, __LINE__, "Invalid Socks packet from %s",
                c->client().text);
      closeClientAfterFailure(c, "close socket failed for %u %s <%s>", '.', LOG_ERROR);
      return 2;
    }
    c->setDestination(std::move(request.addresses), request.port);
    c->serverName = request.host;
    return 0;
  }
  c->serverName = rule.destAddrStr;
  return unusableDestination(c) ? 5 : 0;
}

void logConnect(const Connection& c) {
  if (c.settings->verbose == 0) return;
  log_event(LOG_INFO, 0x6046, kModule, __LINE__, "Connect %s to %s as %s", c.client().text,
            c.dest().text, roleName(c.rule->sslRole));
}

// Rules in destination mode 2: the browser names the destination (http_front_end.h).
int connectRequestHandler(Connection* c) {
  const config::ccRule& rule = *c->rule;
  // Only a plain or SSL-proxy rule can serve a browser; the others have no destination.
  if (rule.sslRole != config::kRolePlug && rule.sslRole != config::kRoleProxy) {
    log_event(LOG_ERROR, 0x6001, kModule, __LINE__, "No destination for %s", c->client(':').text);
    if (c->settings->tcpCloseSockets != 0) platform::shutdownBoth(c->info->src.get());
    closeClientAfterFailure(c, "close socket failed for <%u> %s <%s>", ':', LOG_ERROR);
    return 1;
  }
  setClientOptions(*c);
  PumpEnd dest;
  const proxy::FrontEndClient browser{c->info->src.get(),  c->info->clientAddress,
                                      c->info->clientPort, c->rule.get(),
                                      c->settings,         &c->state->proxyCredentials};
  proxy::FrontEndResult result = proxy::frontEndConnect(browser, &dest.fd);
  if (result.code != 0) {
    if (result.code == proxy::kFrontEndProxyFailed) {
      log_event(LOG_ERROR, 0x6001, kModule, __LINE__,
                "Error: Could not connect to proxy server. (%s)", result.failure.c_str());
    }
    return -1;
  }
  if (result.plainRequest) {
    relayPlainRequests(
        PlainRequestClient{std::move(c->info->src), c->info->clientAddress, c->info->clientPort,
                           c->rule.get(), c->settings, c->state},
        std::move(result.request));
    return 0;
  }
  c->setDestination({result.destAddress}, result.destPort);
  c->serverName = result.destHost;
  PumpEnd client{std::move(c->info->src), nullptr};
  if (result.mode == config::kRolePlug) {
    // A plug rule's tunnel: plain both ways; the disconnect line names the destination first.
    PumpReport report = reportOf(*c, true);
    std::swap(report.clientAddress, report.destAddress);
    std::swap(report.clientPort, report.destPort);
    dataPump(std::move(client), std::move(dest), report);
    return 0;
  }
  const bool ssl = isSslProxyPort(*c->settings, c->destPort);
  if (ssl) {
    if (const int rc = acceptClientSide(c, &client, true); rc != 0) return rc;
  }
  log_event(LOG_ERROR, 0x6001, kModule, __LINE__, "Connect %s to %s as %s", c->client(':').text,
            c->dest(':').text, roleName(result.mode));
  if (ssl) {
    if (const int rc = connectDestSide(c, &dest); rc != 0) return rc;
  }
  const PumpReport report = reportOf(*c, true);
  dataPump(std::move(client), std::move(dest), report);
  return 0;
}

// A port behind a load balancer: each connection names its real client first, in a PROXY header,
// and the relay goes on with that client (its rules, its log lines). A connection without a valid
// header is closed whatever "tcp.close.sockets" says (left open, a client that never sends one
// would hold a descriptor), and nothing of it is relayed.
bool takeProxyHeader(Connection* c) {
  const uint32_t limit = config::requestTimeoutMs(*c->settings);
  platform::WaitBudget budget(limit != 0 ? limit : kStandingHeaderMs);
  proxy::ProxyHeader header;
  std::string why;
  if (!proxy::readProxyHeader(c->info->src.get(), &budget, &header, &why)) {
    log_event(LOG_WARNING, 0x6061, kModule, __LINE__, "No valid PROXY header from %s: %s",
              c->client().text, why.c_str());
    const int raw = c->info->src.get();
    if (const int err = platform::closeSocket(&c->info->src); err != 0) {
      log_event(LOG_WARNING, 0x6031, kModule, __LINE__, "close socket failed. <%u> <%s>",
                static_cast<unsigned>(raw), socket_error_text(err));
    }
    return false;
  }
  if (header.local) return true;
  if (c->settings->verbose != 0) {
    log_event(LOG_INFO, 0x6061, kModule, __LINE__, "PROXY header from %s: the client is %s",
              c->client().text,
              platform::endpointText(header.source, ntohs(header.sourcePort), '.').text);
  }
  c->clientAddress = c->info->clientAddress = header.source;
  c->info->clientPort = header.sourcePort;
  c->clientPort = ntohs(header.sourcePort);
  c->localAddress = header.destination;
  c->localPort = header.destinationPort;
  return true;
}

}  // namespace

platform::EndpointText Connection::dest(char separator) const {
  return platform::endpointText(destAddress, ntohs(destPort), separator);
}

void Connection::setDestination(std::vector<platform::IpAddress> addresses, uint16_t port) {
  destAddrs = std::move(addresses);
  destAddress = destAddrs.empty() ? platform::IpAddress() : destAddrs.front();
  destPort = port;
}

int connectionHandler(std::unique_ptr<connectInfo> info) {
  Connection c;
  c.info = std::move(info);
  c.config = c.info->config.get();
  c.settings = &c.config->ccSettings;
  c.state = c.info->state.get();
  c.clientAddress = c.info->clientAddress;
  c.clientPort = ntohs(c.info->clientPort);
  if (config::portTakesProxyHeader(c.config->ruleTable, c.info->localPort) &&
      !takeProxyHeader(&c)) {
    return 7;
  }
  config::RuleMatch match =
      config::findRule(c.config->ruleTable, c.info->clientAddress, c.info->localPort);
  c.rule = std::move(match.rule);
  c.setDestination(std::move(match.destAddrs), match.destPort);
  if (c.rule && c.rule->proxyProtocolSend != 0 && c.localPort == 0) {
    platform::localAddress(c.info->src.get(), &c.localAddress, &c.localPort);
  }
  if (!c.rule) {
    log_event(LOG_ERROR, 0x6040, kModule, __LINE__, "No destination for %s", c.client().text);
    closeClientAfterFailure(&c, "close socket failed for <%u> %s <%s>", '.', LOG_ERROR);
    return 1;
  }
  if (c.rule->connectType == config::kConnectHttp) return connectRequestHandler(&c);
  if (const int rc = findDestination(&c); rc != 0) return rc;
  const config::ccRule& rule = *c.rule;
  const bool socks = rule.connectType == config::kConnectSocks;
  setClientOptions(c);
  const bool proxySsl =
      rule.sslRole == config::kRoleProxy && isSslProxyPort(*c.settings, c.destPort);
  PumpEnd dest;
  // A SOCKS client is told "granted" only once its destination is connected; it speaks TLS (when
  // the role asks for it) after that answer.
  if (socks) {
    logConnect(c);
    const int rc = connectDestination(&c, &dest);
    proxy::socksAnswer(c.info->src.get(), rc == 0);
    if (rc != 0) return rc;
  }
  PumpEnd client{std::move(c.info->src), nullptr};
  if (rule.sslRole == config::kRoleServer || proxySsl) {
    if (const int rc = acceptClientSide(&c, &client); rc != 0) return rc;
  }
  if (!socks) {
    logConnect(c);
    if (const int rc = connectDestination(&c, &dest); rc != 0) return rc;
  }
  if (rule.sslRole == config::kRoleClient || proxySsl) {
    if (const int rc = connectDestSide(&c, &dest); rc != 0) return rc;
  }
  const PumpReport report = reportOf(c, false);
  dataPump(std::move(client), std::move(dest), report);
  return 0;
}

}  // namespace relay
