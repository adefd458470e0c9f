// brisklane-perf: reads the performance counters that brisklaned (or the desktop program)
// publishes in shared memory and prints them once, every N seconds, or in the Prometheus text
// format; with --listen it serves that text at /metrics for a scraper.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "log/log.h"
#include "log/sinks.h"
#include "perf/counter_reader.h"
#include "perf/counter_report.h"
#include "perf/metrics_server.h"
#include "perf/perf_data.h"
#include "perf/perf_registration.h"
#include "platform/net.h"
#include "platform/registry.h"
#include "platform/signal_pipe.h"

namespace {

constexpr char kModule[] = "perf";
constexpr int kExitNotPublished = 1;
constexpr int kExitUsage = 2;
constexpr int kExitRefused = 3;
constexpr int kExitNoListen = 4;
constexpr long kMaxInterval = 86400;
constexpr char kLoopback[] = "127.0.0.1";

constexpr char kNotPublished[] =
    "counters are not published (perf.mon.enable is 0 or brisklaned is not running)";

constexpr char kHelp[] =
    "Usage: brisklane-perf [--prometheus] [-i SECONDS [-n COUNT]]\n"
    "       brisklane-perf --listen [ADDRESS:]PORT\n"
    "       brisklane-perf --help\n"
    "\n"
    "Prints the performance counters that brisklaned publishes when the setting\n"
    "\"perf.mon.enable\" is 1: connections accepted (shown as a rate between two samples and\n"
    "as a total), idle and running worker threads, bytes relayed each way, SSL handshakes\n"
    "started and completed as client and as server, and the session cache's size, hits,\n"
    "misses and time-outs. Counter names are the titles registered in the machine store,\n"
    "else the built-in ones.\n"
    "\n"
    "  --prometheus          print the Prometheus text exposition format\n"
    "  -i SECONDS            print a sample every SECONDS seconds (1 to 86400) until\n"
    "                        interrupted\n"
    "  -n COUNT              with -i: stop after COUNT samples\n"
    "  --listen [ADDRESS:]PORT\n"
    "                        serve the Prometheus text at http://ADDRESS:PORT/metrics until\n"
    "                        SIGINT or SIGTERM; a bare PORT listens on 127.0.0.1 only, an\n"
    "                        ADDRESS that is not loopback is reachable by other hosts; a\n"
    "                        scrape while nothing is published gets 503. A request head may\n"
    "                        have 100 header lines and 8 KiB and must come within 3 seconds.\n"
    "  --help                show this text\n"
    "\n"
    "Environment: BRISKLANE_CONFIG_DIR names the folder of the configuration store\n"
    "(machine.reg holds the counters' registration); BRISKLANE_SHM_PREFIX is put before the\n"
    "names of the shared objects (/BKL, /TAV_Optex_MMF_BKL, /TAV_Optex_Event_BKL), as for\n"
    "brisklaned. The shared objects are read only when they belong to the user running\n"
    "brisklane-perf and nobody else may write them: run it as the user of brisklaned.\n"
    "\n"
    "Exit status: 0 after printing (and when -i is ended by SIGINT or SIGTERM), 1 when\n"
    "the counters are not published, 2 for a bad argument, 3 when the shared object is not\n"
    "a counter block, is not the user's own, or cannot be read (its lock stayed taken for\n"
    "1.5 s), 4 when the --listen address cannot be taken.\n";

struct Options {
  bool prometheus = false;
  long interval = 0;  // 0: one sample
  long count = 0;     // 0: until interrupted
  std::string listenHost;
  int listenPort = 0;
};

bool parseNumber(const char* text, long low, long high, long* value) {
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || n < low || n > high) return false;
  *value = n;
  return true;
}

bool parseListen(const std::string& text, Options* options) {
  long port = 0;
  if (text.find(':') == std::string::npos) {  // a bare port: this machine only
    if (!parseNumber(text.c_str(), 1, 65535, &port)) return false;
    options->listenHost = kLoopback;
    options->listenPort = static_cast<int>(port);
    return true;
  }
  const size_t colon = text.rfind(':');
  if (colon == 0) return false;
  std::string host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (!parseNumber(text.c_str() + colon + 1, 1, 65535, &port)) return false;
  options->listenHost = host;
  options->listenPort = static_cast<int>(port);
  return true;
}

// 0 when the arguments are good, -1 after --help, else the usage exit status (reported).
int parseOptions(int argc, char** argv, Options* options) {
  auto bad = [](const std::string& why) {
    std::fprintf(stderr, "brisklane-perf: %s\n%s", why.c_str(), kHelp);
    return kExitUsage;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    const bool hasValue = i + 1 < argc;
    if (word == "--help" || word == "-h") {
      std::fputs(kHelp, stdout);
      return -1;
    } else if (word == "--prometheus") {
      options->prometheus = true;
    } else if (word == "-i" && hasValue) {
      if (!parseNumber(argv[++i], 1, kMaxInterval, &options->interval)) {
        return bad("-i takes a number of seconds from 1 to 86400");
      }
    } else if (word == "-n" && hasValue) {
      if (!parseNumber(argv[++i], 1, 1000000000L, &options->count)) {
        return bad("-n takes a count of at least 1");
      }
    } else if (word == "--listen" && hasValue) {
      if (!parseListen(argv[++i], options)) return bad("--listen takes [ADDRESS:]PORT");
    } else {
      return bad("unknown or incomplete argument '" + word + "'");
    }
  }
  if (options->count != 0 && options->interval == 0) return bad("-n needs -i");
  if (options->listenPort != 0 && options->interval != 0) return bad("--listen takes no -i");
  return 0;
}

