// The SSL sides of a relayed connection: the relay as SSL server towards the client and as SSL
// client towards the destination, each handshake bounded by the request time-out.
#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

#include "config/settings.h"
#include "log/log.h"
#include "platform/net.h"
#include "relay/connection.h"
#include "security/verify.h"

namespace relay {
namespace {

constexpr char kModule[] = "proxy";

// Runs the handshake on the (now non-blocking) socket; the peer's share of it is bounded by the
// request time-out, the work in between (a question a person answers) is not. Returns the last SSL
// call's result: 1 when done; *timedOut tells a peer too slow from one that failed.
int runHandshake(SSL* ssl, int fd, const config::Settings& s, bool* timedOut) {
  *timedOut = false;
  platform::setNonBlocking(fd);
  // A flight of several records comes in with one read instead of two per record; what arrives
  // beyond the handshake waits in the SSL object, where the data pump looks first.
  SSL_set_read_ahead(ssl, 1);
  platform::WaitBudget budget(config::requestTimeoutMs(s));
  for (int round = 0;; ++round) {
    const int rc = SSL_do_handshake(ssl);
    if (rc == 1) return rc;
    const int reason = SSL_get_error(ssl, rc);
    const unsigned want = reason == SSL_ERROR_WANT_READ    ? platform::kIoReadable
                          : reason == SSL_ERROR_WANT_WRITE ? platform::kIoWritable
                                                           : 0;
    if (want == 0 || round > 100000) return rc;
    if (!budget.waitFor(fd, want)) {
      *timedOut = true;
      return rc;
    }
  }
}

// `format` takes the ciphers, the other endpoint and whether the session was reused.
void logSharedCiphers(SSL* ssl, const char* format, const char* endpoint) {
  char shared[512];
  const char* text = SSL_get_shared_ciphers(ssl, shared, sizeof shared);
  log_event(LOG_ERROR, 0x6101, kModule, __LINE__, format, text != nullptr ? text : "N/A", endpoint,
            SSL_session_reused(ssl) ? "Reused" : "New");
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

// A destination text names a host unless it is a dotted quad.
// A host name, not an address (IPv6 texts hold a colon, and may begin with a letter).
bool namesHost(const std::string& text) {
  return !text.empty() && (text[0] < '0' || text[0] > '9') && text.find(':') == std::string::npos;
}

// A verified server must also be the one the rule (or the browser) names: its host name, or its
// address when it is named by one. Without that set, any certificate of a trusted CA would pass,
// so a failure to set it fails the connection.
bool requireServerIdentity(SSL* ssl, const Connection& c) {
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  int ok = 0;
  if (namesHost(c.serverName)) {
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    ok = SSL_set1_host(ssl, c.serverName.c_str());
  } else {
    ok = X509_VERIFY_PARAM_set1_ip(param, c.destAddress.bytes, c.destAddress.v6 ? 16 : 4);
  }
  if (ok == 1) return true;
  log_event(LOG_ERROR, 0x6049, kModule, __LINE__,
            "Couldn't require the server %s to prove its name <%s>", c.dest().text,
            c.serverName.c_str());
  log_openssl_errors(LOG_ERROR, bio_log_err);
  return false;
}

}  // namespace

int acceptClientSide(Connection* c, PumpEnd* client, bool logAlways) {
  const config::ccRule& rule = *c->rule;
  const int fd = client->fd.get();
  SslPtr ssl = newSharedSsl(c->config->sharedContext.get());
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
  if (!rule.sslCert.empty() && rule.certType == 1) {
    loadCertAndKey(ssl.get(), &c->state->loadedPairs, rule.sslCert, rule.sslKey,
                   c->config->generation);
  }
  bool timedOut = false;
  const int rc = runHandshake(ssl.get(), fd, *c->settings, &timedOut);
  if (rc <= 0) {
    const long verify = SSL_get_verify_result(ssl.get());
    if (verify != X509_V_OK) {
      log_event(LOG_ERROR, 0x6044, kModule, __LINE__, "verify error:%s\n",
                X509_verify_cert_error_string(verify));
    }
    if (timedOut) {
      log_event(LOG_ERROR, 0x6044, kModule, __LINE__, "SSL_accept (%d) failed for %s: %s",
                SSL_get_error(ssl.get(), rc), c->client().text, socket_error_text(10060));
    } else {
      log_event(LOG_ERROR, 0x6044, kModule, __LINE__, "SSL_accept (%d) failed for %s",
                SSL_get_error(ssl.get(), rc), c->client().text);
    }
    log_openssl_errors(LOG_ERROR, bio_log_err);
    return 3;
  }
  if (c->settings->verbose != 0 || logAlways) {
    logSharedCiphers(ssl.get(), "Shared Cipher list: <%s>.  (other endpoint is %s) %s Session",
                     c->client(':').text);
    if (X509* peer = SSL_get1_peer_certificate(ssl.get()); peer != nullptr) {
      EVP_PKEY* key = X509_get0_pubkey(peer);
      log_event(LOG_ERROR, 0x6103, kModule, __LINE__, "%s  peer's public key is %d bit\n",
                c->client(':').text, key != nullptr ? EVP_PKEY_bits(key) : 0);
      X509_free(peer);
    }
  }
  logConnectionSummary("Incoming", ssl.get(), rule.sslRole, c->info->clientAddress,
                       c->info->clientPort);
  client->ssl = std::move(ssl);
  return 0;
}

int connectDestSide(Connection* c, PumpEnd* dest) {
  const config::ccRule& rule = *c->rule;
  const int fd = dest->fd.get();
  // The SSL object's application data points to the key; it goes after the object.
  auto key = std::make_unique<DestSessionKey>(DestSessionKey{
      c->config->generation, c->destAddress, c->destPort, "", rule.verifyServer, rule.sslCert});
  SslPtr ssl = newSharedSsl(c->config->sharedContext.get());
  if (!ssl) return 6;
  SSL_set_verify(ssl.get(), rule.verifyServer != 0 ? SSL_VERIFY_PEER : SSL_VERIFY_NONE,
                 verify_callback);
  SSL_set_connect_state(ssl.get());
  SSL_set_fd(ssl.get(), fd);
  if (namesHost(c->serverName)) {
    key->serverName = c->serverName;
    SSL_set_tlsext_host_name(ssl.get(), c->serverName.c_str());
  }
  if (rule.verifyServer != 0 && c->settings->sslVerifyHost != 0 &&
      !requireServerIdentity(ssl.get(), *c)) {
    return 6;
  }
  if (rule.sslRole == config::kRoleClient && !rule.sslCert.empty()) {
    loadCertAndKey(ssl.get(), &c->state->loadedPairs, rule.sslCert, rule.sslKey,
                   c->config->generation);
  }
  if (SslSessionPtr saved = c->state->destSessionCache.lookup(*key)) {
    SSL_set_session(ssl.get(), saved.get());
  }
  SSL_set_app_data(ssl.get(), key.get());
  bool timedOut = false;
  const int rc = runHandshake(ssl.get(), fd, *c->settings, &timedOut);
  if (rc <= 0) {
    if (timedOut) {
      log_event(LOG_INFO, 0x6049, kModule, __LINE__, "SSL_connect <%d> to %s failed: %s", rc,
                c->dest().text, socket_error_text(10060));
    } else {
      log_event(LOG_INFO, 0x6049, kModule, __LINE__, "SSL_connect <%d> to %s failed", rc,
                c->dest().text);
    }
    log_openssl_errors(LOG_ERROR, bio_log_err);
    SSL_set_app_data(ssl.get(), nullptr);
    return 6;
  }
  rememberDestSession(ssl.get());
  logServerCertificates(ssl.get());
  if (c->settings->verbose != 0) {
    logSharedCiphers(ssl.get(), "Shared Cipher list <%s>.  (other endpoint is %s) %s Session",
                     c->dest(':').text);
  }
  logConnectionSummary("Outgoing", ssl.get(), rule.sslRole, c->destAddress, c->destPort);
  dest->sessionKey = std::move(key);
  dest->ssl = std::move(ssl);
  return 0;
}

}  // namespace relay
