// brisklaned: the relay without windows, for servers. Runs in the foreground, logs to standard
// error (or to the file named by "debug.file"), re-reads settings and rules and restarts the relay
// on SIGHUP, logs the status line on SIGUSR1, and shuts down in order on SIGTERM or SIGINT.
#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "config/rules.h"
#include "config/settings.h"
#include "log/fatal_signal.h"
#include "log/log.h"
#include "log/sinks.h"
#include "perf/perf_data.h"
#include "platform/registry.h"
#include "platform/signal_pipe.h"
#include "platform/system.h"
#include "relay/relay.h"

namespace {

constexpr char kModule[] = "driver";

constexpr char kHelp[] =
    "Usage: brisklaned [localmachine] [--help]\n"
    "\n"
    "Runs the Brisklane relay in the foreground: every enabled rule of the configuration store\n"
    "gets a listener on its local port, and each accepted connection is relayed to its\n"
    "destination, adding or removing SSL/TLS as the rule's role says.\n"
    "\n"
    "  localmachine  read settings and rules from the machine's store (HKLM,\n"
    "                /etc/brisklane/machine.reg) instead of the user's (HKCU,\n"
    "                ~/.config/brisklane/user.reg)\n"
    "  --help        show this text\n"
    "\n"
    "BRISKLANE_CONFIG_DIR, when set, names the folder of both stores (user.reg, machine.reg).\n"
    "Settings and rules live under \"Software\\Tandry\\Brisklane 4\"; edit them with "
    "brisklane-reg.\n"
    "\n"
    "Log lines go to standard error, or to the file named by the \"debug.file\" setting.\n"
    "\n"
    "Signals:\n"
    "  SIGHUP          re-read settings and rules and restart the relay (new ports get\n"
    "                  listeners; ended listeners start again; running ones keep running)\n"
    "  SIGUSR1         log the status line: connections, client/server handshakes, sessions,\n"
    "                  hits, trusted CA objects, open connections, idle/total worker threads,\n"
    "                  bytes relayed each way\n"
    "  SIGTERM, SIGINT shut down in order and exit with status 0\n"
    "\n"
    "Exit status: 0 after an orderly shutdown, 2 for a bad argument, 1 when the relay could\n"
    "not start.\n";

// Where log lines go: standard error until the settings name a debug file.
struct LogTarget {
  logging::StderrSink stderrSink;
  std::unique_ptr<logging::FileSink> fileSink;
};

void openLog(LogTarget* target) {
  const std::string debugFile = config::ccSettings.debugFile.get();
  if (debugFile.empty()) return;
  auto file = std::make_unique<logging::FileSink>(debugFile);
  if (!file->isOpen()) {
    log_event(LOG_ERROR, 0x6001, kModule, __LINE__, "Couldn't open debug file <%s>",
              debugFile.c_str());
    return;
  }
  logging::log_close();
  target->fileSink = std::move(file);
  logging::log_open(target->fileSink.get(), debugFile.c_str());
}

void logStartupLines() {
  if (config::ccSettings.debug != 0) {
    log_event(LOG_INFO, 0x6001, kModule, __LINE__, "%s", OpenSSL_version(OPENSSL_VERSION));
  }
  log_event(LOG_INFO, 0x6001, kModule, __LINE__, "can do crypto api ? %d", 0);
}

// The performance counters at start: registered at every start; the block opened and zeroed when
// "perf.mon.enable" is set. The seeding thread publishes into it from then on.
void startPerfCounters() {
  perf::perf_install();
  if (config::ccSettings.perfMonEnable != 0) {
    perf::perf_open();
    perf::perf_reset();
  }
}

// The performance counters at exit: the registration removed, the block left (and removed when no
// other publisher holds it).
void stopPerfCounters() {
  perf::perf_uninstall();
  perf::perf_close();
}

// Settings are read into a fresh record and then taken over field by field, so connection
// threads never see a half-loaded record; a store that cannot be read keeps the running settings.
void reloadSettingsAndRules() {
  config::Settings fresh;
  const platform::Hive root = config::ccSettings.rootKey;
  const long rc = config::loadSettings(root, &fresh);
  if (rc != 0) {
    log_event(LOG_ERROR, 0x6001, kModule, __LINE__,
              "Couldn't read the settings key <%s> (%ld); keeping the running settings",
              config::settingsKeyPath(), rc);
  } else {
    fresh.rootKey = root;
    fresh.sniffer = config::ccSettings.sniffer.get();
    config::ccSettings = fresh;
    config::publishLogSwitches(config::ccSettings);
  }
  config::loadAllRules(&config::ruleTable);
  relay::startRelay();
}

}  // namespace

int main(int argc, char** argv) {
  std::string commandLine;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--help" || word == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (word != "localmachine" && word != "sniffer" && word != "small" && word != "medium" &&
        word != "large") {
      std::fprintf(stderr, "brisklaned: unknown argument '%s'\n%s", word.c_str(), kHelp);
      return 2;
    }
    commandLine += word + " ";
  }
  const platform::Hive root = commandLine.find("localmachine") != std::string::npos
                                  ? platform::Hive::kLocalMachine
                                  : platform::Hive::kCurrentUser;
  config::ccSettings.rootKey = root;
  config::ruleTable.root = root;

  // Connections may still run while the process exits: the SSL library must keep its state to the
  // end instead of tearing it down at exit.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
  LogTarget target;
  logging::log_open(&target.stderrSink, nullptr);
  platform::setRegistryReporter([](const std::string& message) {
    log_event(LOG_ERROR, 0x6001, kModule, __LINE__, "%s", message.c_str());
  });
  installFatalSignalReport();
  platform::raiseDescriptorLimit();
  if (!platform::installControlSignals()) {
    log_event(LOG_SERIOUS, 0x6001, kModule, __LINE__, "Couldn't install the signal handlers");
    return 1;
  }
  if (config::loadSettings(root, &config::ccSettings) != 0) {
    log_event(LOG_WARNING, 0x6001, kModule, __LINE__, "No settings key <%s> in %s",
              config::settingsKeyPath(), platform::hiveFilePath(root).c_str());
  }
  config::publishLogSwitches(config::ccSettings);
  openLog(&target);
  startPerfCounters();
  relay::sslStartup();
  logStartupLines();
  config::loadAllRules(&config::ruleTable);
  relay::startRelay();

  for (;;) {
    const platform::ControlSignal signal = platform::waitForSignal();
    if (signal == platform::ControlSignal::kStop) break;
    if (signal == platform::ControlSignal::kStatus) {
      log_event(LOG_INFO, 0x6001, kModule, __LINE__, "%s", relay::statusLineText().c_str());
    } else {
      reloadSettingsAndRules();
    }
  }
  log_event(LOG_INFO, 0x6001, kModule, __LINE__, "Shutting down");
  config::releaseAllRules(&config::ruleTable);
  relay::sslShutdown();
  stopPerfCounters();
  // Connections still open keep running until the process ends and may still log, so the log
  // stays open to the end.
  return 0;
}
