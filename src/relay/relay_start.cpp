#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/address.h"
#include "config/rules.h"
#include "config/settings.h"
#include "log/log.h"
#include "platform/memory.h"
#include "platform/net.h"
#include "platform/socket_errors.h"
#include "platform/threads.h"
#include "relay/relay.h"
#include "relay/ssl_context.h"
#include "relay/worker_pool.h"
#include "security/crl_ldap.h"
#include "security/crl_store.h"

namespace relay {

namespace {

constexpr char kModule[] = "proxy";

// Set at start-up from "thread.pool.enable": the pool exists for the life of the process, so a
// later change of the setting takes effect at the next start.
std::atomic<bool> poolMade{false};

void seedThread() {
  const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
  const pid_t pid = getpid();
  RAND_seed(&now, sizeof now);
  RAND_seed(&pid, sizeof pid);
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5000));
    const auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
    RAND_seed(&tick, sizeof tick);
    statusTick();
  }
}

// A settings number as the report's "%d" shows it.
int num(uint32_t value) { return static_cast<int>(value); }

const char* plural(long n, const char* one, const char* many) { return n == 1 ? one : many; }

void logListReport(const char* heading, const char* entryFormat, uint32_t count,
                   const config::SettingText* entries) {
  log_event(LOG_INFO, 0x6074, kModule, __LINE__, heading, static_cast<int>(count));
  for (uint32_t i = 0; i < count && i < config::kMaxListEntries; ++i) {
    const std::string text = entries[i].get();
    log_event(LOG_INFO, 0x6074, kModule, __LINE__, entryFormat, static_cast<int>(i), text.c_str());
  }
}

// The settings as the relay starts with them, one line each.
void logConfigurationReport(const config::Settings& s) {
  log_event(LOG_INFO, 0x6070, kModule, __LINE__, "build time :-  <%s> <%s>", kModule,
            __DATE__ " " __TIME__);
  log_event(LOG_INFO, 0x6078, kModule, __LINE__, "NIC :-  <%s>", s.adapterAddress.get().c_str());
  log_event(LOG_INFO, 0x6072, kModule, __LINE__, "ssl :-  enable ssl2 <%d>", num(s.sslEnableSsl2));
  log_event(LOG_INFO, 0x6072, kModule, __LINE__, "ssl :-  enable ssl3 <%d>", num(s.sslEnableSsl3));
  log_event(LOG_INFO, 0x6072, kModule, __LINE__, "ssl :-  enable tls1 <%d>", num(s.sslEnableTls1));
  log_event(LOG_INFO, 0x6072, kModule, __LINE__, "ssl :-  # ssl ports <%d>", num(s.sslPortCount));
  log_event(LOG_INFO, 0x6072, kModule, __LINE__, "ssl :-  registry CA certificates <%d>",
            num(s.sslUseSystemRegistry));
  log_event(LOG_INFO, 0x6072, kModule, __LINE__, "ssl :-  session cache mode <%d> default <%d>",
            num(s.sslSessionCacheMode), 3);
  log_event(LOG_INFO, 0x6073, kModule, __LINE__, "TCP :- linger:<%d>, linger time :<%d>",
            num(s.tcpLinger), num(s.tcpLingerTime));
  log_event(LOG_INFO, 0x6073, kModule, __LINE__, "TCP :- nodelay:<%d>, timeout:<%d>",
            num(s.tcpNodelay), num(s.tcpTimeout));
  log_event(LOG_INFO, 0x6073, kModule, __LINE__, "TCP :- hard closesockets <%d>",
            num(s.tcpCloseSockets));
  log_event(LOG_INFO, 0x6073, kModule, __LINE__, "TCP :- closesockets <%d>",
            num(s.tcpCloseSockets));
  log_event(LOG_INFO, 0x6073, kModule, __LINE__, "TCP :- max connections <%d>",
            num(s.tcpMaxConnections));
  log_event(LOG_INFO, 0x6074, kModule, __LINE__, "other :- sleep <%d>", num(s.tcpSleep));
  log_event(LOG_INFO, 0x6074, kModule, __LINE__, "other :- loop sleep <%d>", num(s.tcpLoopsleep));
  log_event(LOG_INFO, 0x6074, kModule, __LINE__, "other :- debug <%d>", num(s.debug));
  log_event(LOG_INFO, 0x6074, kModule, __LINE__, "other :- screen saver logout <%d>",
            num(s.ssvrLogout));
  log_event(LOG_INFO, 0x6074, kModule, __LINE__, "other :- browser logout <%d>", num(s.ddeEnable));
  log_event(LOG_INFO, 0x6074, kModule, __LINE__, "other :- pw save <%d>", num(s.sslSavePasswd));
  log_event(LOG_INFO, 0x6074, kModule, __LINE__, "thread reuse enable <%d> default is <%d>",
            num(s.threadPoolEnable), 1);
  log_event(LOG_INFO, 0x6074, kModule, __LINE__, "NT :- running ? <%d> administrator ? <%d>",
            num(s.isNT), num(s.isAdmin));
  log_event(LOG_INFO, 0x6074, kModule, __LINE__, "performance  monitor enable <%d> default is <%d>",
            num(s.perfMonEnable), 1);
  logListReport("host list :- count %d ", "hostlist %d :- host <%s>", s.hostCount, s.hostList);
  logListReport("port list :- count %d ", "portlist %d :- port <%s>", s.portCount, s.portList);
}

