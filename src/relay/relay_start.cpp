// The relay's start and end (`sslStartup`, `sslShutdown`) and `startRelay`, which builds the next
// configuration, swaps it in and makes sure that every port of its enabled rules is listened on.
#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "config/rules.h"
#include "config/settings.h"
#include "log/log.h"
#include "relay/listeners.h"
#include "relay/relay.h"
#include "relay/relay_config.h"
#include "relay/relay_state.h"
#include "relay/ssl_context.h"
#include "relay/worker_pool.h"
#include "security/crl_ldap.h"

namespace relay {

namespace {

constexpr char kModule[] = "proxy";

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
  if (!s.sslTicketKeys.get().empty()) {
    log_event(LOG_INFO, 0x6072, kModule, __LINE__, "ssl :-  ticket keys <%s>",
              s.sslTicketKeys.get().c_str());
  }
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
  log_event(LOG_INFO, 0x6074, kModule, __LINE__, "proxy :- authentication preference <%s>",
            s.proxyAuthPreference.get().c_str());
  log_event(LOG_INFO, 0x6074, kModule, __LINE__, "thread reuse enable <%d> default is <%d>",
            num(s.threadPoolEnable), 1);
  log_event(LOG_INFO, 0x6074, kModule, __LINE__, "NT :- running ? <%d> administrator ? <%d>",
            num(s.isNT), num(s.isAdmin));
  log_event(LOG_INFO, 0x6074, kModule, __LINE__, "performance  monitor enable <%d> default is <%d>",
            num(s.perfMonEnable), 1);
  logListReport("host list :- count %d ", "hostlist %d :- host <%s>", s.hostCount, s.hostList);
  logListReport("port list :- count %d ", "portlist %d :- port <%s>", s.portCount, s.portList);
}

// The ports of serving rules that have no listener running, one problem line each.
void noteIdlePorts(const RelayConfig& config, const ListenerTable& listeners,
                   std::vector<std::string>* problems) {
  std::vector<uint16_t> told;
  for (int i = 0; i < config.ruleTable.count; ++i) {
    const config::ccRule* rule = config.ruleTable.rules[i];
    if (rule == nullptr || !servesConnections(*rule) || listeners.running(rule->peerPort)) continue;
    if (std::find(told.begin(), told.end(), rule->peerPort) != told.end()) continue;
    told.push_back(rule->peerPort);
    problems->push_back("Port " + std::to_string(ntohs(rule->peerPort)) +
                        " could not be listened on");
  }
}

}  // namespace

void Relay::sslStartup() {
  // Connection threads may still run while the process exits; the library must not tear its
  // locks down under them.
  OPENSSL_init_ssl(
      OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_NO_ATEXIT,
      nullptr);
  if (const int err = statusThread_.start([this] { statusLoop(); }); err != 0) {
    log_event(LOG_SERIOUS, 0x6001, kModule, __LINE__, "Couldn't start the seeding thread: %s",
              std::strerror(err));
  }
  if (const int err = changeThread_.start([this] { changeLoop(); }); err != 0) {
    log_event(LOG_SERIOUS, 0x6001, kModule, __LINE__, "Couldn't start the change thread: %s",
              std::strerror(err));
  }
  // The pool exists for the life of the relay, so a later change of "thread.pool.enable" takes
  // effect at the next start.
  poolMade_ = loaded_.threadPoolEnable != 0 && createPool(&state_->workPool) != 0;
  if (!poolMade_) return;
  if (!state_->quietSet) {
    auto quiet = std::make_unique<QuietSet>(&state_->workPool);
    if (quiet->start()) state_->quietSet = std::move(quiet);
  } else {
    state_->quietSet->start();
  }
}

void Relay::sslShutdown() {
  fetcher_->stop();
  // Parked connections end before the pool that would resume them.
  if (state_->quietSet) state_->quietSet->stop();
  if (poolMade_) destroyPool(&state_->workPool);
  poolMade_ = false;
  ERR_clear_error();
}

ChangeResult Relay::startRelay(const config::Settings& settings, const config::RuleTable& rules) {
  // Everything this start sets up comes from one copy of the settings and rules, and the next
  // configuration is made whole from them before it replaces the running one.
  ChangeResult result;
  std::shared_ptr<const RelayConfig> next =
      buildRelayConfig(settings, rules, state_, &result.problems);
  const config::Settings& s = next->ccSettings;
  std::shared_ptr<const RelayConfig> old = current();
  state_->destSessionCache.clear(next->generation);
  state_->loadedPairs.clear();
  if (old != nullptr) flushServerSessions(old->sharedContext.get());
  // The fetcher of the running configuration stops (woken from its cycle) before the next one
  // starts; each holds its own reference on the store it serves.
  if (s.crlCheckEnable != 0 && next->sharedContext != nullptr) {
    fetcher_->start(SSL_CTX_get_cert_store(next->sharedContext.get()), root_, s.verbose != 0);
  } else {
    fetcher_->stop();
  }
  {
    std::lock_guard<std::mutex> hold(configMutex_);
    config_ = next;
  }
  if (old != nullptr) state_->retiredFigures.retire(old->sharedContext.get());
  old.reset();
  const std::string cipher = s.sslCipher.get();
  const std::string heading =
      "Cipher descriptions for " + (cipher.empty() ? std::string("ALL") : cipher) + " ....";
  logCipherDescriptions(next->sharedContext.get(), heading.c_str());
  result.listening = listeners_->ensure(*next);
  noteIdlePorts(*next, *listeners_, &result.problems);
  if (s.socksEnable != 0) {
    log_event(LOG_INFO, 0x6070, kModule, __LINE__, "Socks server %s  %s",
              s.socksServer.get().c_str(), s.socksPort.get().c_str());
  }
  const int count = next->ruleTable.count;
  const int ports = listeners_->count();
  log_event(LOG_INFO, 0x6070, kModule, __LINE__, "Configured %d %s on %d %s", count,
            plural(count, "rule", "rules"), ports, plural(ports, "port", "ports"));
  if (s.logDebug != 0 && s.showSettings != 0) logConfigurationReport(s);
  result.applied = true;
  return result;
}

}  // namespace relay
