// What a listener hands to the connection handler for one accepted connection, and the relay's
// process-wide statistics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "config/settings.h"
#include "platform/unique_fd.h"

namespace relay {

// One accepted connection; owned by whoever handles it (the handler frees it on every path).
struct connectInfo {
  uint32_t clientAddress = 0;  // network byte order
  uint16_t clientPort = 0;     // network byte order
  uint16_t localPort = 0;      // network byte order
  platform::UniqueFd src;      // the accepted client socket
  // The settings as they were at the accept; the connection reads these to its end.
  config::SettingsSnapshot settings;
};

// Relay statistics, changed only while "stats.enable" is set. Byte totals are 64-bit so that they
// never wrap on a busy server.
struct RelayStats {
  uint64_t connectionsTotal = 0;
  uint64_t connectionsActive = 0;
  uint64_t bytesClientToDest = 0;
  uint64_t bytesDestToClient = 0;
};
// The figures of the moment. Each counter is read on its own: no lock is shared with the data
// path, where every complete write adds to a byte total.
RelayStats statsSnapshot();
// A connection enters (true) or leaves (false) relaying; counted while "stats.enable" is set.
void countConnection(const config::Settings& settings, bool enters);
// Bytes written towards the destination (fromClient) or the client.
void countRelayedBytes(const config::Settings& settings, bool fromClient, size_t bytes);

// The four role names, indexed by a rule's "ssl.role".
const char* roleName(uint32_t role);

}  // namespace relay
