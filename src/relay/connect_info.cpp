#include "relay/connect_info.h"

namespace relay {

RelayStats relayStats;
std::mutex statsLock;

RelayStats statsSnapshot() {
  std::lock_guard<std::mutex> hold(statsLock);
  return relayStats;
}

void countConnection(const config::Settings& settings, bool enters) {
  if (settings.statsEnable == 0) return;
  std::lock_guard<std::mutex> hold(statsLock);
  if (enters) {
    ++relayStats.connectionsTotal;
    ++relayStats.connectionsActive;
  } else if (relayStats.connectionsActive > 0) {
    --relayStats.connectionsActive;
  }
}

void countRelayedBytes(const config::Settings& settings, bool fromClient, size_t bytes) {
  if (settings.statsEnable == 0) return;
  std::lock_guard<std::mutex> hold(statsLock);
  (fromClient ? relayStats.bytesClientToDest : relayStats.bytesDestToClient) += bytes;
}

const char* roleName(uint32_t role) {
  static const char* const kNames[] = {"plug", "client", "server", "proxy"};
  return role < 4 ? kNames[role] : "unknown";
}

}  // namespace relay