// What a new context holds before it serves: the CRLs (and the fetcher that refreshes them), the
// trusted CA certificates and the cipher list.
void prepareContext(SSL_CTX* ctx, const config::Settings& s) {
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  if (s.crlCheckEnable != 0) {
    if (const std::string crlDir = s.sslCrlLists.get(); !crlDir.empty()) {
      crl_load_dir(store, crlDir.c_str());
      crl_list_all(store);
    }
    // Stops the fetcher of the previous start (waking it from its cycle) before the new one
    // runs; the fetcher holds its own reference on the store it serves.
    security::startCrlFetcher(store);
  } else {
    security::stopCrlFetcher();
  }
  loadCaCertificates(ctx, s);
  applyCipherList(ctx, s);
}

}  // namespace

void sslStartup() {
  platform::ignoreSigpipe();
  platform::tuneHeapForRelaying();
  // Connection threads may still run while the process exits; the library must not tear its
  // locks down under them.
  OPENSSL_init_ssl(
      OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_NO_ATEXIT,
      nullptr);
  const config::SettingsSnapshot settings = config::publishSettings(config::ccSettings);
  createSharedContext();
  fillContextCipherNames();
  if (const int err = platform::startDetachedThread(seedThread); err != 0) {
    log_event(LOG_SERIOUS, 0x6001, kModule, __LINE__, "Couldn't start the seeding thread: %s",
              std::strerror(err));
  }
  if (settings->threadPoolEnable != 0 && createPool(&workPool) != 0) poolMade = true;
}

int sslShutdown() {
  security::stopCrlFetcher();
  if (poolMade.exchange(false)) destroyPool(&workPool);
  freeSharedContext();
  ERR_clear_error();
  return 1;
}

bool poolInUse() { return poolMade.load(); }

int startRelay() {
  // Everything this start sets up comes from one copy of the settings, and a new context is
  // made whole from it before it replaces the running one.
  const config::SettingsSnapshot settings = config::publishSettings(config::ccSettings);
  const config::Settings& s = *settings;
  SslCtxPtr ctx = buildSharedContext(s);
  resetSessionCaches();
  if (ctx != nullptr) {
    prepareContext(ctx.get(), s);
    installSharedContext(std::move(ctx));
  }
  const std::string cipher = s.sslCipher.get();
  const std::string heading =
      "Cipher descriptions for " + (cipher.empty() ? std::string("ALL") : cipher) + " ....";
  logCipherDescriptions(heading.c_str());
  const int listening = ensureListeners();
  if (s.socksEnable != 0) {
    log_event(LOG_INFO, 0x6070, kModule, __LINE__, "Socks server %s  %s",
              s.socksServer.get().c_str(), s.socksPort.get().c_str());
  }
  const int rules = config::ruleTable.count;
  const int ports = listenerCount();
  log_event(LOG_INFO, 0x6070, kModule, __LINE__, "Configured %d %s on %d %s", rules,
            plural(rules, "rule", "rules"), ports, plural(ports, "port", "ports"));
  if (s.logDebug != 0 && s.showSettings != 0) logConfigurationReport(s);
  return listening;
}

}  // namespace relay
