#include "relay/connect_info.h"

#include "relay/relay_state.h"

namespace relay {

RelayStats::Figures RelayStats::snapshot() const {
  Figures copy;
  copy.connectionsTotal = connectionsTotal_.load(std::memory_order_relaxed);
  copy.connectionsActive = connectionsActive_.load(std::memory_order_relaxed);
  copy.bytesClientToDest = bytesClientToDest_.load(std::memory_order_relaxed);
  copy.bytesDestToClient = bytesDestToClient_.load(std::memory_order_relaxed);
  return copy;
}

void RelayStats::countConnection(const config::Settings& settings, bool enters) {
  if (settings.statsEnable == 0) return;
  if (enters) {
    connectionsTotal_.fetch_add(1, std::memory_order_relaxed);
    connectionsActive_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  // Never below zero: a connection that entered while counting was off may leave while it is on.
  uint64_t active = connectionsActive_.load(std::memory_order_relaxed);
  while (active > 0 &&
         !connectionsActive_.compare_exchange_weak(active, active - 1, std::memory_order_relaxed)) {
  }
}

void RelayStats::countRelayedBytes(const config::Settings& settings, bool fromClient,
                                   size_t bytes) {
  if (settings.statsEnable == 0) return;
  (fromClient ? bytesClientToDest_ : bytesDestToClient_)
      .fetch_add(bytes, std::memory_order_relaxed);
}

const char* roleName(uint32_t role) {
  static const char* const kNames[] = {"plug", "client", "server", "proxy"};
  return role < 4 ? kNames[role] : "unknown";
}

}  // namespace relay