// Ends the sampling loop or the server on SIGINT and SIGTERM, whatever the program is doing: a
// stop between two samples ends the loop; one during a sample ends the process at once.
struct StopSignal {
  std::mutex mutex;  // guards stopped and sleeping for the condition variable
  std::condition_variable changed;
  bool stopped = false;
  bool sleeping = false;

  void watch(perf::MetricsServer* server) {
    std::thread([this, server] {
      while (platform::waitForSignal() != platform::ControlSignal::kStop) {
      }
      bool between = true;
      {
        std::lock_guard<std::mutex> hold(mutex);
        stopped = true;
        between = sleeping;
      }
      changed.notify_all();
      if (server != nullptr) {
        server->stop();
      } else if (!between) {
        std::fflush(stdout);
        std::_Exit(0);
      }
    }).detach();
  }
  // Waits up to `seconds`; false when stopped.
  bool sleep(long seconds) {
    std::unique_lock<std::mutex> hold(mutex);
    sleeping = true;
    const bool slept =
        !changed.wait_for(hold, std::chrono::seconds(seconds), [this] { return stopped; });
    sleeping = false;
    return slept;
  }
};

// One sample named from the registration; the exit status when there is none.
std::optional<int> sample(perf::CounterReader* reader, perf::CounterSnapshot* out,
                          std::string* message) {
  std::string problem;
  switch (reader->read(out, &problem)) {
    case perf::ReadStatus::kOk:
      perf::nameCounters(out, perf::registeredCounterTitles());
      return std::nullopt;
    case perf::ReadStatus::kNotPublished:
      *message = kNotPublished;
      return kExitNotPublished;
    case perf::ReadStatus::kRefused:
      break;
  }
  *message = problem;
  return kExitRefused;
}

void printSample(const Options& options, const perf::CounterSnapshot& now,
                 const perf::CounterSnapshot* previous) {
  if (options.interval != 0 && !options.prometheus) {
    char stamp[64];
    const std::time_t t = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&t));
    std::printf("%s\n", stamp);
  }
  const std::string text =
      options.prometheus ? perf::formatPrometheus(now) : perf::formatText(now, previous);
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

int runSamples(const Options& options, perf::CounterReader* reader, StopSignal* stop) {
  perf::CounterSnapshot previous;
  bool havePrevious = false;
  for (long n = 0; options.count == 0 || n < options.count; ++n) {
    if (n > 0 && !stop->sleep(options.interval)) break;
    perf::CounterSnapshot now;
    std::string message;
    if (const std::optional<int> status = sample(reader, &now, &message)) {
      std::fprintf(stderr, "brisklane-perf: %s\n", message.c_str());
      return *status;
    }
    printSample(options, now, havePrevious ? &previous : nullptr);
    previous = std::move(now);
    havePrevious = true;
    if (options.interval == 0) break;
  }
  return 0;
}

int serveMetrics(const Options& options, perf::CounterReader* reader, StopSignal* stop) {
  perf::MetricsServer server([reader] {
    perf::CounterSnapshot now;
    std::string message;
    if (const std::optional<int> status = sample(reader, &now, &message)) {
      return perf::MetricsAnswer{503, message + "\n", "text/plain; charset=utf-8"};
    }
    return perf::MetricsAnswer{200, perf::formatPrometheus(now), perf::kPrometheusContentType};
  });
  if (!server.bind(options.listenHost, options.listenPort)) {
    log_event(LOG_ERROR, 0x6094, kModule, __LINE__, "Couldn't listen on %s:%d",
              options.listenHost.c_str(), options.listenPort);
    return kExitNoListen;
  }
  if (!platform::isLoopbackHost(options.listenHost)) {
    log_event(LOG_WARNING, 0x6094, kModule, __LINE__,
              "%s is not a loopback address: the counters are reachable by others on the network",
              options.listenHost.c_str());
  }
  stop->watch(&server);
  log_event(LOG_INFO, 0x6094, kModule, __LINE__, "Serving the counters at http://%s:%d/metrics",
            options.listenHost.c_str(), options.listenPort);
  std::string error;
  if (!server.run(&error)) {
    log_event(LOG_ERROR, 0x6094, kModule, __LINE__, "The counters are served no more: %s",
              error.c_str());
    return kExitNoListen;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int rc = parseOptions(argc, argv, &options); rc != 0) return rc < 0 ? 0 : rc;
  logging::StderrSink sink;
  logging::log_open(&sink, nullptr);
  // The titles are read at every sample; a store this user may not read is reported once.
  platform::setRegistryReporter([](const std::string& message) {
    static std::atomic<bool> reported{false};
    if (reported.exchange(true)) return;
    log_event(LOG_WARNING, 0x6094, kModule, __LINE__, "%s; the built-in counter names are used",
              message.c_str());
  });
  perf::CounterReader reader(perf::shmPrefixFromEnvironment());
  // Kept to the end of the process: the watching thread may still use it while main returns.
  static StopSignal* const stop = new StopSignal;
  // SIGINT and SIGTERM are caught only where a thread acts on them; a single sample keeps their
  // default, which ends the process wherever it is.
  const bool watched = options.listenPort != 0 || options.interval != 0;
  if (watched && !platform::installControlSignals()) {
    log_event(LOG_ERROR, 0x6094, kModule, __LINE__, "Couldn't install the signal handlers");
  }
  if (options.listenPort != 0) return serveMetrics(options, &reader, stop);
  if (options.interval != 0) stop->watch(nullptr);
  return runSamples(options, &reader, stop);
}
