// The relay: one object that owns everything a relay runs on — its configuration snapshot, the
// listeners, the worker pool, the caches and statistics, the LDAP CRL fetcher, the status thread,
// the counters it publishes, and the front end's observer (relay/observer.h). Each program makes
// one; a test may make several in one process, each on ports of its own.
//
// Start-up: `loadSettings` (the registry root, "sniffer", the settings), then `start` (the log,
// the start-up lines, the rules, the first configuration, the listeners). Changes — `restart`,
// `reload` (settings and rules from the store again: the daemon's SIGHUP) and `apply` (a front
// end's edited copy of the settings or the rules, which is stored first) — run in order on the
// relay's own change thread, build the next configuration whole and swap it in; each ends with
// the observer's `changeDone`. The calls themselves return at once, so a window thread never
// waits for the network, a directory or a fetcher. `shutdown` stops everything in order; after
// it no call reaches the observer.
//
// Front ends edit copies: `editableSettings` and `editableRules` hand out copies of what runs;
// nothing a front end holds is ever read by a connection.
//
// The log (log/log.h) is the process's: the first relay started opens it with its observer and
// debug file; a relay started while it is open logs beside it.
//
// One thread drives the relay (the window thread, the daemon's main thread); the accessors may be
// called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/rules.h"
#include "config/settings.h"
#include "platform/registry.h"
#include "platform/threads.h"
#include "relay/observer.h"

namespace logging {
class FileSink;
}  // namespace logging

namespace security {
class CrlFetcher;
}  // namespace security

namespace relay {

struct RelayConfig;
struct RelayState;
class ListenerTable;

class Relay {
 public:
  explicit Relay(RelayObserver* observer);
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // Chooses the registry root for settings and rules, notes "sniffer" and loads the settings.
  // Returns 0, or the registry error of opening the settings key (the settings then keep their
  // zeros), which `start` reports once the log is live.
  long loadSettings(platform::Hive root, bool sniffer);
  // The command line's toolbar-size word, kept in the settings ("toolbar.size"); before `start`.
  void setToolbarSize(uint32_t size);
  // A line of the program's own from before the log is live (the first start's creation of the
  // settings key, say); `start` logs it with the start-up lines.
  void noteAtStart(uint32_t level, const std::string& text);
  // Starts the relay's shared parts, the log, logs the start-up lines, loads the rules, builds the
  // first configuration and starts the listeners, on the calling thread. False (logged) when
  // rules ask for ports and none of them could be listened on: the relay could not start.
  bool start();
  // How the start went: the listeners running, and what could not be done (the ports that could
  // not be listened on, names that do not resolve).
  const ChangeResult& startResult() const { return startResult_; }

  // Changes, each run after the ones asked for before it, on the change thread.
  // Builds the configuration again from what runs (a changed CA file, CRL folder, a name that
  // resolves now).
  void restart();
  // Reads settings and rules from the store again. A store that cannot be read whole keeps the
  // running configuration.
  void reload();
  // Stores the edited settings (or rules), then runs on them. A store that cannot be written is
  // reported in the result; the change applies until the program ends.
  void apply(const config::Settings& settings);
  void apply(const config::RuleTable& rules);
  // Waits until every change asked for so far has ended; false when `limit` passed first.
  bool waitForChanges(std::chrono::milliseconds limit);

  // Forgets the remembered pass phrase, the client certificate and the upstream proxy credentials
  // it keeps, and empties the session caches.
  void clearKeys();

  // Copies of what runs, for a front end to edit: the settings (with the remembered pass phrase)
  // and the rules.
  config::Settings editableSettings() const;
  config::RuleTable editableRules() const;
  // The cipher names the running context offers (for the settings sheet).
  std::vector<std::string> cipherNames() const;
  // Whether the SSL library takes a "ssl.cipher" text (a preset name, TLS 1.3 suite names, older
  // suites and rule words, or a mix); any thread.
  static bool acceptsCipherText(const std::string& text);
  platform::Hive root() const { return root_; }
  // The remembered pass phrase (the stored one until another is given or Clear Keys).
  std::string passphrase() const;
  void rememberPassphrase(const std::string& phrase);

  // The figures and status line of the moment.
  StatusFigures figures() const;
  std::string statusText() const;
  // Listeners: distinct local ports ever started, and whether this port's (network byte order)
  // runs.
  int listenerCount() const;
  bool listenerRunning(uint16_t port) const;
  // What a connection that goes quiet calls to give the allocator's free pages back to the system
  // (the allocator is the program's: its main() decides), and what the status tick calls to give
  // back what those calls left owed; nothing when none is set. Before `start`.
  void setMemoryReturn(std::function<void()> giveBack, std::function<void()> giveBackOwed);
  // How long an idle pool thread waits for work before it ends (tests shorten it).
  void setPoolIdleTimeout(std::chrono::milliseconds timeout);
  // How long a connection is quiet before it gives back its buffers and, when the pool serves
  // it, its thread: half a second (tests shorten it). Before `start`.
  void setQuietTime(std::chrono::milliseconds quiet);
  // Connections of the pool that wait for bytes without a thread right now.
  size_t parkedConnections() const;

  // Stops the listeners, the change and status threads, the fetcher and the pool, and closes the
  // log when this relay opened it.
  void shutdown();

 private:
  class ObserverSink;
  std::shared_ptr<const RelayConfig> current() const;
  void sslStartup();
  void sslShutdown();
  void openLog();
  void reportEarlyMessages();
  void logStartupLines();
  ChangeResult startRelay(const config::Settings& settings, const config::RuleTable& rules);
  void post(std::function<void()> change);
  void changeLoop();
  void finishChange(ChangeResult result);
  bool readStore(config::Settings* settings, config::RuleTable* rules);
  void statusLoop();
  void statusTick();

  RelayObserver* observer_;
  std::shared_ptr<RelayState> state_;
  std::unique_ptr<ListenerTable> listeners_;
  std::unique_ptr<ObserverSink> sink_;
  std::unique_ptr<logging::FileSink> debugFile_;
  platform::Hive root_ = platform::Hive::kCurrentUser;
  bool sniffer_ = false;
  config::Settings loaded_;  // what loadSettings read, until start builds the first configuration
  long settingsResult_ = 0;
  ChangeResult startResult_;
  bool started_ = false;
  bool openedLog_ = false;
  bool poolMade_ = false;

  mutable std::mutex configMutex_;  // guards config_ (the pointer, never what it points to)
  std::shared_ptr<const RelayConfig> config_;

  std::unique_ptr<security::CrlFetcher> fetcher_;  // the LDAP CRL fetcher

  std::mutex changeMutex_;  // guards changes_, changing_ and stopping_
  std::condition_variable changeQueued_;
  std::condition_variable changesDone_;
  std::deque<std::function<void()>> changes_;
  bool changing_ = false;
  bool stopping_ = false;
  platform::Thread changeThread_;

  std::mutex statusMutex_;  // guards statusStop_
  std::condition_variable statusWake_;
  bool statusStop_ = false;
  platform::Thread statusThread_;

  struct EarlyLine {
    uint32_t level;
    std::string text;
  };
  std::mutex earlyMutex_;         // guards early_ and logLive_
  std::vector<EarlyLine> early_;  // lines (the store's messages) from before the log was live
  bool logLive_ = false;
};

}  // namespace relay
