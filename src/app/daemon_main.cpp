// brisklaned: the relay without windows, for servers. Argument parsing, the control signals and a
// loop around the relay service: SIGHUP re-reads settings and rules and restarts the relay,
// SIGUSR1 logs the status line, SIGTERM or SIGINT shut down in order.
#include <cstdio>
#include <cstring>
#include <string>

#include "daemon_observer.h"
#include "first_start.h"
#include "heap.h"
#include "log/fatal_signal.h"
#include "log/log.h"
#include "platform/registry.h"
#include "platform/signal_pipe.h"
#include "platform/socket_errors.h"
#include "platform/system.h"
#include "relay/config_check.h"
#include "relay/relay.h"

namespace {

constexpr char kModule[] = "driver";

constexpr char kHelp[] =
    "Usage: brisklaned [localmachine] [--check] [--help]\n"
    "\n"
    "Runs the Brisklane relay in the foreground: every enabled rule of the configuration store\n"
    "gets a listener on its local port, and each accepted connection is relayed to its\n"
    "destination, adding or removing SSL/TLS as the rule's role says.\n"
    "\n"
    "  localmachine  read settings and rules from the machine's store (HKLM,\n"
    "                /etc/brisklane/machine.reg) instead of the user's (HKCU,\n"
    "                ~/.config/brisklane/user.reg)\n"
    "  --check       check the configuration as a start would (rules, SSL context, every\n"
    "                certificate, key and CA file, the ports) without serving: one line per\n"
    "                problem, exit status 0 only when every rule would serve\n"
    "  --help        show this text\n"
    "\n"
    "BRISKLANE_CONFIG_DIR, when set, names the folder of both stores (user.reg, machine.reg).\n"
    "Settings and rules live under \"Software\\Tandry\\Brisklane 4\"; edit them with "
    "brisklane-reg.\n"
    "\n"
    "Log lines go to standard error and, when the \"debug.file\" setting names a file, to that\n"
    "file as well, which also takes OpenSSL's own diagnostics.\n"
    "\n"
    "A private key that needs a pass phrase is opened with the stored \"ssl.passwd\"; a server\n"
    "that asks for a client certificate gets the file named by \"ssl.client_cert\" (PEM with\n"
    "its key, or PKCS#12 opened with \"ssl.passwd\").\n"
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
    "not start (the store cannot be read, the signal handlers could not be installed, or the\n"
    "rules name ports and none of them could be listened on); with --check, 1 when a problem\n"
    "was found.\n";

// The words of the command line; false (with the message printed) for one the daemon does not
// know.
bool readCommandLine(int argc, char** argv, std::string* words) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word != "localmachine" && word != "sniffer" && word != "small" && word != "medium" &&
        word != "large" && word != "--check") {
      std::fprintf(stderr, "brisklaned: unknown argument '%s'\n%s", word.c_str(), kHelp);
      return false;
    }
    *words += word + " ";
  }
  return true;
}

// --check: each problem on a line of standard output; 0 only when every rule would serve.
int check(platform::Hive root) {
  const relay::CheckResult result = relay::checkConfiguration(root);
  for (const std::string& note : result.notes) std::printf("%s\n", note.c_str());
  for (const std::string& problem : result.problems) std::printf("%s\n", problem.c_str());
  if (result.problems.empty()) {
    std::printf("%s: the configuration is good\n", platform::hiveFilePath(root).c_str());
  }
  std::fflush(stdout);
  return result.problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kHelp, stdout);
      return 0;
    }
  }
  std::string words;
  if (!readCommandLine(argc, argv, &words)) return 2;
  const platform::Hive root = words.find("localmachine") != std::string::npos
                                  ? platform::Hive::kLocalMachine
                                  : platform::Hive::kCurrentUser;
  if (words.find("--check") != std::string::npos) return check(root);
  installFatalSignalReport();
  platform::raiseDescriptorLimit();
  // A write to a socket whose peer has gone must fail with EPIPE, not end the daemon.
  platform::ignoreSigpipe();
  // Many connections, each making and freeing a connection's worth of memory: arenas keep their
  // free tops, and the relay hands memory back when connections go quiet.
  app::tuneHeapForRelaying();
  if (!platform::installControlSignals()) {
    std::fputs("brisklaned: couldn't install the signal handlers\n", stderr);
    return 1;
  }

  daemon_app::DaemonObserver observer(root);
  relay::Relay relay(&observer);
  relay.setMemoryReturn(app::returnFreeMemory, app::returnOwedMemory);
  observer.attach(&relay);
  if (const std::string refused = app::prepareStore(root, &relay); !refused.empty()) {
    observer.tellBeforeStart(LOG_SERIOUS, refused);
    return 1;
  }
  relay.loadSettings(root, false);
  if (!relay.start()) {
    relay.shutdown();
    return 1;
  }
  for (;;) {
    const platform::ControlSignal signal = platform::waitForSignal();
    if (signal == platform::ControlSignal::kStop) break;
    if (signal == platform::ControlSignal::kStatus) {
      log_event(LOG_INFO, 0x6001, kModule, __LINE__, "%s", relay.statusText().c_str());
    } else {
      relay.reload();
    }
  }
  log_event(LOG_INFO, 0x6001, kModule, __LINE__, "Shutting down");
  relay.shutdown();
  return 0;
}
