// What the connections of one relay share and change while they run: the observer, the questions
// and their answers, the session and certificate caches, the statistics, the worker pool and the
// listeners' counts. Internal to the relay.
//
// One `RelayState` belongs to each relay (relay/relay.h); every connection, pool thread and SSL
// context of the relay holds a reference, so a connection that outlives its relay's shutdown
// still finds what it uses. Nothing here is configuration: that lives in the relay's immutable
// `RelayConfig` (relay/relay_config.h), which holds no reference back. Every member guards itself
// (atomics, or a lock of its own); any thread.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "config/settings.h"
#include "platform/gss_auth.h"
#include "relay/data_pump.h"
#include "relay/flow_blocks.h"
#include "relay/log_throttle.h"
#include "relay/observer_slot.h"
#include "relay/questions.h"
#include "relay/quiet_set.h"
#include "relay/ssl_context.h"
#include "relay/worker_pool.h"

namespace relay {

// Relay statistics, changed only while "stats.enable" is set. Byte totals are 64-bit so that they
// never wrap on a busy server. Lock-free: every write of every connection adds to a total, and
// relaxed order is enough, since nothing else is published through these counters.
class RelayStats {
 public:
  struct Figures {
    uint64_t connectionsTotal = 0;
    uint64_t connectionsActive = 0;
    uint64_t bytesClientToDest = 0;
    uint64_t bytesDestToClient = 0;
  };
  // The figures of the moment, each counter read on its own.
  Figures snapshot() const;
  // A connection enters (true) or leaves (false) relaying.
  void countConnection(const config::Settings& settings, bool enters);
  // Bytes written towards the destination (fromClient) or the client.
  void countRelayedBytes(const config::Settings& settings, bool fromClient, size_t bytes);

 private:
  std::atomic<uint64_t> connectionsTotal_{0};
  std::atomic<uint64_t> connectionsActive_{0};
  std::atomic<uint64_t> bytesClientToDest_{0};
  std::atomic<uint64_t> bytesDestToClient_{0};
};

struct RelayState {
  ObserverSlot observer;
  Questions questions{&observer};
  DestSessionCache destSessionCache;
  LoadedPairs loadedPairs;
  RelayStats stats;
  WorkPool workPool;
  // The blocks of data in flight of every connection: a few first blocks and two large ones are
  // kept for the next connections.
  FlowBlocks flowBlocks{{{kFirstBlockSize, 16}, {kPumpBufferSize, 2}}};
  // Where the pool's quiet connections wait without a thread; made with the pool when the relay
  // first starts, read-only afterwards (null without a pool).
  std::unique_ptr<QuietSet> quietSet;
  // Set: the listeners drop new connections.
  std::atomic<uint32_t> relayPaused{0};
  // Accepts since the last flush of the server-side session cache (shared by all listeners).
  std::atomic<uint32_t> sessionFlushCounter{0};
  // Connections accepted and not yet ended, whatever "stats.enable" says; "tcp.max.connections"
  // is held against it.
  std::atomic<uint32_t> openConnections{0};
  // Lines of events that may come in floods, a few a second each.
  LogThrottle limitRefusals;
  LogThrottle acceptFailures;
  // Configurations built so far (each one's generation).
  std::atomic<uint64_t> configurations{0};
  // The upstream proxy's credentials acquired for the rules' user names and passwords, taken
  // again by later connections; Clear Keys forgets them.
  platform::KeptCredentials proxyCredentials;
  // The handshake and cache figures of the contexts that configurations replaced so far.
  RetiredFigures retiredFigures;
  // Give the allocator's free pages back (the program's choice, Relay::setMemoryReturn); set
  // before the relay starts, read-only afterwards. A connection that goes quiet calls the first,
  // the status tick the second.
  std::function<void()> returnFreeMemory;
  std::function<void()> returnOwedMemory;
  // Quiet this long, a connection gives back what only data in flight needs (its buffers, and
  // its thread when the quiet set takes it). Set before the relay starts, read-only afterwards.
  std::chrono::milliseconds quietTime{500};
};

// Makes `state` reachable from the context's SSL objects (the context holds a reference).
// False when it cannot be attached (no memory): the context must not serve then.
bool attachRelayState(SSL_CTX* ctx, std::shared_ptr<RelayState> state);
// The state of the relay whose context made `ssl`, or null.
RelayState* stateOf(const SSL* ssl);

}  // namespace relay
