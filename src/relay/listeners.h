// The listeners of one relay: one thread per distinct local port of the enabled rules, each
// accepting connections and handing them, as a `connectInfo` with the configuration of the moment,
// to a thread of their own or to the relay's pool. Internal to the relay.
//
// A port keeps its entry for the life of the relay; a running listener is never stopped by a
// change, and one that ended (its port was taken, its socket broke) is started again by the next
// `ensure`. `stopAll` (shutdown) wakes and joins every listener thread. `ensure` and `stopAll` run
// on one thread at a time; the queries from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/ip_address.h"
#include "relay/relay_config.h"
#include "relay/relay_state.h"

namespace relay {

class ListenerTable {
 public:
  // `current` gives the configuration each accepted connection takes.
  ListenerTable(std::function<ConfigSnapshot()> current, std::shared_ptr<RelayState> state);
  ~ListenerTable();
  ListenerTable(const ListenerTable&) = delete;
  ListenerTable& operator=(const ListenerTable&) = delete;

  // Starts a listener for every local port of the enabled rules of `config` that has none
  // running; the ports are opened on the calling thread. Returns the number of listeners running.
  int ensure(const RelayConfig& config);
  // Number of entries (distinct local ports ever started).
  int count() const;
  // True while the listener of this port (network byte order) runs.
  bool running(uint16_t port) const;
  // Ends every listener: new connections are refused from now on.
  void stopAll();

 private:
  struct Entry;
  void startListener(Entry* entry, const RelayConfig& config,
                     const platform::IpAddress& interfaceAddress);

  std::function<ConfigSnapshot()> current_;
  std::shared_ptr<RelayState> state_;
  mutable std::mutex mutex_;  // guards listenerTable (the entries, not their threads' work)
  std::vector<std::unique_ptr<Entry>> listenerTable;
};

}  // namespace relay
