// What a listener hands to the connection handler for one accepted connection. Internal to the
// relay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/ip_address.h"
#include "platform/unique_fd.h"
#include "relay/relay_config.h"
#include "relay/relay_state.h"

namespace relay {

// One accepted connection; owned by whoever handles it (the handler frees it on every path, or
// hands it to the data pump, which keeps it to the connection's end).
struct connectInfo {
  connectInfo() = default;
  connectInfo(const connectInfo&) = delete;
  connectInfo& operator=(const connectInfo&) = delete;
  // Gives back the connection's place in its relay's count.
  ~connectInfo() {
    if (counted) state->openConnections.fetch_sub(1, std::memory_order_relaxed);
  }

  platform::IpAddress clientAddress;
  uint16_t clientPort = 0;  // network byte order
  uint16_t localPort = 0;   // network byte order
  platform::UniqueFd src;   // the accepted client socket
  // Set: `src` has the configuration's "tcp.nodelay" and "tcp.linger" already, taken from its
  // listening socket.
  bool optionsInherited = false;
  // The configuration as it was at the accept; the connection reads this one to its end.
  ConfigSnapshot config;
  // What the connection shares with the rest of its relay.
  std::shared_ptr<RelayState> state;
  // Set: the listener counted the connection in `state->openConnections`.
  bool counted = false;
};

// The four role names, indexed by a rule's "ssl.role".
const char* roleName(uint32_t role);

}  // namespace relay
