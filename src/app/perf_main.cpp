// brisklane-perf: reads the performance counters that brisklaned (or the desktop program)
// publishes in shared memory and prints them once, every N seconds, or in the Prometheus text
// format; with --listen it serves that text at /metrics for a scraper.
#include <httplib.h>

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
#include "perf/perf_data.h"
#include "perf/perf_registration.h"
#include "platform/registry.h"
#include "platform/signal_pipe.h"

namespace {

constexpr char kModule[] = "perf";
constexpr int kExitNotPublished = 1;
constexpr int kExitUsage = 2;
constexpr int kExitRefused = 3;
constexpr int kExitNoListen = 4;
constexpr long kMaxInterval = 86400;

constexpr char kNotPublished[] =
    "counters are not published (perf.mon.enable is 0 or brisklaned is not running)";

constexpr char kHelp[] =
    "Usage: brisklane-perf [--prometheus] [-i SECONDS [-n COUNT]]\n"
    "       brisklane-perf --listen ADDRESS:PORT\n"
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
    "  --listen ADDRESS:PORT serve the Prometheus text at http://ADDRESS:PORT/metrics until\n"
    "                        SIGINT or SIGTERM; a scrape while nothing is published gets 503\n"
    "  --help                show this text\n"
    "\n"
    "Environment: BRISKLANE_CONFIG_DIR names the folder of the configuration store\n"
    "(machine.reg holds the counters' registration); BRISKLANE_SHM_PREFIX is put before the\n"
    "names of the shared objects (/BKL, /TAV_Optex_MMF_BKL, /TAV_Optex_Event_BKL), as for\n"
    "brisklaned.\n"
    "\n"
    "Exit status: 0 after printing, 1 when the counters are not published, 2 for a bad\n"
    "argument, 3 when the shared object is not a counter block or cannot be read, 4 when\n"
    "the --listen address cannot be taken.\n";

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
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  long port = 0;
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
      if (!parseListen(argv[++i], options)) return bad("--listen takes ADDRESS:PORT");
    } else {
      return bad("unknown or incomplete argument '" + word + "'");
    }
  }
  if (options->count != 0 && options->interval == 0) return bad("-n needs -i");
  if (options->listenPort != 0 && options->interval != 0) return bad("--listen takes no -i");
  return 0;
}

// Stops the sampling loop or the server on SIGINT and SIGTERM.
struct StopSignal {
  std::mutex mutex;  // guards stopped for the condition variable
  std::condition_variable changed;
  bool stopped = false;

  void watch(httplib::Server* server) {
    std::thread([this, server] {
      while (platform::waitForSignal() != platform::ControlSignal::kStop) {
      }
      {
        std::lock_guard<std::mutex> hold(mutex);
        stopped = true;
      }
      changed.notify_all();
      if (server != nullptr) server->stop();
    }).detach();
  }
  // Waits up to `seconds`; false when stopped.
  bool sleep(long seconds) {
    std::unique_lock<std::mutex> hold(mutex);
    return !changed.wait_for(hold, std::chrono::seconds(seconds), [this] { return stopped; });
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
  httplib::Server server;
  std::mutex readerMutex;  // guards reader, which one thread at a time may use
  server.Get("/metrics", [&](const httplib::Request&, httplib::Response& res) {
    perf::CounterSnapshot now;
    std::string message;
    std::optional<int> status;
    {
      std::lock_guard<std::mutex> hold(readerMutex);
      status = sample(reader, &now, &message);
    }
    if (status) {
      res.status = 503;
      res.set_content(message + "\n", "text/plain; charset=utf-8");
      return;
    }
    res.set_content(perf::formatPrometheus(now), perf::kPrometheusContentType);
  });
  if (!server.bind_to_port(options.listenHost, options.listenPort)) {
    log_event(LOG_ERROR, 0x6094, kModule, __LINE__, "Couldn't listen on %s:%d",
              options.listenHost.c_str(), options.listenPort);
    return kExitNoListen;
  }
  stop->watch(&server);
  log_event(LOG_INFO, 0x6094, kModule, __LINE__, "Serving the counters at http://%s:%d/metrics",
            options.listenHost.c_str(), options.listenPort);
  server.listen_after_bind();
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
  if (!platform::installControlSignals()) {
    log_event(LOG_ERROR, 0x6094, kModule, __LINE__, "Couldn't install the signal handlers");
  }
  perf::CounterReader reader(perf::shmPrefixFromEnvironment());
  // Kept to the end of the process: the watching thread may still use it while main returns.
  static StopSignal* const stop = new StopSignal;
  if (options.listenPort != 0) return serveMetrics(options, &reader, stop);
  if (options.interval != 0) stop->watch(nullptr);
  return runSamples(options, &reader, stop);
}
