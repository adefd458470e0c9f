#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/address.h"
#include "config/rules.h"
#include "config/settings.h"
#include "log/locks.h"
#include "log/log.h"
#include "platform/net.h"
#include "platform/socket_errors.h"
#include "relay/relay.h"
#include "relay/ssl_context.h"
#include "relay/worker_pool.h"
#include "security/crl_ldap.h"
#include "security/crl_store.h"

namespace relay {

std::atomic<uint32_t> relayPaused{0};
std::atomic<uint32_t> sessionFlushCounter{0};

namespace {

constexpr char kModule[] = "proxy";
constexpr int kListenBacklog = 511;

using config::ccSettings;

// One entry per distinct local port ever started; entries are never removed, so a port keeps
// its place for the life of the process.
struct ListenerEntry {
  uint16_t port;  // network byte order
  std::shared_ptr<std::atomic<bool>> running;
};

std::mutex listenerTableMutex;  // guards listenerTable
std::vector<ListenerEntry> listenerTable;

std::atomic<StatusTick> statusTick{nullptr};

// Closes a socket after a failure, when "tcp.close.sockets" asks for it.
void closeAfterFailure(platform::UniqueFd* fd, uint32_t level) {
  if (ccSettings.tcpCloseSockets == 0) {
    fd->release();  // left open on purpose
    return;
  }
  const int raw = fd->get();
  const int err = platform::closeSocket(fd);
  if (err != 0) {
    log_event(level, 0x6031, kModule, __LINE__, "close socket failed. <%u> <%s>",
              static_cast<unsigned>(raw), socket_error_text(err));
  }
}

void logGreeting(uint16_t port) {
  constexpr size_t kLineSize = 128;
  constexpr char kPrefix[] = "Listening on";
  char line[kLineSize];
  std::snprintf(line, sizeof line, "%s", kPrefix);
  for (const config::RuleRef& rule : config::snapshotRules()) {
    if (rule->peerPort != port) continue;
    config::describeRule(line + sizeof kPrefix - 1, kLineSize - (sizeof kPrefix - 1), rule.get());
    log_event(LOG_INFO, 0x6055, kModule, __LINE__, "%s", line);
  }
}

void flushSessionsWhenDue() {
  const auto limit = static_cast<int32_t>(ccSettings.sslSessionsFlushLimit.get());
  if (limit <= 0) return;
  const uint32_t seen = sessionFlushCounter.fetch_add(1);
  if (seen > static_cast<uint32_t>(limit)) {
    sessionFlushCounter = 0;
    flushServerSessions();
  }
}

void runConnection(void* arg) {
  connectionHandler(std::unique_ptr<connectInfo>(static_cast<connectInfo*>(arg)));
}

// Hands one accepted connection to the pool or to a thread of its own.
void dispatchConnection(std::unique_ptr<connectInfo> info) {
  char client[16];
  config::formatAddress(info->clientAddress, client);
  const int clientPort = ntohs(info->clientPort);
  const int localPort = ntohs(info->localPort);
  if (ccSettings.threadPoolEnable != 0) {
    connectInfo* raw = info.get();
    if (postWork(&workPool, runConnection, raw) != 0) {
      info.release();  // the work item owns it now
      return;
    }
    log_event(LOG_SERIOUS, 0x6059, kModule, __LINE__, "Couldn't add I/O work item for %s.%d:%d",
              client, clientPort, localPort);
    closeAfterFailure(&info->src, LOG_SERIOUS);
    return;
  }
  connectInfo* raw = info.release();
  try {
    std::thread([raw] { runConnection(raw); }).detach();
  } catch (const std::system_error&) {
    std::unique_ptr<connectInfo> back(raw);
    log_event(LOG_SERIOUS, 0x6060, kModule, __LINE__, "Couldn't create I/O thread for %s.%d:%d",
              client, clientPort, localPort);
    closeAfterFailure(&back->src, LOG_SERIOUS);
  }
}

// Returns the listener's exit code: 1 socket, 2 bind, 3 listen, 4 accept failed.
int acceptLoop(platform::UniqueFd* listenFd, uint16_t port) {
  for (;;) {
    flushSessionsWhenDue();
    int err = 0;
    uint32_t clientAddress = 0;
    uint16_t clientPort = 0;
    platform::UniqueFd client =
        platform::acceptOn(listenFd->get(), &clientAddress, &clientPort, &err);
    if (!client.valid()) {
      log_event(LOG_SERIOUS, 0x6056, kModule, __LINE__, "Accept failed on port %d: %s", ntohs(port),
                socket_error_text(err));
      closeAfterFailure(listenFd, LOG_SERIOUS);
      return 4;
    }
    char text[16];
    config::formatAddress(clientAddress, text);
    if (ccSettings.verbose != 0) {
      log_event(LOG_INFO, 0x6057, kModule, __LINE__, "Connection to port %d from %s.%d",
                ntohs(port), text, ntohs(clientPort));
    }
    if (relayPaused != 0) {
      log_event(LOG_INFO, 0x6058, kModule, __LINE__,
                "Paused, dropping connection to port %d from %s.%d", ntohs(port), text,
                ntohs(clientPort));
      closeAfterFailure(&client, LOG_INFO);
      continue;
    }
    auto info = std::make_unique<connectInfo>();
    info->clientAddress = clientAddress;
    info->clientPort = clientPort;
    info->localPort = port;
    info->src = std::move(client);
    dispatchConnection(std::move(info));
  }
}

int listenerThread(uint32_t interfaceAddress, uint16_t port) {
  int err = 0;
  platform::UniqueFd fd = platform::tcpSocket(&err);
  if (!fd.valid()) {
    log_event(LOG_SERIOUS, 0x6047, kModule, __LINE__,
              "Couldn't create listen socket for port %d: %s", ntohs(port), socket_error_text(err));
    return 1;
  }
  if (ccSettings.tcpLinger != 0) platform::setLinger(fd.get(), ccSettings.tcpLingerTime);
  if (ccSettings.tcpReuse != 0) platform::setReuseAddress(fd.get());
  if ((err = platform::bindTo(fd.get(), interfaceAddress, port)) != 0) {
    log_event(LOG_SERIOUS, 0x6053, kModule, __LINE__, "Couldn't bind to port %d: %s", ntohs(port),
              socket_error_text(err));
    closeAfterFailure(&fd, LOG_SERIOUS);
    return 2;
  }
  if ((err = platform::listenOn(fd.get(), kListenBacklog)) != 0) {
    log_event(LOG_SERIOUS, 0x6054, kModule, __LINE__, "Couldn't listen on port %d: %s", ntohs(port),
              socket_error_text(err));
    closeAfterFailure(&fd, LOG_SERIOUS);
    return 3;
  }
  logGreeting(port);
  return acceptLoop(&fd, port);
}

void startListener(ListenerEntry* entry, uint32_t interfaceAddress) {
  entry->running = std::make_shared<std::atomic<bool>>(true);
  std::thread([interfaceAddress, port = entry->port, running = entry->running] {
    listenerThread(interfaceAddress, port);
    *running = false;
  }).detach();
}

void ensureListeners() {
  std::lock_guard<std::mutex> hold(listenerTableMutex);
  for (const config::RuleRef& rule : config::snapshotRules()) {
    if (rule->disabled != 0) continue;
    // The interface and port numbers come from the texts the user typed.
    config::resolveRule(rule.get());
    const uint16_t port = rule->peerPort;
    ListenerEntry* found = nullptr;
    for (ListenerEntry& entry : listenerTable) {
      if (entry.port == port) found = &entry;
    }
    if (found == nullptr) {
      listenerTable.push_back(ListenerEntry{port, nullptr});
      startListener(&listenerTable.back(), rule->ifAddr);
    } else if (!*found->running) {
      startListener(found, rule->ifAddr);
    }
  }
}

void seedThread() {
  const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
  const pid_t pid = getpid();
  RAND_seed(&now, sizeof now);
  RAND_seed(&pid, sizeof pid);
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5000));
    const auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
    RAND_seed(&tick, sizeof tick);
    publishPerfCounters();
    if (StatusTick fn = statusTick.load(); fn != nullptr) fn();
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
void logConfigurationReport() {
  const config::Settings& s = ccSettings;
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

}  // namespace

void sslStartup() {
  crypto_locks_init();
  platform::ignoreSigpipe();
  // Connection threads may still run while the process exits; the library must not tear its
  // locks down under them.
  OPENSSL_init_ssl(
      OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_NO_ATEXIT,
      nullptr);
  createSharedContext();
  fillContextCipherNames();
  std::thread(seedThread).detach();
  if (ccSettings.threadPoolEnable != 0) createPool(&workPool);
}

int sslShutdown() {
  security::stopCrlFetcher();
  if (ccSettings.threadPoolEnable != 0) destroyPool(&workPool);
  freeSharedContext();
  crypto_locks_free();
  ERR_clear_error();
  return 1;
}

int startRelay() {
  resetSessionCaches();
  if (ccSettings.crlCheckEnable != 0) {
    if (SslCtxPtr ctx = acquireSharedContext()) {
      X509_STORE* crlStore = SSL_CTX_get_cert_store(ctx.get());
      if (const std::string crlDir = ccSettings.sslCrlLists.get(); !crlDir.empty()) {
        crl_load_dir(crlStore, crlDir.c_str());
        crl_list_all(crlStore);
      }
      // Stops the fetcher of the previous start (waking it from its cycle) before the new one
      // runs; the fetcher holds its own reference on the store it serves.
      security::startCrlFetcher(crlStore);
    }
  } else {
    security::stopCrlFetcher();
  }
  loadCaCertificates();
  setSharedCipherList();
  const std::string cipher = ccSettings.sslCipher.get();
  const std::string heading =
      "Cipher descriptions for " + (cipher.empty() ? std::string("ALL") : cipher) + " ....";
  logCipherDescriptions(heading.c_str());
  ensureListeners();
  if (ccSettings.socksEnable != 0) {
    log_event(LOG_INFO, 0x6070, kModule, __LINE__, "Socks server %s  %s",
              ccSettings.socksServer.get().c_str(), ccSettings.socksPort.get().c_str());
  }
  const int rules = config::ruleTable.count;
  const int ports = listenerCount();
  log_event(LOG_INFO, 0x6070, kModule, __LINE__, "Configured %d %s on %d %s", rules,
            plural(rules, "rule", "rules"), ports, plural(ports, "port", "ports"));
  if (ccSettings.logDebug != 0 && ccSettings.showSettings != 0) logConfigurationReport();
  return 0;
}

int listenerCount() {
  std::lock_guard<std::mutex> hold(listenerTableMutex);
  return static_cast<int>(listenerTable.size());
}

bool listenerRunning(uint16_t port) {
  std::lock_guard<std::mutex> hold(listenerTableMutex);
  for (const ListenerEntry& entry : listenerTable) {
    if (entry.port == port) return entry.running && *entry.running;
  }
  return false;
}

void setStatusTick(StatusTick tick) { statusTick = tick; }

}  // namespace relay
