#include "relay/ssl_context.h"

#include <openssl/err.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>

#include "config/settings.h"
#include "log/log.h"
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

SSL_CTX* buildContext() {
  SSL_CTX* ctx = SSL_CTX_new(TLS_method());
  if (ctx == nullptr) return nullptr;
  const uint32_t bits =
      protocolOptionBits(config::ccSettings.sslEnableSsl2, config::ccSettings.sslEnableSsl3,
                         config::ccSettings.sslEnableTls1);
  SSL_CTX_set_options(ctx, libraryProtocolOptions(bits));
  SSL_CTX_set_options(ctx, SSL_OP_ALL);
  SSL_CTX_set_default_passwd_cb(ctx, sharedPasswordCallback);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, verify_callback);
  // No temporary RSA key callback: the library has none any more, and its key exchange is
  // ephemeral (ECDHE) by itself. No client-certificate callback until the certificate dialogs
  // offer one.
  SSL_CTX_set_quiet_shutdown(ctx, 1);
  // Idle connections give their record buffers back.
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
  return ctx;
}

}  // namespace

uint32_t protocolOptionBits(uint32_t enableSsl2, uint32_t enableSsl3, uint32_t enableTls1) {
  uint32_t bits = 0;
  if (enableSsl2 == 0) bits |= kOldNoSslv2;
  if (enableSsl3 == 0) bits |= kOldNoSslv3;
  if (enableTls1 == 0) bits |= kOldNoTlsv1;
  return bits;
}

int sharedPasswordCallback(char* buf, int size, int /*rwflag*/, void* /*userdata*/) {
  if (buf == nullptr || size <= 0) return 0;
  const std::string phrase = config::passphrase();
  // Leave room for a terminating zero: some readers treat the buffer as a C string.
  const size_t n = std::min(phrase.size(), static_cast<size_t>(size - 1));
  std::memcpy(buf, phrase.data(), n);
  buf[n] = '\0';
  return static_cast<int>(n);
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

bool createSharedContext() {
  SslCtxPtr fresh(buildContext());
  if (fresh == nullptr) {
    log_event(LOG_SERIOUS, 0x6001, kModule, __LINE__, "%s", "Couldn't create the SSL context");
    log_openssl_errors(LOG_ERROR, bio_log_err);
    return false;
  }
  SslCtxPtr old;
  {
    std::lock_guard<std::mutex> hold(contextMutex);
    old.reset(sharedContext);
    sharedContext = fresh.release();
  }
  return true;
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

bool setSharedCipherList() {
  const std::string setting = config::ccSettings.sslCipher.get();
  if (setting.empty()) return true;
  std::string rule = cipherRuleFor(setting);
  if (rule.size() >= kCipherListSize) rule.resize(kCipherListSize - 1);
  SslCtxPtr ctx = acquireSharedContext();
  if (ctx == nullptr) return false;
  // Only the TLS 1.2 and older suites follow this list; TLS 1.3 suites keep the library's
  // defaults (they are set with a separate call and have no weak members).
  int ok = 0;
  {
    std::lock_guard<std::mutex> hold(contextMutex);
    ok = SSL_CTX_set_cipher_list(ctx.get(), rule.c_str());
  }
  if (ok == 1) return true;
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
