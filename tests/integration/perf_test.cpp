// The performance counters end to end: brisklaned publishes what it relayed for real peers (socat,
// openssl s_server), brisklane-perf reads it back as text and as Prometheus text, which promtool
// checks and curl scrapes from brisklane-perf's HTTP endpoint.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>

#include "daemon_test.h"
#include "perf/perf_registration.h"
#include "platform/registry.h"
#include "platform/shared_memory.h"

namespace itest {
namespace {

constexpr char kNotPublished[] =
    "brisklane-perf: counters are not published (perf.mon.enable is 0 or brisklaned is not "
    "running)\n";

// The number a text sample shows for a counter: its value, or for a rate its total.
long long shown(const std::string& text, const std::string& name) {
  std::smatch m;
  const std::regex line("\n  " + name + " +(?:[-0-9.]+  \\(total )?([0-9]+)\\)?\n");
  return std::regex_search(text, m, line) ? std::stoll(m[1]) : -1;
}

std::string canonical(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::weakly_canonical(path, ignored).string();
}

class PerfCounters : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    static std::atomic<int> serial{0};
    prefix_ = "bklit" + std::to_string(getpid()) + "_" + std::to_string(++serial) + "_";
    daemonEnv_["BRISKLANE_SHM_PREFIX"] = prefix_;
    store_->setting("ssl.ca_cert", pem("ca"));
  }
  void TearDown() override {
    DaemonTest::TearDown();
    platform::SharedMemory::remove("/" + prefix_ + "BKL");
    platform::SharedMemory::remove("/" + prefix_ + "TAV_Optex_MMF_BKL");
    platform::NamedSemaphore::remove("/" + prefix_ + "TAV_Optex_Event_BKL");
  }

  std::map<std::string, std::string> perfEnv() const {
    return {{"BRISKLANE_CONFIG_DIR", store_->dir()}, {"BRISKLANE_SHM_PREFIX", prefix_}};
  }
  // brisklane-perf run to its end; its output (both streams) in *out.
  int perf(const std::vector<std::string>& args, std::string* out) {
    const std::string file = dir_.file("perf-" + std::to_string(++runs_) + ".out");
    std::vector<std::string> argv = {binDir() + "/brisklane-perf"};
    argv.insert(argv.end(), args.begin(), args.end());
    Process p(argv, file, perfEnv());
    const int status = p.wait(30s);
    *out = readFile(file);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // The first text sample for which `done` holds, taken within 20 s (the daemon publishes every
  // 5 s); the last one seen otherwise.
  std::string sampleWhen(const std::function<bool(const std::string&)>& done) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (perf({}, &text) == 0 && done(text)) break;
      std::this_thread::sleep_for(250ms);
    }
    return text;
  }
  bool blockExists() const { return std::filesystem::exists("/dev/shm/" + prefix_ + "BKL"); }
  static bool registered() {
    platform::RegKey key;
    return platform::regOpenKey(platform::Hive::kLocalMachine, perf::performanceKeyPath("BKL"),
                                &key) == 0;
  }
  static std::string library() {
    platform::RegKey key;
    platform::regOpenKey(platform::Hive::kLocalMachine, perf::performanceKeyPath("BKL"), &key);
    char buf[4096] = {};
    uint32_t size = sizeof buf - 1;
    platform::regQueryValue(key, "Library", nullptr, buf, &size);
    return buf;
  }
  // A direct rule from 127.0.0.1:listen to 127.0.0.1:dest.
  void rule(int n, uint16_t listen, uint16_t dest, uint32_t role, uint32_t verify = 0) {
    listenRule(n, listen, {{"dest.addr.str", "127.0.0.1"}, {"dest.port.str", std::to_string(dest)}},
               {{"ssl.role", role}, {"ssl.verify_server", verify}});
  }
  // Reads `in` bytes of each connection, then answers with `out` zero bytes and closes.
  Process responder(uint16_t port, int in, int out) {
    Process p({"socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork",
               "SYSTEM:head -c " + std::to_string(in) + " >/dev/null; head -c " +
                   std::to_string(out) + " /dev/zero"},
              dir_.file("socat.log"));
    EXPECT_TRUE(waitForPort(port));
    return p;
  }
  // One connection that sends `in` bytes and reads `out` back; false when fewer came.
  static bool converse(uint16_t port, int in, int out) {
    const int fd = connectLocal(port);
    if (fd < 0) return false;
    const bool ok = sendAll(fd, std::string(in, 'a')) && receive(fd, out).size() == size_t(out);
    close(fd);
    return ok;
  }

  std::string prefix_;
  int runs_ = 0;
};

