#include "relay/ssl_context.h"

#include <openssl/err.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>

#include "config/settings.h"
#include "log/log.h"
#include "relay/questions.h"
#include "security/verify.h"

namespace relay {

const FriendlyCipher friendlyCipherTable[9] = {
    {"Default", "DEFAULT"},
    {"Strong Only", "ALL:!ADH:+RSA:+HIGH:-LOW:-MEDIUM:-EXP"},
    {"Strong and Medium", "ALL:!ADH:+RSA:+HIGH:+MEDIUM:-LOW:-EXP"},
    {"Strong Only (SSLv2)", "ALL:!ADH:+RSA:-SSLv3:+SSLv2:+HIGH:-MEDIUM:-LOW:-EXP"},
    {"Strong Only (SSLv3)", "ALL:!ADH:+RSA:+SSLv3:-SSLv2:+HIGH:-MEDIUM:-LOW:-EXP"},
    {"Strong and Medium (SSLv3)", "ALL:!ADH:+RSA:+SSLv3:-SSLv2:+HIGH:+MEDIUM:-LOW:-EXP"},
    {"Strong and Medium (SSLv2)", "ALL:!ADH:+RSA:-SSLv3:+SSLv2:+HIGH:+MEDIUM:-LOW:-EXP"},
    {"Medium Only (SSLv3)", "ALL:!ADH:+RSA:+SSLv3:-SSLv2:-HIGH:-MEDIUM:-LOW:-EXP"},
    {"Medium Only (SSLv2)", "ALL:!ADH:+RSA:-SSLv3:+SSLv2:-HIGH:-MEDIUM:-LOW:-EXP"},
};

namespace {

constexpr char kModule[] = "proxy";
constexpr uint32_t kOldNoSslv2 = 0x01000000;
constexpr uint32_t kOldNoSslv3 = 0x02000000;
constexpr uint32_t kOldNoTlsv1 = 0x04000000;
constexpr size_t kCipherListSize = 1024;

std::mutex contextMutex;  // guards the sharedContext pointer (not the context's contents)

SSL_CTX* sharedContext = nullptr;

bool operator<(const DestSessionKey& a, const DestSessionKey& b) {
  return std::tie(a.address, a.port, a.serverName, a.verifyServer, a.certFile) <
         std::tie(b.address, b.port, b.serverName, b.verifyServer, b.certFile);
}
struct KeyLess {
  bool operator()(const DestSessionKey& a, const DestSessionKey& b) const { return a < b; }
};
std::mutex sessionCacheMutex;  // guards destSessionCache
std::map<DestSessionKey, SslSessionPtr, KeyLess> destSessionCache;

// Written by the start-up thread only (see the header).
std::vector<std::string> cipherNames;

// The library's options for the switches. SSL 2.0 no longer exists and SSL 3.0 is not built into
// the library, so only the TLS switch can change what a handshake may use; with it off no
// version is left and every handshake fails, as with all switches off before.
uint64_t libraryProtocolOptions(uint32_t oldBits) {
  uint64_t options = 0;
  if (oldBits & kOldNoSslv3) options |= SSL_OP_NO_SSLv3;
  if (oldBits & kOldNoTlsv1) {
    options |= SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1 | SSL_OP_NO_TLSv1_2 | SSL_OP_NO_TLSv1_3;
  }
  return options;
}

// The figures of the contexts replaced so far; guarded by contextMutex.
SessionFigures retiredFigures;

void addFigures(SessionFigures* sum, SSL_CTX* ctx) {
  sum->connect += SSL_CTX_sess_connect(ctx);
  sum->connectGood += SSL_CTX_sess_connect_good(ctx);
  sum->connectRenegotiate += SSL_CTX_sess_connect_renegotiate(ctx);
  sum->accept += SSL_CTX_sess_accept(ctx);
  sum->acceptGood += SSL_CTX_sess_accept_good(ctx);
  sum->acceptRenegotiate += SSL_CTX_sess_accept_renegotiate(ctx);
  sum->hits += SSL_CTX_sess_hits(ctx);
  sum->misses += SSL_CTX_sess_misses(ctx);
  sum->timeouts += SSL_CTX_sess_timeouts(ctx);
}

}  // namespace

uint32_t protocolOptionBits(uint32_t enableSsl2, uint32_t enableSsl3, uint32_t enableTls1) {
  uint32_t bits = 0;
  if (enableSsl2 == 0) bits |= kOldNoSslv2;
  if (enableSsl3 == 0) bits |= kOldNoSslv3;
  if (enableTls1 == 0) bits |= kOldNoTlsv1;
  return bits;
}

SslCtxPtr acquireSharedContext() {
  std::lock_guard<std::mutex> hold(contextMutex);
  if (sharedContext == nullptr) return nullptr;
  SSL_CTX_up_ref(sharedContext);
  return SslCtxPtr(sharedContext);
}

SslPtr newSharedSsl() {
  SslCtxPtr ctx = acquireSharedContext();
  if (ctx == nullptr) return nullptr;
  SslPtr ssl(SSL_new(ctx.get()));
  if (ssl == nullptr) log_openssl_errors(LOG_ERROR, bio_log_err);
  return ssl;
}

SslCtxPtr buildSharedContext(const config::Settings& settings) {
  SslCtxPtr ctx(SSL_CTX_new(TLS_method()));
  if (ctx == nullptr) {
    log_event(LOG_SERIOUS, 0x6001, kModule, __LINE__, "%s", "Couldn't create the SSL context");
    log_openssl_errors(LOG_ERROR, bio_log_err);
    return nullptr;
  }
  const uint32_t bits =
      protocolOptionBits(settings.sslEnableSsl2, settings.sslEnableSsl3, settings.sslEnableTls1);
  SSL_CTX_set_options(ctx.get(), libraryProtocolOptions(bits));
  SSL_CTX_set_options(ctx.get(), SSL_OP_ALL);
  SSL_CTX_set_default_passwd_cb(ctx.get(), sharedPasswordCallback);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, verify_callback);
  // No temporary RSA key callback: the library has none any more, and its key exchange is
  // ephemeral (ECDHE) by itself.
  SSL_CTX_set_client_cert_cb(ctx.get(), sharedClientCertificateCallback);
  SSL_CTX_set_quiet_shutdown(ctx.get(), 1);
  // Idle connections give their record buffers back.
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_RELEASE_BUFFERS);
  return ctx;
}

