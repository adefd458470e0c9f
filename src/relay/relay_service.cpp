#include "relay/relay_service.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>

#include "config/rules.h"
#include "config/settings.h"
#include "log/log.h"
#include "relay/questions.h"
#include "relay/relay.h"
#include "relay/ssl_context.h"
#include "relay/version.h"

namespace relay {
namespace {

constexpr char kModule[] = "driver";

}  // namespace

// Hands every log line to the observer.
class RelayService::ObserverSink final : public logging::LogSink {
 public:
  explicit ObserverSink(RelayObserver* observer) : observer_(observer) {}
  int append(const logging::LogLine& line) override {
    observer_->logLine(line);
    return 1;
  }

 private:
  RelayObserver* observer_;
};

RelayService::RelayService(RelayObserver* observer)
    : observer_(observer), sink_(std::make_unique<ObserverSink>(observer)) {
  // A store that cannot be parsed says so once; before the log is live the message waits.
  platform::setRegistryReporter([this](const std::string& message) {
    if (logLive_.load()) {
      log_event(LOG_ERROR, 0x6001, kModule, __LINE__, "%s", message.c_str());
      return;
    }
    std::lock_guard<std::mutex> hold(earlyMutex_);
    early_.push_back(message);
  });
}

RelayService::~RelayService() {
  shutdown();
  platform::setRegistryReporter(nullptr);
}

long RelayService::loadSettings(platform::Hive root, bool sniffer) {
  config::freeSettings(&config::ccSettings);
  config::ccSettings = config::Settings();
  config::ccSettings.rootKey = root;
  config::ccSettings.sniffer = sniffer ? 1 : 0;
  config::ruleTable.root = root;
  settingsResult_ = config::loadSettings(root, &config::ccSettings);
  config::publishLogSwitches(config::ccSettings);
  return settingsResult_;
}

void RelayService::openLog() {
  const std::string debugFile = config::ccSettings.debugFile.get();
  if (!logging::log_open(sink_.get(), debugFile.empty() ? nullptr : debugFile.c_str())) return;
  logLive_ = true;
  if (debugFile.empty()) return;
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

void RelayService::reportEarlyMessages() {
  std::vector<std::string> early;
  {
    std::lock_guard<std::mutex> hold(earlyMutex_);
    early.swap(early_);
  }
  for (const std::string& message : early) {
    log_event(LOG_ERROR, 0x6001, kModule, __LINE__, "%s", message.c_str());
  }
  if (settingsResult_ != 0) {
    log_event(LOG_WARNING, 0x6001, kModule, __LINE__, "No settings key <%s> in %s",
              config::settingsKeyPath(),
              platform::hiveFilePath(config::ccSettings.rootKey).c_str());
  }
}

void RelayService::logStartupLines() {
  if (config::ccSettings.debug != 0) {
    log_stream_write(bio_log_out, logging::timeStampText() + "\n" + versionLines());
    log_event(LOG_INFO, 0x6001, kModule, __LINE__, "%s", OpenSSL_version(OPENSSL_VERSION));
  }
  // No cryptographic provider of the platform's own is probed here.
  log_event(LOG_INFO, 0x6001, kModule, __LINE__, "can do crypto api ? %d", 0);
}

bool RelayService::start() {
  if (started_) return true;
  started_ = true;
  registerObserver(observer_, config::ccSettings.sniffer != 0);
  sslStartup();
  openLog();
  reportEarlyMessages();
  startPerfCounters();
  logStartupLines();
  config::loadAllRules(&config::ruleTable);
  if (config::ccSettings.verbose != 0) {
    logCipherDescriptions("Cipher descriptions for all possible ciphers....");
  }
  const int listening = startRelay();
  int wanted = 0;
  for (const config::RuleRef& rule : config::snapshotRules()) {
    wanted += rule->disabled == 0 && !rule->refused ? 1 : 0;
  }
  if (wanted == 0) {
    log_event(LOG_WARNING, 0x6001, kModule, __LINE__, "No enabled rule: nothing to listen on");
  } else if (listening == 0) {
    log_event(LOG_SERIOUS, 0x6001, kModule, __LINE__,
              "None of the rules' ports could be listened on: the relay could not start");
    return false;
  }
  return true;
}

void RelayService::restart() {
  if (!started_) return;
  config::publishLogSwitches(config::ccSettings);
  startRelay();
}

void RelayService::reload() {
  if (!started_) return;
  const platform::Hive root = config::ccSettings.rootKey;
  // A store that cannot be read whole (no permission, unparsable, vanished) would give a record
  // of zeros and an empty rule table: the running configuration stays instead, and the next
  // reload reads the file afresh.
  const char* problem = nullptr;
  config::Settings fresh;
  const long status = platform::hiveStatus(root);
  if (status == platform::kErrorAccessDenied) {
    problem = "it cannot be read";
  } else if (status != platform::kErrorSuccess) {
    problem = "it cannot be parsed";
  } else if (config::loadSettings(root, &fresh) != 0) {
    problem = "it holds no settings key";
  }
  if (problem != nullptr) {
    log_event(LOG_ERROR, 0x6001, kModule, __LINE__,
              "Couldn't reload from %s: %s; keeping the running settings and rules",
              platform::hiveFilePath(root).c_str(), problem);
    return;
  }
  fresh.rootKey = root;
  fresh.sniffer = config::ccSettings.sniffer.get();
  config::ccSettings = fresh;
  config::loadAllRules(&config::ruleTable);
  restart();
}

void RelayService::clearKeys() {
  relay::clearKeys();
  resetSessionCaches();
}

StatusFigures RelayService::figures() const { return statusFigures(); }

std::string RelayService::statusText() const { return statusLineText(statusFigures()); }

void RelayService::shutdown() {
  if (!started_) return;
  started_ = false;
  config::releaseAllRules(&config::ruleTable);
  sslShutdown();
  stopPerfCounters();
  config::freeSettings(&config::ccSettings);
  // Connections still running may log or ask until here; from now on nothing reaches the
  // front end.
  withdrawObserver();
  logLive_ = false;
  logging::log_close();
  debugFile_.reset();
}

}  // namespace relay
