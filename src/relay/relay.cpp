#include "relay/relay.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <cstring>

#include "config/rules.h"
#include "config/settings.h"
#include "log/log.h"
#include "log/sinks.h"
#include "relay/listeners.h"
#include "relay/relay_config.h"
#include "relay/relay_state.h"
#include "relay/ssl_context.h"
#include "relay/status.h"
#include "relay/version.h"
#include "security/crl_ldap.h"

namespace relay {
namespace {

constexpr char kModule[] = "driver";
constexpr auto kStatusPeriod = std::chrono::seconds(5);

}  // namespace

// Hands every log line to the observer.
class Relay::ObserverSink final : public logging::LogSink {
 public:
  explicit ObserverSink(RelayObserver* observer) : observer_(observer) {}
  int append(const logging::LogLine& line) override {
    observer_->logLine(line);
    return 1;
  }

 private:
  RelayObserver* observer_;
};

Relay::Relay(RelayObserver* observer)
    : observer_(observer),
      state_(std::make_shared<RelayState>()),
      listeners_(std::make_unique<ListenerTable>([this] { return current(); }, state_)),
      sink_(std::make_unique<ObserverSink>(observer)),
      fetcher_(std::make_unique<security::CrlFetcher>()) {
  // A store that cannot be parsed says so once; before the log is live the message waits.
  platform::setRegistryReporter([this](const std::string& message) {
    {
      std::lock_guard<std::mutex> hold(earlyMutex_);
      if (!logLive_) {
        early_.push_back(EarlyLine{LOG_ERROR, message});
        return;
      }
    }
    log_event(LOG_ERROR, 0x6001, kModule, __LINE__, "%s", message.c_str());
  });
}

Relay::~Relay() {
  shutdown();
  platform::setRegistryReporter(nullptr);
}

std::shared_ptr<const RelayConfig> Relay::current() const {
  std::lock_guard<std::mutex> hold(configMutex_);
  return config_;
}

long Relay::loadSettings(platform::Hive root, bool sniffer) {
  root_ = root;
  sniffer_ = sniffer;
  loaded_ = config::Settings();
  loaded_.rootKey = root;
  loaded_.sniffer = sniffer ? 1 : 0;
  settingsResult_ = config::loadSettings(root, &loaded_);
  config::publishLogSwitches(loaded_);
  return settingsResult_;
}

void Relay::setToolbarSize(uint32_t size) {
  if (!started_) loaded_.toolbarSize = size;
}

void Relay::noteAtStart(uint32_t level, const std::string& text) {
  std::lock_guard<std::mutex> hold(earlyMutex_);
  early_.push_back(EarlyLine{level, text});
}

void Relay::openLog() {
  const std::string debugFile = loaded_.debugFile.get();
  if (log_streams_live()) {
    // Another relay of the process opened the log: this one logs beside it.
    logging::addLogSink(sink_.get());
  } else if (logging::log_open(sink_.get(), debugFile.empty() ? nullptr : debugFile.c_str())) {
    openedLog_ = true;
  } else {
    return;
  }
  {
    std::lock_guard<std::mutex> hold(earlyMutex_);
    logLive_ = true;
  }
  if (debugFile.empty() || !openedLog_) return;
  // The debug file takes OpenSSL's output in place of the observer, and every log line beside it.
  auto file = std::make_unique<logging::FileSink>(debugFile);
  if (!file->isOpen()) {
    log_event(LOG_ERROR, 0x6001, kModule, __LINE__, "Couldn't open debug file <%s>",
              debugFile.c_str());
    return;
  }
  debugFile_ = std::move(file);
  logging::addLogSink(debugFile_.get());
}

void Relay::reportEarlyMessages() {
  std::vector<EarlyLine> early;
  {
    std::lock_guard<std::mutex> hold(earlyMutex_);
    early.swap(early_);
  }
  for (const EarlyLine& line : early) {
    log_event(line.level, 0x6001, kModule, __LINE__, "%s", line.text.c_str());
  }
  if (settingsResult_ != 0) {
    log_event(LOG_WARNING, 0x6001, kModule, __LINE__, "No settings key <%s> in %s",
              config::settingsKeyPath(), platform::hiveFilePath(root_).c_str());
  }
}

void Relay::logStartupLines() {
  if (loaded_.debug != 0) {
    log_stream_write(bio_log_out, logging::timeStampText() + "\n" + versionLines());
    log_event(LOG_INFO, 0x6001, kModule, __LINE__, "%s", OpenSSL_version(OPENSSL_VERSION));
  }
  // No cryptographic provider of the platform's own is probed here.
  log_event(LOG_INFO, 0x6001, kModule, __LINE__, "can do crypto api ? %d", 0);
}

bool Relay::start() {
  if (started_) return true;
  started_ = true;
  state_->observer.attach(observer_, sniffer_);
  sslStartup();
  openLog();
  reportEarlyMessages();
  startPerfCounters(loaded_);
  logStartupLines();
  config::RuleTable rules;
  rules.root = root_;
  config::loadAllRules(&rules);
  state_->questions.rememberPassphrase(loaded_.sslPasswd.get());
  if (loaded_.verbose != 0) {
    // Every cipher the library offers, before a cipher list narrows them.
    SslCtxPtr bare = buildSharedContext(loaded_, state_);
    logCipherDescriptions(bare.get(), "Cipher descriptions for all possible ciphers....");
  }
  startResult_ = startRelay(loaded_, rules);
  const ChangeResult& result = startResult_;
  int wanted = 0;
  for (int i = 0; i < rules.count; ++i) {
    wanted += rules.rules[i] != nullptr && servesConnections(*rules.rules[i]) ? 1 : 0;
  }
  if (wanted == 0) {
    log_event(LOG_WARNING, 0x6001, kModule, __LINE__, "No enabled rule: nothing to listen on");
  } else if (result.listening == 0) {
    log_event(LOG_SERIOUS, 0x6001, kModule, __LINE__,
              "None of the rules' ports could be listened on: the relay could not start");
    return false;
  }
  return true;
}

void Relay::post(std::function<void()> change) {
  if (!started_) return;
  std::lock_guard<std::mutex> hold(changeMutex_);
  if (stopping_) return;
  changes_.push_back(std::move(change));
  changeQueued_.notify_one();
}

void Relay::changeLoop() {
  std::unique_lock<std::mutex> lock(changeMutex_);
  for (;;) {
    changeQueued_.wait(lock, [this] { return stopping_ || !changes_.empty(); });
    if (stopping_) break;
    std::function<void()> change = std::move(changes_.front());
    changes_.pop_front();
    changing_ = true;
    lock.unlock();
    change();
    lock.lock();
    changing_ = false;
    changesDone_.notify_all();
  }
  // Changes asked for once the relay is stopping are dropped.
  changes_.clear();
  changesDone_.notify_all();
}

bool Relay::waitForChanges(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(changeMutex_);
  return changesDone_.wait_for(lock, limit, [this] { return changes_.empty() && !changing_; });
}

void Relay::finishChange(ChangeResult result) {
  if (ObserverCall observer(state_->observer); observer) observer->changeDone(result);
}

void Relay::restart() {
  post([this] {
    const std::shared_ptr<const RelayConfig> running = current();
    ChangeResult result = startRelay(running->ccSettings, running->ruleTable);
    result.kind = ChangeResult::Kind::kRestart;
    finishChange(std::move(result));
  });
}

bool Relay::readStore(config::Settings* settings, config::RuleTable* rules) {
  // A store that cannot be read whole (no permission, unparsable, vanished) would give a record
  // of zeros and an empty rule table: the running configuration stays instead, and the next
  // reload reads the file afresh.
  const char* problem = nullptr;
  const long status = platform::hiveStatus(root_);
  if (status == platform::kErrorAccessDenied) {
    problem = "it cannot be read";
  } else if (status != platform::kErrorSuccess) {
    problem = "it cannot be parsed";
  } else if (config::loadSettings(root_, settings) != 0) {
    problem = "it holds no settings key";
  }
  if (problem != nullptr) {
    log_event(LOG_ERROR, 0x6001, kModule, __LINE__,
              "Couldn't reload from %s: %s; keeping the running settings and rules",
              platform::hiveFilePath(root_).c_str(), problem);
    return false;
  }
  settings->rootKey = root_;
  settings->sniffer = sniffer_ ? 1 : 0;
  rules->root = root_;
  config::loadAllRules(rules);
  return true;
}

void Relay::reload() {
  post([this] {
    config::Settings fresh;
    config::RuleTable rules;
    ChangeResult result;
    if (readStore(&fresh, &rules)) {
      config::publishLogSwitches(fresh);
      state_->questions.rememberPassphrase(fresh.sslPasswd.get());
      result = startRelay(fresh, rules);
    } else {
      result.problems.push_back("Couldn't reload from " + platform::hiveFilePath(root_));
    }
    result.kind = ChangeResult::Kind::kReload;
    finishChange(std::move(result));
  });
}

namespace {

// A store that cannot be written leaves the change in force until the program ends.
void noteStoreFailure(ChangeResult* result, const char* what, platform::Hive root, long rc) {
  result->storeError = rc;
  result->storeFile = platform::hiveFilePath(root);
  log_event(LOG_ERROR, 0x6001, "driver", __LINE__, "Couldn't store the %s in %s: error %ld", what,
            result->storeFile.c_str(), rc);
}

}  // namespace

void Relay::apply(const config::Settings& settings) {
  post([this, settings] {
    config::Settings edited = settings;
    edited.rootKey = root_;
    edited.sniffer = sniffer_ ? 1 : 0;
    const long rc = config::saveSettings(root_, edited);
    config::publishLogSwitches(edited);
    state_->questions.rememberPassphrase(edited.sslPasswd.get());
    ChangeResult result = startRelay(edited, current()->ruleTable);
    if (rc != 0) noteStoreFailure(&result, "settings", root_, rc);
    result.kind = ChangeResult::Kind::kSettings;
    finishChange(std::move(result));
  });
}

void Relay::apply(const config::RuleTable& rules) {
  post([this, rules] {
    config::RuleTable edited = rules;
    edited.root = root_;
    const long rc = config::saveAllRules(&edited);
    ChangeResult result = startRelay(current()->ccSettings, edited);
    if (rc != 0) noteStoreFailure(&result, "rules", root_, rc);
    result.kind = ChangeResult::Kind::kRules;
    finishChange(std::move(result));
  });
}

void Relay::clearKeys() {
  state_->questions.clearKeys();
  state_->destSessionCache.clear();
  state_->loadedPairs.clear();
  state_->proxyCredentials.clear();
  if (const std::shared_ptr<const RelayConfig> running = current()) {
    flushServerSessions(running->sharedContext.get());
  }
}

config::Settings Relay::editableSettings() const {
  const std::shared_ptr<const RelayConfig> running = current();
  config::Settings copy = running != nullptr ? running->ccSettings : loaded_;
  copy.sslPasswd.set(state_->questions.passphrase());
  return copy;
}

config::RuleTable Relay::editableRules() const {
  const std::shared_ptr<const RelayConfig> running = current();
  if (running == nullptr) {
    config::RuleTable empty;
    empty.root = root_;
    return empty;
  }
  return running->ruleTable;
}

std::vector<std::string> Relay::cipherNames() const {
  const std::shared_ptr<const RelayConfig> running = current();
  return running != nullptr ? running->cipherNames : std::vector<std::string>();
}

bool Relay::acceptsCipherText(const std::string& text) {
  SslCtxPtr probe(SSL_CTX_new(TLS_method()));
  const bool accepted = probe != nullptr && setCipherText(probe.get(), text);
  ERR_clear_error();
  return accepted;
}

std::string Relay::passphrase() const { return state_->questions.passphrase(); }

void Relay::rememberPassphrase(const std::string& phrase) {
  state_->questions.rememberPassphrase(phrase);
}

StatusFigures Relay::figures() const { return statusFigures(*state_, current().get()); }

std::string Relay::statusText() const { return statusLineText(figures()); }

int Relay::listenerCount() const { return listeners_->count(); }

bool Relay::listenerRunning(uint16_t port) const { return listeners_->running(port); }

void Relay::setMemoryReturn(std::function<void()> giveBack, std::function<void()> giveBackOwed) {
  if (started_) return;
  state_->returnFreeMemory = std::move(giveBack);
  state_->returnOwedMemory = std::move(giveBackOwed);
}

void Relay::setPoolIdleTimeout(std::chrono::milliseconds timeout) {
  relay::setPoolIdleTimeout(&state_->workPool, timeout);
}

void Relay::setQuietTime(std::chrono::milliseconds quiet) {
  if (!started_ && quiet.count() > 0) state_->quietTime = quiet;
}

size_t Relay::parkedConnections() const {
  return state_->quietSet ? state_->quietSet->parkedCount() : 0;
}

void Relay::statusTick() {
  const std::shared_ptr<const RelayConfig> running = current();
  // Nothing happens before there is a configuration.
  if (running == nullptr) return;
  const StatusFigures figures = statusFigures(*state_, running.get());
  publishPerfCounters(running->ccSettings, figures);
  const std::string text = statusLineText(figures);
  if (ObserverCall observer(state_->observer); observer) observer->statusTick(figures, text);
  if (state_->returnOwedMemory) state_->returnOwedMemory();
  state_->flowBlocks.trimIdle();
}

void Relay::statusLoop() {
  const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
  const pid_t pid = getpid();
  RAND_seed(&now, sizeof now);
  RAND_seed(&pid, sizeof pid);
  std::unique_lock<std::mutex> lock(statusMutex_);
  for (;;) {
    if (statusWake_.wait_for(lock, kStatusPeriod, [this] { return statusStop_; })) return;
    lock.unlock();
    const auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
    RAND_seed(&tick, sizeof tick);
    statusTick();
    lock.lock();
  }
}

void Relay::shutdown() {
  if (!started_) return;
  {
    std::lock_guard<std::mutex> hold(changeMutex_);
    stopping_ = true;
  }
  changeQueued_.notify_all();
  changeThread_.join();
  listeners_->stopAll();
  {
    std::lock_guard<std::mutex> hold(statusMutex_);
    statusStop_ = true;
  }
  statusWake_.notify_all();
  statusThread_.join();
  sslShutdown();
  stopPerfCounters();
  started_ = false;
  {
    std::lock_guard<std::mutex> hold(configMutex_);
    config_.reset();  // connections still running keep theirs
  }
  // Connections still running may log or ask until here; from now on nothing reaches the
  // front end.
  state_->observer.withdraw();
  {
    std::lock_guard<std::mutex> hold(earlyMutex_);
    logLive_ = false;
  }
  if (openedLog_) {
    logging::log_close();
    openedLog_ = false;
  } else {
    logging::removeLogSink(sink_.get());
  }
  debugFile_.reset();
}

}  // namespace relay