TEST_F(PerfCounters, BrisklanedPublishesWhatItRelayedAndRemovesItAtExit) {
  const uint16_t dest = freePort();
  Process peer = responder(dest, 1000, 3000);
  const uint16_t tlsDest = freePort();
  Process tls({"openssl", "s_server", "-accept", std::to_string(tlsDest), "-cert", pem("server"),
               "-key", key("server"), "-rev", "-quiet"},
              dir_.file("s_server.log"));
  ASSERT_TRUE(waitForPort(tlsDest));
  const uint16_t plain = freePort();
  const uint16_t client = freePort();
  rule(1, plain, dest, 0);
  rule(2, client, tlsDest, 1, 1);
  store_->setting("perf.mon.enable", 1);
  Daemon& d = startDaemon();
  // The listeners are awaited in the log: a probe connection would be counted.
  ASSERT_TRUE(d.waitForLog("Listening on " + std::to_string(plain) + " ")) << d.log();
  ASSERT_TRUE(d.waitForLog("Listening on " + std::to_string(client) + " ")) << d.log();
  EXPECT_TRUE(registered());
  EXPECT_EQ(canonical(library()), canonical(binDir() + "/brisklane-perf"));
  EXPECT_TRUE(blockExists());

  for (int i = 0; i < 4; ++i) ASSERT_TRUE(converse(plain, 1000, 3000)) << i;
  const int fd = connectLocal(client);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(sendAll(fd, "hello\n"));
  EXPECT_EQ(receive(fd, 6), "olleh\n");
  close(fd);
  ASSERT_TRUE(d.waitForLog("Disconnect", 10s, 5)) << d.log();

  const std::string text = sampleWhen([](const std::string& t) {
    return shown(t, "Connections / sec") == 5 && shown(t, "Outgoing Connections /bytes") == 12006 &&
           shown(t, "Running Threads") > 0 &&
           shown(t, "Idle Threads") == shown(t, "Running Threads");
  });
  EXPECT_EQ(shown(text, "Connections / sec"), 5) << text;
  EXPECT_EQ(shown(text, "Incoming Connections /bytes"), 4006) << text;
  EXPECT_EQ(shown(text, "Outgoing Connections /bytes"), 12006) << text;
  EXPECT_EQ(shown(text, "SSL client connections total"), 1) << text;
  EXPECT_EQ(shown(text, "SSL good client connections"), 1) << text;
  EXPECT_EQ(shown(text, "SSL server connections total"), 0) << text;
  EXPECT_NE(text.find("BKL - Connection Throughput\n"), std::string::npos) << text;

  std::string prometheus;
  ASSERT_EQ(perf({"--prometheus"}, &prometheus), 0) << prometheus;
  EXPECT_NE(prometheus.find("\nbrisklane_connections_total 5\n"), std::string::npos) << prometheus;
  EXPECT_NE(prometheus.find("\nbrisklane_incoming_bytes_total 4006\n"), std::string::npos);
  EXPECT_NE(prometheus.find("\nbrisklane_outgoing_bytes_total 12006\n"), std::string::npos);
  EXPECT_NE(prometheus.find("\nbrisklane_ssl_client_connections_good_total 1\n"),
            std::string::npos);
  EXPECT_EQ(countText(prometheus, "# TYPE "), 13);
  const std::string promFile = dir_.file("metrics.prom");
  { std::ofstream(promFile, std::ios::binary) << prometheus; }
  const std::string lint = dir_.file("promtool.out");
  EXPECT_EQ(run({"promtool", "check", "metrics"}, lint, 30s, promFile), 0) << readFile(lint);

  const uint16_t http = freePort();
  Process server({binDir() + "/brisklane-perf", "--listen", "127.0.0.1:" + std::to_string(http)},
                 dir_.file("listen.log"), perfEnv());
  ASSERT_TRUE(waitForPort(http));
  const std::string scrape = dir_.file("scrape.prom");
  EXPECT_EQ(run({"curl", "-s", "-S", "--max-time", "10", "-o", scrape,
                 "http://127.0.0.1:" + std::to_string(http) + "/metrics"},
                dir_.file("curl.err")),
            0);
  EXPECT_EQ(readFile(scrape), prometheus);
  const int served = server.stop();
  EXPECT_TRUE(WIFEXITED(served) && WEXITSTATUS(served) == 0) << readFile(dir_.file("listen.log"));

  EXPECT_EQ(d.stop(), 0);
  EXPECT_FALSE(blockExists());
  EXPECT_FALSE(registered());
  EXPECT_TRUE(perf::registeredCounterTitles().empty());
  std::string after;
  EXPECT_EQ(perf({}, &after), 1);
  EXPECT_EQ(after, kNotPublished);
}

TEST_F(PerfCounters, SwitchedOffTheyAreRegisteredButNotPublished) {
  store_->setting("perf.mon.enable", 0);
  Daemon& d = startDaemon();
  EXPECT_TRUE(registered());
  EXPECT_FALSE(blockExists());
  std::string out;
  EXPECT_EQ(perf({}, &out), 1);
  EXPECT_EQ(out, kNotPublished);

  const uint16_t http = freePort();
  Process server({binDir() + "/brisklane-perf", "--listen", "127.0.0.1:" + std::to_string(http)},
                 dir_.file("listen.log"), perfEnv());
  ASSERT_TRUE(waitForPort(http));
  const std::string code = dir_.file("code.txt");
  run({"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
       "http://127.0.0.1:" + std::to_string(http) + "/metrics"},
      code);
  EXPECT_EQ(readFile(code), "503");
  server.stop();

  EXPECT_EQ(d.stop(), 0);
  EXPECT_FALSE(registered());
  EXPECT_FALSE(blockExists());
}

TEST_F(PerfCounters, AMachineStoreThatCannotBeWrittenLeavesTheRelayPublishing) {
  std::filesystem::create_directory(store_->dir() + "/machine.reg");
  const uint16_t dest = freePort();
  Process peer = responder(dest, 10, 20);
  const uint16_t plain = freePort();
  rule(1, plain, dest, 0);
  store_->setting("perf.mon.enable", 1);
  Daemon& d = startDaemon();
  ASSERT_TRUE(d.waitForLog("Listening on " + std::to_string(plain) + " ")) << d.log();
  EXPECT_TRUE(d.waitForLog("Couldn't register the performance counters in the machine store "))
      << d.log();
  ASSERT_TRUE(converse(plain, 10, 20));
  const std::string text =
      sampleWhen([](const std::string& t) { return shown(t, "Connections / sec") == 1; });
  EXPECT_EQ(shown(text, "Connections / sec"), 1) << text;
  EXPECT_EQ(shown(text, "Outgoing Connections /bytes"), 20) << text;
  EXPECT_NE(text.find("BKL - Thread Pool Statistics\n"), std::string::npos) << text;
  EXPECT_EQ(d.stop(), 0);
}

}  // namespace
}  // namespace itest
