// The relay of one accepted connection from start to end: rule, destination, client side,
// outgoing connection, destination side, then the data pump.
#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "config/address.h"
#include "config/rules.h"
#include "config/settings.h"
#include "log/log.h"
#include "platform/net.h"
#include "proxy/http_front_end.h"
#include "proxy/socks.h"
#include "relay/data_pump.h"
#include "relay/relay.h"
#include "relay/ssl_context.h"
#include "security/verify.h"

namespace relay {

namespace {

constexpr char kModule[] = "proxy";
constexpr uint32_t kRequestTimeoutMs = 120000;

// Everything one connection keeps while it is set up; the texts are for its log lines.
struct Connection {
  std::unique_ptr<connectInfo> info;
  const config::Settings* settings = nullptr;  // the settings of the accept, for the whole relay
  config::RuleRef rule;
  char client[16] = "";
  int clientPort = 0;
  uint32_t destAddress = 0;  // network byte order
  uint16_t destPort = 0;     // network byte order
  char dest[16] = "";
  std::string serverName;     // the destination's host name, when one is known
  DestSessionKey sessionKey;  // the outgoing SSL side's application data points here
};

bool isSslProxyPort(const config::Settings& s, uint16_t port) {
  const uint32_t count = s.sslPortCount;
  for (uint32_t i = 0; i < count && i < config::kMaxSslPorts; ++i) {
    if (s.sslPorts[i] == port) return true;
  }
  return false;
}

// A destination text names a host (and is sent as the server name) unless it is a dotted quad.
bool namesHost(const std::string& text) {
  return !text.empty() && (text[0] < '0' || text[0] > '9');
}

void closeClientAfterFailure(Connection* c, const char* format, uint32_t level) {
  if (c->settings->tcpCloseSockets == 0) {
    c->info->src.release();  // left open on purpose
    return;
  }
  const int raw = c->info->src.get();
  const int err = platform::closeSocket(&c->info->src);
  if (err != 0) {
    log_event(level, 0x6031, kModule, __LINE__, format, static_cast<unsigned>(raw), c->client,
              c->clientPort, socket_error_text(err));
  }
}

// While a handshake runs on a blocking socket, a silent peer must not hold the thread forever.
void limitHandshakeWait(const config::Settings& s, int fd, bool on) {
  if (s.tcpTimeout != 0) platform::setReceiveTimeout(fd, on ? kRequestTimeoutMs : 0);
}

void logSharedCiphers(SSL* ssl, const char* format, const char* address, int port) {
  char shared[512];
  const char* text = SSL_get_shared_ciphers(ssl, shared, sizeof shared);
  log_event(LOG_ERROR, 0x6101, kModule, __LINE__, format, text != nullptr ? text : "N/A", address,
            port, SSL_session_reused(ssl) ? "Reused" : "New");
}

// The proxy role offers the context's ciphers plus the two old export ciphers, which the library
// ignores when it no longer has them.
void widenProxyCipherList(SSL* ssl) {
  std::string list;
  for (int i = 0;; ++i) {
    const char* name = SSL_get_cipher_list(ssl, i);
    if (name == nullptr) break;
    if (!list.empty()) list += ':';
    list += name;
  }
  for (const char* extra : {"EXP-RC4-MD5", "EXP-RC2-CBC-MD5"}) {
    if (list.find(extra) != std::string::npos) continue;
    if (!list.empty()) list += ':';
    list += extra;
  }
  SSL_set_cipher_list(ssl, list.c_str());
  ERR_clear_error();
}

// The relay as SSL server towards the client. Returns 0, or the handler's result code.
int acceptClientSide(Connection* c, PumpEnd* client) {
  const config::ccRule& rule = *c->rule;
  const int fd = client->fd.get();
  SslPtr ssl = newSharedSsl();
  if (!ssl) return 3;
  const uint32_t sessionContext = ntohs(c->info->localPort);
  if (sessionContext == 0) {
    log_event(LOG_ERROR, 0x6101, kModule, __LINE__,
              "Error: Can't use session cache for this connection, since I can't find which port "
              "he connected to.\n");
    return 3;
  }
  SSL_set_session_id_context(ssl.get(), reinterpret_cast<const unsigned char*>(&sessionContext),
                             sizeof sessionContext);
  SSL_set_verify(ssl.get(), rule.verifyClient != 0 ? 7 : 0, verify_callback);
  SSL_set_fd(ssl.get(), fd);
  SSL_set_accept_state(ssl.get());
  if (rule.sslRole == config::kRoleProxy) widenProxyCipherList(ssl.get());
  if (!rule.sslCert.empty() && rule.certType == 1)
    loadCertAndKey(ssl.get(), rule.sslCert, rule.sslKey);
  limitHandshakeWait(*c->settings, fd, true);
  const int rc = SSL_accept(ssl.get());
  limitHandshakeWait(*c->settings, fd, false);
  if (rc <= 0) {
    const long verify = SSL_get_verify_result(ssl.get());
    if (verify != X509_V_OK) {
      log_event(LOG_ERROR, 0x6044, kModule, __LINE__, "verify error:%s\n",
                X509_verify_cert_error_string(verify));
    }
    log_event(LOG_ERROR, 0x6044, kModule, __LINE__, "SSL_accept (%d) failed for %s.%d",
              SSL_get_error(ssl.get(), rc), c->client, c->clientPort);
    log_openssl_errors(LOG_ERROR, bio_log_err);
    return 3;
  }
  if (c->settings->verbose != 0) {
    logSharedCiphers(ssl.get(), "Shared Cipher list: <%s>.  (other endpoint is %s:%d) %s Session",
                     c->client, c->clientPort);
    if (X509* peer = SSL_get1_peer_certificate(ssl.get()); peer != nullptr) {
      EVP_PKEY* key = X509_get0_pubkey(peer);
      log_event(LOG_ERROR, 0x6103, kModule, __LINE__, "%s:%d  peer's public key is %d bit\n",
                c->client, c->clientPort, key != nullptr ? EVP_PKEY_bits(key) : 0);
      X509_free(peer);
    }
  }
  logConnectionSummary("Incoming", ssl.get(), rule.sslRole, c->info->clientAddress,
                       c->info->clientPort);
  client->ssl = std::move(ssl);
  return 0;
}

void logServerCertificates(SSL* ssl) {
  char name[512];
  if (STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ssl); chain != nullptr) {
    log_event(LOG_ERROR, 0x6101, kModule, __LINE__, "Certficate chain");
    for (int i = 0; i < sk_X509_num(chain); ++i) {
      X509* cert = sk_X509_value(chain, i);
      X509_NAME_oneline(X509_get_subject_name(cert), name, sizeof name);
      log_event(LOG_ERROR, 0x6101, kModule, __LINE__, "%2d s:%s", i, name);
      X509_NAME_oneline(X509_get_issuer_name(cert), name, sizeof name);
      log_event(LOG_ERROR, 0x6101, kModule, __LINE__, "   i:%s", name);
    }
  }
  X509* peer = SSL_get1_peer_certificate(ssl);
  if (peer == nullptr) {
    log_event(LOG_ERROR, 0x6101, kModule, __LINE__, "no peer certificate available");
    return;
  }
  log_event(LOG_INFO, 0x6101, kModule, __LINE__, "Server certificate");
  X509_NAME_oneline(X509_get_subject_name(peer), name, sizeof name);
  log_event(LOG_INFO, 0x6101, kModule, __LINE__, "subject=%s", name);
  X509_NAME_oneline(X509_get_issuer_name(peer), name, sizeof name);
  log_event(LOG_INFO, 0x6101, kModule, __LINE__, "issuer=%s", name);
  X509_free(peer);
}

// The relay as SSL client towards the destination. Returns 0, or the handler's result code.
int connectDestSide(Connection* c, PumpEnd* dest) {
  const config::ccRule& rule = *c->rule;
  const int fd = dest->fd.get();
  SslPtr ssl = newSharedSsl();
  if (!ssl) return 6;
  SSL_set_verify(ssl.get(), rule.verifyServer != 0 ? SSL_VERIFY_PEER : SSL_VERIFY_NONE,
                 verify_callback);
  SSL_set_connect_state(ssl.get());
  SSL_set_fd(ssl.get(), fd);
  c->sessionKey = DestSessionKey{c->destAddress, c->destPort, "", rule.verifyServer, rule.sslCert};
  if (namesHost(c->serverName)) {
    c->sessionKey.serverName = c->serverName;
    SSL_set_tlsext_host_name(ssl.get(), c->serverName.c_str());
    // A verified server must also be the host the rule (or the browser) names; a mismatch fails
    // verification with its own error (hostname mismatch), logged by the verify callback.
    if (rule.verifyServer != 0 && c->settings->sslVerifyHost != 0) {
      SSL_set_hostflags(ssl.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      SSL_set1_host(ssl.get(), c->serverName.c_str());
    }
  }
  if (rule.sslRole == config::kRoleClient && !rule.sslCert.empty()) {
    loadCertAndKey(ssl.get(), rule.sslCert, rule.sslKey);
  }
  if (SslSessionPtr saved = destSessionLookup(c->sessionKey))
    SSL_set_session(ssl.get(), saved.get());
  SSL_set_app_data(ssl.get(), &c->sessionKey);
  limitHandshakeWait(*c->settings, fd, true);
  const int rc = SSL_connect(ssl.get());
  limitHandshakeWait(*c->settings, fd, false);
  if (rc <= 0) {
    log_event(LOG_INFO, 0x6049, kModule, __LINE__, "SSL_connect <%d> to %s.%d failed", rc, c->dest,
              ntohs(c->destPort));
    log_openssl_errors(LOG_ERROR, bio_log_err);
    SSL_set_app_data(ssl.get(), nullptr);
    return 6;
  }
  rememberDestSession(ssl.get());
  logServerCertificates(ssl.get());
  if (c->settings->verbose != 0) {
    logSharedCiphers(ssl.get(), "Shared Cipher list <%s>.  (other endpoint is %s:%d) %s Session",
                     c->dest, ntohs(c->destPort));
  }
  logConnectionSummary("Outgoing", ssl.get(), rule.sslRole, c->destAddress, c->destPort);
  dest->ssl = std::move(ssl);
  return 0;
}

// The outgoing TCP connection. Returns 0, or the handler's result code.
int connectDestination(Connection* c, PumpEnd* dest) {
  int err = 0;
  dest->fd = platform::tcpSocket(&err);
  if (!dest->fd.valid()) {
    log_event(LOG_ERROR, 0x6047, kModule, __LINE__, "Couldn't create socket for %s.%d: %s", c->dest,
              ntohs(c->destPort), socket_error_text(err));
    return 4;
  }
  platform::setRelayOptions(dest->fd.get(), c->settings->tcpNodelay, c->settings->tcpLinger,
                            c->settings->tcpLingerTime);
  err = proxy::socksConnect(*c->settings, dest->fd.get(), c->destAddress, c->destPort);
  if (err != 0) {
    log_event(LOG_WARNING, 0x6048, kModule, __LINE__, "Couldn't connect to %s.%d: %s", c->dest,
              ntohs(c->destPort), socket_error_text(err));
    if (c->settings->tcpCloseSockets != 0) {
      const int raw = dest->fd.get();
      const int closeErr = platform::closeSocket(&dest->fd);
      if (closeErr != 0) {
        log_event(LOG_WARNING, 0x6031, kModule, __LINE__, "close socket failed for %u %s.%d: %s",
                  static_cast<unsigned>(raw), c->dest, ntohs(c->destPort),
                  socket_error_text(closeErr));
      }
    } else {
      dest->fd.release();  // left open on purpose
    }
    return 5;
  }
  return 0;
}

PumpReport reportOf(const Connection& c, bool frontEnd) {
  PumpReport report;
  report.clientAddress = c.info->clientAddress;
  report.clientPort = c.info->clientPort;
  report.destAddress = c.destAddress;
  report.destPort = c.destPort;
  report.frontEndStyle = frontEnd;
  report.settings = c.info->settings;
  // A drop time of 0 sets no limit: a tunnel that waits a moment must not end.
  report.idleSeconds = frontEnd ? c.rule->httpProxyDropTime : 0;
  return report;
}

// The destination: the rule's, or the one a SOCKS client names. Returns 0, or the result code.
int findDestination(Connection* c) {
  const config::ccRule& rule = *c->rule;
  if (rule.connectType == config::kConnectSocks) {
    if (const uint32_t pause = c->settings->tcpSleep; pause != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
    if (proxy::socksAccept(c->info->src.get(), &c->destAddress, &c->destPort) != 0) {
      log_event(LOG_ERROR, 0x6041, kModule, __LINE__, "Invalid Socks packet from %s.%d", c->client,
                c->clientPort);
      closeClientAfterFailure(c, "close socket failed for %u %s.%d <%s>", LOG_ERROR);
      return 2;
    }
  } else {
    c->destAddress = rule.destAddr;
    c->destPort = rule.destPort;
    c->serverName = rule.destAddrStr;
  }
  config::formatAddress(c->destAddress, c->dest);
  return 0;
}

// The relay of a browser's plain HTTP request: the request and everything after it pass
// unchanged. The disconnect line names the destination first.
void frontEndPump(Connection* c, PumpEnd client, PumpEnd dest) {
  PumpReport report = reportOf(*c, true);
  std::swap(report.clientAddress, report.destAddress);
  std::swap(report.clientPort, report.destPort);
  dataPump(std::move(client), std::move(dest), report);
}

// Rules in destination mode 2: the browser names the destination (http_front_end.h).
int connectRequestHandler(Connection* c) {
  const config::ccRule& rule = *c->rule;
  // Only a plain or SSL-proxy rule can serve a browser; the others have no destination.
  if (rule.sslRole != config::kRolePlug && rule.sslRole != config::kRoleProxy) {
    log_event(LOG_ERROR, 0x6001, kModule, __LINE__, "No destination for %s:%d", c->client,
              c->clientPort);
    if (c->settings->tcpCloseSockets != 0) platform::shutdownBoth(c->info->src.get());
    closeClientAfterFailure(c, "close socket failed for <%u> %s:%d <%s>", LOG_ERROR);
    return 1;
  }
  platform::setRelayOptions(c->info->src.get(), c->settings->tcpNodelay, c->settings->tcpLinger,
                            c->settings->tcpLingerTime);
  uint32_t mode = rule.sslRole;
  PumpEnd dest;
  proxy::FrontEndClient browser{c->info->src.get(), c->info->clientAddress, c->info->clientPort,
                                c->rule.get(), c->settings};
  const int rc = proxy::frontEndConnect(browser, &dest.fd, &c->destAddress, &c->destPort,
                                        &c->serverName, &mode);
  if (rc != 0) {
    if (rc == proxy::kFrontEndProxyFailed) {
      log_event(LOG_ERROR, 0x6001, kModule, __LINE__, "Error: Could not connect to proxy server.");
    }
    return -1;
  }
  config::formatAddress(c->destAddress, c->dest);
  PumpEnd client{std::move(c->info->src), nullptr};
  if (mode == config::kRolePlug) {
    frontEndPump(c, std::move(client), std::move(dest));
    return 0;
  }
  const bool ssl = isSslProxyPort(*c->settings, c->destPort);
  if (ssl) {
    if (const int result = acceptClientSide(c, &client); result != 0) return result;
  }
  log_event(LOG_ERROR, 0x6001, kModule, __LINE__, "Connect %s:%d to %s:%d as %s", c->client,
            c->clientPort, c->dest, ntohs(c->destPort), roleName(mode));
  if (ssl) {
    if (const int result = connectDestSide(c, &dest); result != 0) return result;
  }
  dataPump(std::move(client), std::move(dest), reportOf(*c, true));
  return 0;
}

}  // namespace

int connectionHandler(std::unique_ptr<connectInfo> info) {
  Connection c;
  c.info = std::move(info);
  if (c.info->settings == nullptr) c.info->settings = config::runningSettings();
  c.settings = c.info->settings.get();
  config::formatAddress(c.info->clientAddress, c.client);
  c.clientPort = ntohs(c.info->clientPort);
  c.rule = config::RuleRef(config::findRule(c.info->clientAddress, c.info->localPort));
  if (!c.rule) {
    log_event(LOG_ERROR, 0x6040, kModule, __LINE__, "No destination for %s.%d", c.client,
              c.clientPort);
    closeClientAfterFailure(&c, "close socket failed for <%u> %s.%d <%s>", LOG_ERROR);
    return 1;
  }
  if (c.rule->connectType == config::kConnectHttp) return connectRequestHandler(&c);
  if (const int rc = findDestination(&c); rc != 0) return rc;
  const config::ccRule& rule = *c.rule;
  platform::setRelayOptions(c.info->src.get(), c.settings->tcpNodelay, c.settings->tcpLinger,
                            c.settings->tcpLingerTime);
  const bool proxySsl =
      rule.sslRole == config::kRoleProxy && isSslProxyPort(*c.settings, c.destPort);
  PumpEnd client{std::move(c.info->src), nullptr};
  if (rule.sslRole == config::kRoleServer || proxySsl) {
    if (const int rc = acceptClientSide(&c, &client); rc != 0) return rc;
  }
  if (c.settings->verbose != 0) {
    log_event(LOG_INFO, 0x6046, kModule, __LINE__, "Connect %s.%d to %s.%d as %s", c.client,
              c.clientPort, c.dest, ntohs(c.destPort), roleName(rule.sslRole));
  }
  PumpEnd dest;
  if (const int rc = connectDestination(&c, &dest); rc != 0) return rc;
  if (rule.sslRole == config::kRoleClient || proxySsl) {
    if (const int rc = connectDestSide(&c, &dest); rc != 0) return rc;
  }
  dataPump(std::move(client), std::move(dest), reportOf(c, false));
  return 0;
}

}  // namespace relay