void installSharedContext(SslCtxPtr ctx) {
  SslCtxPtr old;
  std::lock_guard<std::mutex> hold(contextMutex);
  old.reset(sharedContext);  // freed after the lock, when the last SSL object of it goes
  sharedContext = ctx.release();
  if (old != nullptr) addFigures(&retiredFigures, old.get());
}

bool createSharedContext() {
  SslCtxPtr fresh = buildSharedContext(*config::runningSettings());
  if (fresh == nullptr) return false;
  installSharedContext(std::move(fresh));
  return true;
}

SessionFigures sessionFigures(SSL_CTX* ctx) {
  SessionFigures sum;
  {
    std::lock_guard<std::mutex> hold(contextMutex);
    sum = retiredFigures;
  }
  if (ctx != nullptr) {
    addFigures(&sum, ctx);
    sum.cacheSize = SSL_CTX_sess_number(ctx);
  }
  return sum;
}

void freeSharedContext() {
  SslCtxPtr old;
  std::lock_guard<std::mutex> hold(contextMutex);
  old.reset(sharedContext);
  sharedContext = nullptr;
}

std::string cipherRuleFor(const std::string& setting) {
  for (const FriendlyCipher& row : friendlyCipherTable) {
    if (setting == row.name) return row.rule;
  }
  return setting;
}

bool applyCipherList(SSL_CTX* ctx, const config::Settings& settings) {
  const std::string setting = settings.sslCipher.get();
  if (setting.empty() || ctx == nullptr) return true;
  std::string rule = cipherRuleFor(setting);
  if (rule.size() >= kCipherListSize) rule.resize(kCipherListSize - 1);
  // Only the TLS 1.2 and older suites follow this list; TLS 1.3 suites keep the library's
  // defaults (they are set with a separate call and have no weak members).
  if (SSL_CTX_set_cipher_list(ctx, rule.c_str()) == 1) return true;
  log_event(LOG_SERIOUS, 0x6100, kModule, __LINE__, "error setting cipher list using <%s>",
            setting.c_str());
  log_openssl_errors(LOG_ERROR, bio_log_err);
  return false;
}

void fillContextCipherNames() {
  SslPtr ssl = newSharedSsl();
  if (ssl == nullptr) return;
  for (int i = 0;; ++i) {
    const char* name = SSL_get_cipher_list(ssl.get(), i);
    if (name == nullptr) break;
    if (std::find(cipherNames.begin(), cipherNames.end(), name) == cipherNames.end()) {
      cipherNames.emplace_back(name);
    }
  }
}

const std::vector<std::string>& contextCipherNames() { return cipherNames; }

void flushServerSessions() {
  SslCtxPtr ctx = acquireSharedContext();
  // A time of 0 removes every session, expired or not.
  if (ctx != nullptr) SSL_CTX_flush_sessions(ctx.get(), 0);
}

void resetSessionCaches() {
  std::map<DestSessionKey, SslSessionPtr, KeyLess> old;
  {
    std::lock_guard<std::mutex> hold(sessionCacheMutex);
    old.swap(destSessionCache);
  }
  flushServerSessions();
  forgetLoadedCertificates();
}

void rememberDestSession(SSL* ssl) {
  if (ssl == nullptr || SSL_is_server(ssl)) return;
  const auto* key = static_cast<const DestSessionKey*>(SSL_get_app_data(ssl));
  SSL_SESSION* session = SSL_get0_session(ssl);
  if (key != nullptr && session != nullptr) destSessionStore(*key, session);
}

SslSessionPtr destSessionLookup(const DestSessionKey& key) {
  std::lock_guard<std::mutex> hold(sessionCacheMutex);
  auto it = destSessionCache.find(key);
  if (it == destSessionCache.end()) return nullptr;
  SSL_SESSION_up_ref(it->second.get());
  return SslSessionPtr(it->second.get());
}

void destSessionStore(const DestSessionKey& key, SSL_SESSION* session) {
  if (session == nullptr || SSL_SESSION_is_resumable(session) == 0) return;
  // A copy: the library marks the connection's own session unusable when that connection ends
  // without a shutdown, and how the data phase ends must not undo a good handshake.
  SslSessionPtr held(SSL_SESSION_dup(session));
  if (held == nullptr) return;
  std::lock_guard<std::mutex> hold(sessionCacheMutex);
  // The replaced session is released after the lock, when `held` goes out of scope.
  destSessionCache[key].swap(held);
}

}  // namespace relay
