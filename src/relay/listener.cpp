// The listeners: one thread per distinct local port of the enabled rules, each accepting
// connections and handing them, as a `connectInfo`, to a thread of their own or to the pool.
#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
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
#include "relay/connect_info.h"
#include "relay/connection.h"
#include "relay/listeners.h"
#include "relay/log_throttle.h"
#include "relay/worker_pool.h"

namespace relay {

namespace {

constexpr char kModule[] = "proxy";
constexpr int kListenBacklog = 511;

// A connection beyond the limit is refused and closed: left open, each would hold a descriptor
// of the very kind the limit is there to save.
bool refusedByLimit(const config::Settings& s, RelayState& state, platform::UniqueFd* client,
                    uint16_t port, const char* from) {
  const uint32_t limit = s.tcpMaxConnections;
  if (limit == 0 || state.openConnections.load(std::memory_order_relaxed) < limit) return false;
  if (uint64_t leftOut = 0; state.limitRefusals.admit(&leftOut)) {
    logLeftOut(LOG_WARNING, 0x605A, leftOut);
    log_event(LOG_WARNING, 0x605A, kModule, __LINE__,
              "Connection limit of %d reached, refusing connection to port %d from %s",
              static_cast<int>(limit), ntohs(port), from);
  }
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

void logGreeting(const config::RuleTable& rules, uint16_t port) {
  constexpr size_t kLineSize = 128;
  constexpr char kPrefix[] = "Listening on";
  char line[kLineSize];
  std::snprintf(line, sizeof line, "%s", kPrefix);
  for (int i = 0; i < rules.count; ++i) {
    const config::ccRule* rule = rules.rules[i];
    if (rule == nullptr || rule->peerPort != port) continue;
    config::describeRule(line + sizeof kPrefix - 1, kLineSize - (sizeof kPrefix - 1), rule);
    log_event(LOG_INFO, 0x6055, kModule, __LINE__, "%s", line);
  }
}

void flushSessionsWhenDue(const RelayConfig& config, RelayState& state) {
  const auto limit = static_cast<int32_t>(config.ccSettings.sslSessionsFlushLimit.get());
  if (limit <= 0) return;
  const uint32_t seen = state.sessionFlushCounter.fetch_add(1);
  if (seen > static_cast<uint32_t>(limit)) {
    state.sessionFlushCounter = 0;
    flushServerSessions(config.sharedContext.get());
  }
}

void runConnection(void* arg) {
  connectionHandler(std::unique_ptr<connectInfo>(static_cast<connectInfo*>(arg)));
}

// Hands one accepted connection to the pool or to a thread of its own.
void dispatchConnection(const config::Settings& s, RelayState& state,
                        std::unique_ptr<connectInfo> info) {
  const platform::EndpointText client =
      platform::endpointText(info->clientAddress, ntohs(info->clientPort), '.');
  const int localPort = ntohs(info->localPort);
  if (state.workPool.queue) {
    connectInfo* raw = info.get();
    if (postWork(&state.workPool, runConnection, raw) != 0) {
      info.release();  // the work item owns it now
      return;
    }
    log_event(LOG_SERIOUS, 0x6059, kModule, __LINE__, "Couldn't add I/O work item for %s:%d",
              client.text, localPort);
    closeAfterFailure(s, &info->src, LOG_SERIOUS);
    return;
  }
  connectInfo* raw = info.release();
  if (platform::startDetachedThread([raw] { runConnection(raw); }, kConnectionStackBytes) != 0) {
    std::unique_ptr<connectInfo> back(raw);
    log_event(LOG_SERIOUS, 0x6060, kModule, __LINE__, "Couldn't create I/O thread for %s:%d",
              client.text, localPort);
    closeAfterFailure(s, &back->src, LOG_SERIOUS);
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

// "tcp.nodelay" and "tcp.linger" in one word: what a listening socket was given, and so what the
// sockets it accepts start with.
uint32_t socketOptionsOf(const config::Settings& s) {
  const uint32_t linger = s.tcpLinger != 0 ? 2U | ((s.tcpLingerTime & 0xFFFFU) << 16) : 0U;
  return (s.tcpNodelay != 0 ? 1U : 0U) | linger;
}

// Gives a listening socket the options of `s` (switching off what they no longer ask for), so
// that the sockets it accepts have them from the start and need no call of their own.
void setListenerOptions(int fd, const config::Settings& s, uint32_t had) {
  const uint32_t wanted = socketOptionsOf(s);
  if (((had ^ wanted) & 1U) != 0) platform::setNoDelay(fd, s.tcpNodelay != 0);
  if (((had ^ wanted) & ~1U) == 0) return;
  if (s.tcpLinger != 0) {
    platform::setLinger(fd, s.tcpLingerTime);
  } else {
    platform::setLingerOff(fd);
  }
}

// The listening socket of a port, made on the thread that starts the relay so that it knows at
// once which ports it could open. Returns 0, or the exit code of a listener that failed: 1 socket,
// 2 bind, 3 listen.
int openListener(const config::Settings& s, const platform::IpAddress& interfaceAddress,
                 uint16_t port, platform::UniqueFd* out) {
  int err = 0;
  platform::IpAddress bindAddress;
  platform::UniqueFd fd = platform::listenSocket(interfaceAddress, &bindAddress, &err);
  if (!fd.valid()) {
    log_event(LOG_SERIOUS, 0x6047, kModule, __LINE__,
              "Couldn't create listen socket for port %d: %s", ntohs(port), socket_error_text(err));
    return 1;
  }
  setListenerOptions(fd.get(), s, 0);  // a new socket has neither option
  if (s.tcpReuse != 0) platform::setReuseAddress(fd.get());
  if ((err = platform::bindTo(fd.get(), bindAddress, port)) != 0) {
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

}  // namespace

// One local port. Its thread runs `acceptLoop` until the socket breaks or `stopAll` wakes it.
struct ListenerTable::Entry {
  uint16_t port = 0;  // network byte order
  platform::UniqueFd socket;
  std::atomic<bool> running{false};
  std::atomic<bool> stopping{false};
  std::atomic<uint32_t> options{0};  // what `socket` was given (socketOptionsOf)
  platform::Thread thread;
};

namespace {

// Returns the listener's exit code: 4 when its listening socket broke, 0 when it was stopped.
int acceptLoop(int listenFd, uint16_t port, const std::atomic<bool>& stopping,
               const std::atomic<uint32_t>& options, const std::function<ConfigSnapshot()>& current,
               const std::shared_ptr<RelayState>& state) {
  AcceptBackoff backoff;
  for (;;) {
    int err = 0;
    bool passing = false;
    platform::IpAddress clientAddress;
    uint16_t clientPort = 0;
    platform::UniqueFd client =
        platform::acceptOn(listenFd, &clientAddress, &clientPort, &err, &passing);
    if (stopping.load()) return 0;
    // The configuration of the moment serves this one connection from its accept to its end.
    ConfigSnapshot config = current();
    const config::Settings& s = config->ccSettings;
    flushSessionsWhenDue(*config, *state);
    if (!client.valid()) {
      if (uint64_t leftOut = 0; !passing || state->acceptFailures.admit(&leftOut)) {
        logLeftOut(LOG_SERIOUS, 0x6056, leftOut);
        log_event(LOG_SERIOUS, 0x6056, kModule, __LINE__, "Accept failed on port %d: %s",
                  ntohs(port), socket_error_text(err));
      }
      if (passing) {
        backoff.failed();
        continue;
      }
      return 4;
    }
    backoff.succeeded();
    const platform::EndpointText from =
        platform::endpointText(clientAddress, ntohs(clientPort), '.');
    if (s.verbose != 0) {
      log_event(LOG_INFO, 0x6057, kModule, __LINE__, "Connection to port %d from %s", ntohs(port),
                from.text);
    }
    if (state->relayPaused != 0) {
      log_event(LOG_INFO, 0x6058, kModule, __LINE__,
                "Paused, dropping connection to port %d from %s", ntohs(port), from.text);
      closeAfterFailure(s, &client, LOG_INFO);
      continue;
    }
    if (refusedByLimit(s, *state, &client, port, from.text)) continue;
    // Counted from the accept, so that connections accepted faster than their threads start are
    // held against the limit too; the connection gives its place back when it ends.
    state->openConnections.fetch_add(1, std::memory_order_relaxed);
    auto info = std::make_unique<connectInfo>();
    info->counted = true;
    info->clientAddress = clientAddress;
    info->clientPort = clientPort;
    info->localPort = port;
    info->src = std::move(client);
    info->optionsInherited = options.load(std::memory_order_relaxed) == socketOptionsOf(s);
    info->config = config;
    info->state = state;
    dispatchConnection(s, *state, std::move(info));
  }
}

}  // namespace

ListenerTable::ListenerTable(std::function<ConfigSnapshot()> current,
                             std::shared_ptr<RelayState> state)
    : current_(std::move(current)), state_(std::move(state)) {}

ListenerTable::~ListenerTable() { stopAll(); }

void ListenerTable::startListener(Entry* entry, const RelayConfig& config,
                                  const platform::IpAddress& interfaceAddress) {
  const config::Settings& s = config.ccSettings;
  const uint16_t port = entry->port;
  entry->thread.join();  // an ended listener's thread
  // The socket of a listener that broke; left open on purpose when "tcp.close.sockets" is 0.
  if (entry->socket.valid()) closeAfterFailure(s, &entry->socket, LOG_SERIOUS);
  platform::UniqueFd fd;
  if (openListener(s, interfaceAddress, port, &fd) != 0) return;
  logGreeting(config.ruleTable, port);
  entry->socket = std::move(fd);
  entry->options = socketOptionsOf(s);
  entry->stopping = false;
  entry->running = true;
  const int listenFd = entry->socket.get();
  const int err = entry->thread.start([this, entry, listenFd, port] {
    acceptLoop(listenFd, port, entry->stopping, entry->options, current_, state_);
    entry->running = false;
  });
  if (err != 0) {
    entry->running = false;
    entry->socket.reset();
    log_event(LOG_SERIOUS, 0x6060, kModule, __LINE__, "Couldn't start the listener of port %d: %s",
              ntohs(port), std::strerror(err));
  }
}

int ListenerTable::ensure(const RelayConfig& config) {
  std::lock_guard<std::mutex> hold(mutex_);
  const config::RuleTable& rules = config.ruleTable;
  for (int i = 0; i < rules.count; ++i) {
    const config::ccRule* rule = rules.rules[i];
    if (rule == nullptr || !servesConnections(*rule)) continue;
    const uint16_t port = rule->peerPort;
    Entry* found = nullptr;
    for (const std::unique_ptr<Entry>& entry : listenerTable) {
      if (entry->port == port) found = entry.get();
    }
    if (found == nullptr) {
      listenerTable.push_back(std::make_unique<Entry>());
      found = listenerTable.back().get();
      found->port = port;
      startListener(found, config, rule->ifAddr);
    } else if (!found->running) {
      startListener(found, config, rule->ifAddr);
    } else if (const uint32_t had = found->options; had != socketOptionsOf(config.ccSettings)) {
      // A running listener keeps its socket: changed options go onto it for the next accepts.
      setListenerOptions(found->socket.get(), config.ccSettings, had);
      found->options = socketOptionsOf(config.ccSettings);
    }
  }
  int running = 0;
  for (const std::unique_ptr<Entry>& entry : listenerTable) running += entry->running ? 1 : 0;
  return running;
}

int ListenerTable::count() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return static_cast<int>(listenerTable.size());
}

bool ListenerTable::running(uint16_t port) const {
  std::lock_guard<std::mutex> hold(mutex_);
  for (const std::unique_ptr<Entry>& entry : listenerTable) {
    if (entry->port == port) return entry->running;
  }
  return false;
}

void ListenerTable::stopAll() {
  std::lock_guard<std::mutex> hold(mutex_);
  for (const std::unique_ptr<Entry>& entry : listenerTable) {
    if (!entry->thread.started()) continue;
    entry->stopping = true;
    // A thread blocked in accept returns at once when its socket is shut down.
    if (entry->socket.valid()) platform::shutdownBoth(entry->socket.get());
  }
  for (const std::unique_ptr<Entry>& entry : listenerTable) {
    entry->thread.join();
    entry->socket.reset();
    entry->running = false;
  }
}

}  // namespace relay
