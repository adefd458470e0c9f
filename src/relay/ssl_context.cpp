#include "relay/ssl_context.h"

#include <openssl/err.h>

#include <algorithm>
#include <cstring>
#include <tuple>

#include "config/cipher_names.h"
#include "config/settings.h"
#include "log/log.h"
#include "relay/questions.h"
#include "relay/relay_state.h"
#include "security/verify.h"

namespace relay {
namespace {

constexpr char kModule[] = "proxy";
constexpr uint32_t kOldNoSslv2 = 0x01000000;
constexpr uint32_t kOldNoSslv3 = 0x02000000;
constexpr uint32_t kOldNoTlsv1 = 0x04000000;
constexpr size_t kCipherListSize = 1024;

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

security::VerifyPolicy policyOf(const config::Settings& s) {
  security::VerifyPolicy p;
  p.crlCheckEnable = s.crlCheckEnable;
  p.crlPolicyFailCannotFindCrlForIssuer = s.crlPolicyFailCannotFindCrlForIssuer;
  p.crlPolicyFailExpiredCrlForIssuer = s.crlPolicyFailExpiredCrlForIssuer;
  p.crlPolicyFailValidCrlRevokesCert = s.crlPolicyFailValidCrlRevokesCert;
  p.filterEnable = s.filterEnable;
  p.filterHave = s.filterHave.get();
  p.filterHavenot = s.filterHavenot.get();
  return p;
}

void freeState(void* /*parent*/, void* ptr, CRYPTO_EX_DATA* /*ad*/, int /*index*/, long /*argl*/,
               void* /*argp*/) {
  delete static_cast<std::shared_ptr<RelayState>*>(ptr);
}

// The index of the relay's state in a context's application data; taken once for the process.
int stateIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, freeState);
  return index;
}

}  // namespace

bool attachRelayState(SSL_CTX* ctx, std::shared_ptr<RelayState> state) {
  auto* held = new (std::nothrow) std::shared_ptr<RelayState>(std::move(state));
  if (held == nullptr || stateIndex() < 0 || SSL_CTX_set_ex_data(ctx, stateIndex(), held) != 1) {
    delete held;
    return false;
  }
  return true;
}

RelayState* stateOf(const SSL* ssl) {
  const SSL_CTX* ctx = ssl != nullptr ? SSL_get_SSL_CTX(ssl) : nullptr;
  if (ctx == nullptr) return nullptr;
  const auto* held =
      static_cast<std::shared_ptr<RelayState>*>(SSL_CTX_get_ex_data(ctx, stateIndex()));
  return held != nullptr ? held->get() : nullptr;
}

uint32_t protocolOptionBits(uint32_t enableSsl2, uint32_t enableSsl3, uint32_t enableTls1) {
  uint32_t bits = 0;
  if (enableSsl2 == 0) bits |= kOldNoSslv2;
  if (enableSsl3 == 0) bits |= kOldNoSslv3;
  if (enableTls1 == 0) bits |= kOldNoTlsv1;
  return bits;
}

SslPtr newSharedSsl(SSL_CTX* ctx) {
  if (ctx == nullptr) return nullptr;
  SslPtr ssl(SSL_new(ctx));
  if (ssl == nullptr) log_openssl_errors(LOG_ERROR, bio_log_err);
  return ssl;
}

SslCtxPtr buildSharedContext(const config::Settings& settings,
                             const std::shared_ptr<RelayState>& state) {
  SslCtxPtr ctx(SSL_CTX_new(TLS_method()));
  if (ctx == nullptr || !security::attachVerifyPolicy(ctx.get(), policyOf(settings)) ||
      !attachRelayState(ctx.get(), state)) {
    log_event(LOG_SERIOUS, 0x6001, kModule, __LINE__, "%s", "Couldn't create the SSL context");
    log_openssl_errors(LOG_ERROR, bio_log_err);
    return nullptr;
  }
  const uint32_t bits =
      protocolOptionBits(settings.sslEnableSsl2, settings.sslEnableSsl3, settings.sslEnableTls1);
  SSL_CTX_set_options(ctx.get(), libraryProtocolOptions(bits));
  SSL_CTX_set_options(ctx.get(), SSL_OP_ALL);
  SSL_CTX_set_default_passwd_cb(ctx.get(), sharedPasswordCallback);
  SSL_CTX_set_default_passwd_cb_userdata(ctx.get(), &state->questions);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, verify_callback);
  // No temporary RSA key callback: the library has none any more, and its key exchange is
  // ephemeral (ECDHE) by itself.
  SSL_CTX_set_client_cert_cb(ctx.get(), sharedClientCertificateCallback);
  SSL_CTX_set_quiet_shutdown(ctx.get(), 1);
  // Idle connections give their record buffers back.
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_RELEASE_BUFFERS);
  return ctx;
}

void RetiredFigures::retire(SSL_CTX* ctx) {
  if (ctx == nullptr) return;
  std::lock_guard<std::mutex> hold(mutex_);
  addFigures(&sum_, ctx);
}

