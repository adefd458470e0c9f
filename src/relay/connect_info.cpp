#include "relay/connect_info.h"

namespace relay {

RelayStats relayStats;
std::mutex statsLock;

RelayStats statsSnapshot() {
  std::lock_guard<std::mutex> hold(statsLock);
  return relayStats;
}

const char* roleName(uint32_t role) {
  static const char* const kNames[] = {"plug", "client", "server", "proxy"};
  return role < 4 ? kNames[role] : "unknown";
}

}  // namespace relay
