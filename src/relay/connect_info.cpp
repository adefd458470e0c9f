#include "relay/connect_info.h"

#include <atomic>

namespace relay {

namespace {

// Lock-free: a mutex here was taken by every write of every connection. Relaxed order is enough,
// since no other memory is published through these counters.
struct AtomicStats {
  std::atomic<uint64_t> connectionsTotal{0};
  std::atomic<uint64_t> connectionsActive{0};
  std::atomic<uint64_t> bytesClientToDest{0};
  std::atomic<uint64_t> bytesDestToClient{0};
};
AtomicStats relayStats;

}  // namespace

RelayStats statsSnapshot() {
  RelayStats copy;
  copy.connectionsTotal = relayStats.connectionsTotal.load(std::memory_order_relaxed);
  copy.connectionsActive = relayStats.connectionsActive.load(std::memory_order_relaxed);
  copy.bytesClientToDest = relayStats.bytesClientToDest.load(std::memory_order_relaxed);
  copy.bytesDestToClient = relayStats.bytesDestToClient.load(std::memory_order_relaxed);
  return copy;
}

void countConnection(const config::Settings& settings, bool enters) {
  if (settings.statsEnable == 0) return;
  if (enters) {
    relayStats.connectionsTotal.fetch_add(1, std::memory_order_relaxed);
    relayStats.connectionsActive.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  // Never below zero: a connection that entered while counting was off may leave while it is on.
  uint64_t active = relayStats.connectionsActive.load(std::memory_order_relaxed);
  while (active > 0 && !relayStats.connectionsActive.compare_exchange_weak(
                           active, active - 1, std::memory_order_relaxed)) {
  }
}

void countRelayedBytes(const config::Settings& settings, bool fromClient, size_t bytes) {
  if (settings.statsEnable == 0) return;
  (fromClient ? relayStats.bytesClientToDest : relayStats.bytesDestToClient)
      .fetch_add(bytes, std::memory_order_relaxed);
}

const char* roleName(uint32_t role) {
  static const char* const kNames[] = {"plug", "client", "server", "proxy"};
  return role < 4 ? kNames[role] : "unknown";
}

}  // namespace relay