SessionFigures RetiredFigures::with(SSL_CTX* current) const {
  SessionFigures sum;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    sum = sum_;
  }
  if (current != nullptr) {
    addFigures(&sum, current);
    sum.cacheSize = SSL_CTX_sess_number(current);
  }
  return sum;
}

bool setCipherText(SSL_CTX* ctx, const std::string& setting) {
  std::string rule = config::cipherRuleFor(setting);
  if (rule.size() >= kCipherListSize) rule.resize(kCipherListSize - 1);
  // TLS 1.3 suites ("TLS_AES_256_GCM_SHA384") are set with a call of their own, the older
  // suites and the rule words with the cipher list; a text may hold both kinds. A kind that is
  // not named keeps the library's defaults.
  std::string tls13;
  std::string older;
  size_t start = 0;
  while (start <= rule.size()) {
    size_t end = rule.find_first_of(":, ;", start);
    if (end == std::string::npos) end = rule.size();
    const std::string part = rule.substr(start, end - start);
    if (!part.empty()) {
      std::string& list = part.rfind("TLS_", 0) == 0 ? tls13 : older;
      if (!list.empty()) list += ':';
      list += part;
    }
    start = end + 1;
  }
  if (tls13.empty() && older.empty()) return false;
  return (tls13.empty() || SSL_CTX_set_ciphersuites(ctx, tls13.c_str()) == 1) &&
         (older.empty() || SSL_CTX_set_cipher_list(ctx, older.c_str()) == 1);
}

bool applyCipherList(SSL_CTX* ctx, const config::Settings& settings) {
  const std::string setting = settings.sslCipher.get();
  if (setting.empty() || ctx == nullptr) return true;
  if (setCipherText(ctx, setting)) return true;
  log_event(LOG_SERIOUS, 0x6100, kModule, __LINE__, "error setting cipher list using <%s>",
            setting.c_str());
  log_openssl_errors(LOG_ERROR, bio_log_err);
  return false;
}

std::vector<std::string> contextCipherNames(SSL_CTX* ctx) {
  std::vector<std::string> names;
  SslPtr ssl = newSharedSsl(ctx);
  if (ssl == nullptr) return names;
  for (int i = 0;; ++i) {
    const char* name = SSL_get_cipher_list(ssl.get(), i);
    if (name == nullptr) break;
    if (std::find(names.begin(), names.end(), name) == names.end()) names.emplace_back(name);
  }
  return names;
}

void flushServerSessions(SSL_CTX* ctx) {
  // A time of 0 removes every session, expired or not.
  if (ctx != nullptr) SSL_CTX_flush_sessions(ctx, 0);
}

bool DestSessionKey::operator<(const DestSessionKey& b) const {
  if (configuration != b.configuration) return configuration < b.configuration;
  // The address has no padding: its family flag and bytes compare as they lie.
  if (const int order = std::memcmp(&address, &b.address, sizeof address); order != 0) {
    return order < 0;
  }
  return std::tie(port, serverName, verifyServer, certFile) <
         std::tie(b.port, b.serverName, b.verifyServer, b.certFile);
}

void rememberDestSession(SSL* ssl) {
  if (ssl == nullptr || SSL_is_server(ssl)) return;
  const auto* key = static_cast<const DestSessionKey*>(SSL_get_app_data(ssl));
  SSL_SESSION* session = SSL_get0_session(ssl);
  RelayState* state = stateOf(ssl);
  if (key != nullptr && session != nullptr && state != nullptr) {
    state->destSessionCache.store(*key, session);
  }
}

SslSessionPtr DestSessionCache::lookup(const DestSessionKey& key) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto it = sessions_.find(key);
  if (it == sessions_.end()) return nullptr;
  SSL_SESSION_up_ref(it->second.get());
  return SslSessionPtr(it->second.get());
}

void DestSessionCache::store(const DestSessionKey& key, SSL_SESSION* session) {
  if (session == nullptr || SSL_SESSION_is_resumable(session) == 0) return;
  // A copy: the library marks the connection's own session unusable when that connection ends
  // without a shutdown, and how the data phase ends must not undo a good handshake.
  SslSessionPtr held(SSL_SESSION_dup(session));
  if (held == nullptr) return;
  std::lock_guard<std::mutex> hold(mutex_);
  if (key.configuration != configuration_) return;
  // The replaced session is released after the lock, when `held` goes out of scope.
  sessions_[key].swap(held);
}

void DestSessionCache::clear(uint64_t configuration) {
  std::map<DestSessionKey, SslSessionPtr> old;
  std::lock_guard<std::mutex> hold(mutex_);
  old.swap(sessions_);
  configuration_ = configuration;
}

void DestSessionCache::clear() {
  std::map<DestSessionKey, SslSessionPtr> old;
  std::lock_guard<std::mutex> hold(mutex_);
  old.swap(sessions_);
}

}  // namespace relay
