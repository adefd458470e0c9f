// The listeners: one thread per distinct local port of the enabled rules, each accepting
// connections and handing them, as a `connectInfo`, to a thread of their own or to the pool.
#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/address.h"
#include "config/rules.h"
#include "config/settings.h"
#include "log/log.h"
#include "platform/net.h"
#include "platform/socket_errors.h"
#include "platform/threads.h"
#include "relay/relay.h"
#include "relay/ssl_context.h"
#include "relay/worker_pool.h"

namespace relay {

std::atomic<uint32_t> relayPaused{0};
std::atomic<uint32_t> sessionFlushCounter{0};

namespace {

constexpr char kModule[] = "proxy";
constexpr int kListenBacklog = 511;

// One entry per distinct local port ever started; entries are never removed, so a port keeps
// its place for the life of the process.
struct ListenerEntry {
  uint16_t port;  // network byte order
  std::shared_ptr<std::atomic<bool>> running;
};

std::mutex listenerTableMutex;  // guards listenerTable
std::vector<ListenerEntry> listenerTable;

// Connections accepted and not yet ended, whatever "stats.enable" says; "tcp.max.connections"
// is held against it.
std::atomic<uint32_t> openConnections{0};

// Gives back the place in the count that the listener took for a connection.
struct CountedConnection {
  CountedConnection() = default;
  CountedConnection(const CountedConnection&) = delete;
  CountedConnection& operator=(const CountedConnection&) = delete;
  ~CountedConnection() { openConnections.fetch_sub(1, std::memory_order_relaxed); }
};

// A connection beyond the limit is refused and closed: left open, each would hold a descriptor
// of the very kind the limit is there to save.
bool refusedByLimit(const config::Settings& s, platform::UniqueFd* client, uint16_t port,
                    const char* from, uint16_t fromPort) {
  const uint32_t limit = s.tcpMaxConnections;
  if (limit == 0 || openConnections.load(std::memory_order_relaxed) < limit) return false;
  log_event(LOG_WARNING, 0x605A, kModule, __LINE__,
            "Connection limit of %d reached, refusing connection to port %d from %s.%d",
            static_cast<int>(limit), ntohs(port), from, ntohs(fromPort));
  platform::closeSocket(client);
  return true;
}

// Closes a socket after a failure, when "tcp.close.sockets" asks for it.
void closeAfterFailure(const config::Settings& s, platform::UniqueFd* fd, uint32_t level) {
  if (s.tcpCloseSockets == 0) {
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

void flushSessionsWhenDue(const config::Settings& s) {
  const auto limit = static_cast<int32_t>(s.sslSessionsFlushLimit.get());
  if (limit <= 0) return;
  const uint32_t seen = sessionFlushCounter.fetch_add(1);
  if (seen > static_cast<uint32_t>(limit)) {
    sessionFlushCounter = 0;
    flushServerSessions();
  }
}

void runConnection(void* arg) {
  const CountedConnection counted;
  connectionHandler(std::unique_ptr<connectInfo>(static_cast<connectInfo*>(arg)));
}

// Hands one accepted connection to the pool or to a thread of its own.
void dispatchConnection(const config::Settings& s, std::unique_ptr<connectInfo> info) {
  char client[16];
  config::formatAddress(info->clientAddress, client);
  const int clientPort = ntohs(info->clientPort);
  const int localPort = ntohs(info->localPort);
  if (poolInUse()) {
    connectInfo* raw = info.get();
    if (postWork(&workPool, runConnection, raw) != 0) {
      info.release();  // the work item owns it now
      return;
    }
    log_event(LOG_SERIOUS, 0x6059, kModule, __LINE__, "Couldn't add I/O work item for %s.%d:%d",
              client, clientPort, localPort);
    closeAfterFailure(s, &info->src, LOG_SERIOUS);
    openConnections.fetch_sub(1, std::memory_order_relaxed);
    return;
  }
  connectInfo* raw = info.release();
  if (platform::startDetachedThread([raw] { runConnection(raw); }, kConnectionStackBytes) != 0) {
    std::unique_ptr<connectInfo> back(raw);
    log_event(LOG_SERIOUS, 0x6060, kModule, __LINE__, "Couldn't create I/O thread for %s.%d:%d",
              client, clientPort, localPort);
    closeAfterFailure(s, &back->src, LOG_SERIOUS);
    openConnections.fetch_sub(1, std::memory_order_relaxed);
  }
}

// Waits before the next accept after a passing failure (out of descriptors or memory): long
// enough that a listener does not spin or flood the log, short enough to serve again soon.
class AcceptBackoff {
 public:
  void failed() {
    std::this_thread::sleep_for(wait_);
    wait_ = std::min(wait_ * 2, std::chrono::milliseconds(2000));
  }
  void succeeded() { wait_ = std::chrono::milliseconds(50); }

 private:
  std::chrono::milliseconds wait_{50};
};

// Returns the listener's exit code: 4 when its listening socket broke.
int acceptLoop(platform::UniqueFd* listenFd, uint16_t port) {
  AcceptBackoff backoff;
  for (;;) {
    flushSessionsWhenDue(*config::runningSettings());
    int err = 0;
    bool passing = false;
    uint32_t clientAddress = 0;
    uint16_t clientPort = 0;
    platform::UniqueFd client =
        platform::acceptOn(listenFd->get(), &clientAddress, &clientPort, &err, &passing);
    // The settings of the moment serve this one connection from its accept to its end.
    const config::SettingsSnapshot settings = config::runningSettings();
    const config::Settings& s = *settings;
    if (!client.valid()) {
      log_event(LOG_SERIOUS, 0x6056, kModule, __LINE__, "Accept failed on port %d: %s", ntohs(port),
                socket_error_text(err));
      if (passing) {
        backoff.failed();
        continue;
      }
      closeAfterFailure(s, listenFd, LOG_SERIOUS);
      return 4;
    }
    backoff.succeeded();
    char text[16];
    config::formatAddress(clientAddress, text);
    if (s.verbose != 0) {
      log_event(LOG_INFO, 0x6057, kModule, __LINE__, "Connection to port %d from %s.%d",
                ntohs(port), text, ntohs(clientPort));
    }
    if (relayPaused != 0) {
      log_event(LOG_INFO, 0x6058, kModule, __LINE__,
                "Paused, dropping connection to port %d from %s.%d", ntohs(port), text,
                ntohs(clientPort));
      closeAfterFailure(s, &client, LOG_INFO);
      continue;
    }
    if (refusedByLimit(s, &client, port, text, clientPort)) continue;
    // Counted from the accept, so that connections accepted faster than their threads start are
    // held against the limit too; the connection gives its place back when it ends.
    openConnections.fetch_add(1, std::memory_order_relaxed);
    auto info = std::make_unique<connectInfo>();
    info->clientAddress = clientAddress;
    info->clientPort = clientPort;
    info->localPort = port;
    info->src = std::move(client);
    info->settings = settings;
    dispatchConnection(s, std::move(info));
  }
}

// The listening socket of a port, made on the thread that starts the relay so that it knows at
// once which ports it could open. Returns 0, or the exit code of a listener that failed: 1 socket,
// 2 bind, 3 listen.
int openListener(uint32_t interfaceAddress, uint16_t port, platform::UniqueFd* out) {
  const config::SettingsSnapshot settings = config::runningSettings();
  const config::Settings& s = *settings;
  int err = 0;
  platform::UniqueFd fd = platform::tcpSocket(&err);
  if (!fd.valid()) {
    log_event(LOG_SERIOUS, 0x6047, kModule, __LINE__,
              "Couldn't create listen socket for port %d: %s", ntohs(port), socket_error_text(err));
    return 1;
  }
  if (s.tcpLinger != 0) platform::setLinger(fd.get(), s.tcpLingerTime);
  if (s.tcpReuse != 0) platform::setReuseAddress(fd.get());
  if ((err = platform::bindTo(fd.get(), interfaceAddress, port)) != 0) {
    log_event(LOG_SERIOUS, 0x6053, kModule, __LINE__, "Couldn't bind to port %d: %s", ntohs(port),
              socket_error_text(err));
    closeAfterFailure(s, &fd, LOG_SERIOUS);
    return 2;
  }
  if ((err = platform::listenOn(fd.get(), kListenBacklog)) != 0) {
    log_event(LOG_SERIOUS, 0x6054, kModule, __LINE__, "Couldn't listen on port %d: %s", ntohs(port),
              socket_error_text(err));
    closeAfterFailure(s, &fd, LOG_SERIOUS);
    return 3;
  }
  *out = std::move(fd);
  return 0;
}

void startListener(ListenerEntry* entry, uint32_t interfaceAddress) {
  const uint16_t port = entry->port;
  platform::UniqueFd fd;
  if (openListener(interfaceAddress, port, &fd) != 0) return;
  logGreeting(port);
  auto running = std::make_shared<std::atomic<bool>>(true);
  auto listening = std::make_shared<platform::UniqueFd>(std::move(fd));
  const int err = platform::startDetachedThread([port, running, listening] {
    acceptLoop(listening.get(), port);
    *running = false;
  });
  if (err != 0) {
    log_event(LOG_SERIOUS, 0x6060, kModule, __LINE__, "Couldn't start the listener of port %d: %s",
              ntohs(port), std::strerror(err));
    return;
  }
  entry->running = std::move(running);
}

}  // namespace

int ensureListeners() {
  std::lock_guard<std::mutex> hold(listenerTableMutex);
  for (const config::RuleRef& rule : config::snapshotRules()) {
    if (rule->disabled != 0 || rule->refused) continue;
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
    } else if (!found->running || !*found->running) {
      startListener(found, rule->ifAddr);
    }
  }
  int running = 0;
  for (const ListenerEntry& entry : listenerTable) running += entry.running && *entry.running;
  return running;
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

}  // namespace relay
