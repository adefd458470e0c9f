// The relay service: the one order in which a front end (the desktop program, the daemon) starts
// the relay, restarts it after a change and shuts it down, and the one place where the front
// end's observer (relay/observer.h) is registered with the core.
//
// Start-up: `loadSettings` (before any window: the registry root, "sniffer", the settings), then
// `start` (the SSL library and the relay's shared parts, the log, the start-up lines, the rules,
// the relay). A change: `restart` once the front end has saved what its dialog changed, or
// `reload` to take settings and rules from the store again (the daemon's SIGHUP). `shutdown`
// frees the rules, stops the relay and closes the log; after it no call reaches the observer.
//
// One thread drives the service (the window thread, the daemon's main thread); the observer is
// called from the relay's threads. One service per process.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "log/sinks.h"
#include "platform/registry.h"
#include "relay/observer.h"

namespace relay {

class RelayService {
 public:
  explicit RelayService(RelayObserver* observer);
  ~RelayService();
  RelayService(const RelayService&) = delete;
  RelayService& operator=(const RelayService&) = delete;

  // Clears the settings record, chooses the registry root for settings and rules, notes
  // "sniffer" and loads the settings. Returns 0, or the registry error of opening the settings
  // key (the record then keeps its zeros), which `start` reports once the log is live.
  long loadSettings(platform::Hive root, bool sniffer);
  // Starts the SSL library, the log (to the observer, and the debug file when one is named),
  // logs the start-up lines, loads the rules and starts the relay. False (logged) when rules ask
  // for ports and none of them could be listened on: the relay could not start.
  bool start();
  // Restarts the relay on the settings and rules as the front end left them (after it saved a
  // dialog's changes).
  void restart();
  // Reads settings and rules from the store again and restarts the relay. A store whose settings
  // cannot be read keeps the running settings.
  void reload();
  // Forgets the remembered pass phrase and client certificate and empties the session caches.
  void clearKeys();
  // The figures and status line of the moment.
  StatusFigures figures() const;
  std::string statusText() const;
  // Frees the rules and the settings, stops the relay and closes the log.
  void shutdown();

 private:
  class ObserverSink;
  void openLog();
  void reportEarlyMessages();
  void logStartupLines();

  RelayObserver* observer_;
  std::unique_ptr<ObserverSink> sink_;
  std::unique_ptr<logging::FileSink> debugFile_;
  long settingsResult_ = 0;
  bool started_ = false;
  std::atomic<bool> logLive_{false};
  std::mutex earlyMutex_;           // guards early_
  std::vector<std::string> early_;  // store messages from before the log was live
};

}  // namespace relay
