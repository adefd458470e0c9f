// brisklane-perf as a user meets it, a real process against a block this test publishes: how it
// ends on a signal whatever it is doing, how it gives up on a lock that stays taken, and its
// /metrics endpoint against clients that send slowly or without end.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "perf/perf_data.h"
#include "perf_fixture.h"
#include "support/support.h"

namespace perf_test {
namespace {

using test_support::Process;

class PerfTool : public PerfTest {
 protected:
  void SetUp() override {
    PerfTest::SetUp();
    tool_ = test_support::binDir() + "/brisklane-perf";
    if (!std::filesystem::exists(tool_)) GTEST_SKIP() << tool_ << " is not built";
  }
  Process start(std::vector<std::string> args, const std::string& out) const {
    args.insert(args.begin(), tool_);
    return Process(args, dir_ + "/" + out,
                   {{"BRISKLANE_SHM_PREFIX", prefix_}, {"BRISKLANE_CONFIG_DIR", dir_}});
  }
  std::string output(const std::string& out) const {
    return test_support::readFile(dir_ + "/" + out);
  }
  // One GET /metrics on a connection of its own; the whole answer, or what came within 10 s.
  static std::string scrape(uint16_t port) {
    const int fd = test_support::connectLocal(port);
    if (fd < 0) return "";
    test_support::sendAll(fd, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const std::string answer = test_support::receive(fd, 1 << 20, 10s);
    close(fd);
    return answer;
  }
  // The most memory the process has had, in KiB.
  static long peakKib(pid_t pid) {
    const std::string status = test_support::readFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmHWM:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
  }

  std::string tool_;
};

TEST_F(PerfTool, EndsOnASignalWhileItWaitsForALockThatStaysTakenAndGivesUpOnItAlone) {
  perf::PerfDataManager publisher("BKL", prefix_);
  ASSERT_EQ(publisher.open(), 0);
  overwrite(shmFile("TAV_Optex_MMF_BKL"), lockState(0, 1, 1, 1));  // thread 1 never ends

  Process once = start({}, "once.out");
  std::this_thread::sleep_for(300ms);
  once.signal(SIGTERM);
  const int status = once.wait(10s);
  EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM)
      << "a single sample did not end on SIGTERM (" << status << ")";

  Process every = start({"-i", "1"}, "every.out");
  std::this_thread::sleep_for(300ms);
  every.signal(SIGINT);
  const int sampled = every.wait(10s);
  EXPECT_TRUE(sampled != -1 && WIFEXITED(sampled) && WEXITSTATUS(sampled) == 0)
      << "sampling did not end on SIGINT in the middle of a sample (" << sampled << ")";

  Process alone = start({}, "alone.out");
  const int given = alone.wait(20s);
  EXPECT_TRUE(given != -1 && WIFEXITED(given) && WEXITSTATUS(given) == 3) << given;
  EXPECT_EQ(output("alone.out"), "brisklane-perf: the counter lock /" + prefix_ +
                                     "TAV_Optex_MMF_BKL was not free within 1500 ms (held by "
                                     "thread 1)\n");
  overwrite(shmFile("TAV_Optex_MMF_BKL"), lockState(0, 0, 0, 0));
  publisher.close();
}

TEST_F(PerfTool, MetricsOnABarePortAreServedHereAndNoClientDelaysAnotherScrape) {
  perf::PerfDataManager publisher("BKL", prefix_);
  ASSERT_EQ(publisher.open(), 0);
  publisher.setThroughput(7, 8);
  const uint16_t port = test_support::freePort();
  Process server = start({"--listen", std::to_string(port)}, "listen.log");
  ASSERT_TRUE(test_support::waitForPort(port));
  EXPECT_TRUE(test_support::waitForText(
      dir_ + "/listen.log",
      "Serving the counters at http://127.0.0.1:" + std::to_string(port) + "/metrics"));
  std::string answer = scrape(port);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("\nbrisklane_incoming_bytes_total 7\n"), std::string::npos) << answer;

  // Twelve clients that send their request head a byte a second.
  std::vector<int> slow;
  for (int i = 0; i < 12; ++i) {
    slow.push_back(test_support::connectLocal(port));
    test_support::sendAll(slow.back(), "GET /metrics HTTP/1.1\r\n");
  }
  std::atomic<bool> trickling{true};
  std::thread trickle([&] {
    for (int round = 0; round < 20 && trickling; ++round) {
      for (const int fd : slow) test_support::sendAll(fd, "X");
      for (int i = 0; i < 10 && trickling; ++i) std::this_thread::sleep_for(100ms);
    }
  });
  std::this_thread::sleep_for(1500ms);
  const auto asked = std::chrono::steady_clock::now();
  answer = scrape(port);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - asked);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << "slow clients kept a scrape out";
  std::printf("scrape with 12 slow clients: %lld ms\n", static_cast<long long>(took.count()));
  for (const int fd : slow) {
    EXPECT_EQ(test_support::receive(fd, 64, 10s).rfind("HTTP/1.1 408", 0), 0u)
        << "a slow head was not cut off";
  }
  trickling = false;
  trickle.join();
  for (const int fd : slow) close(fd);

  // Four clients that send header lines without end, three million each at most.
  std::vector<size_t> sent(4, 0);
  std::vector<std::thread> floods;
  for (size_t c = 0; c < sent.size(); ++c) {
    floods.emplace_back([&, c] {
      const int fd = test_support::connectLocal(port);
      std::string lines;
      for (int i = 0; i < 1000; ++i) lines += "X-Flood: yes\r\n";
      bool open = test_support::sendAll(fd, "GET /metrics HTTP/1.1\r\n");
      for (int i = 0; i < 3000 && open; ++i) {
        open = test_support::sendAll(fd, lines);
        if (open) sent[c] += lines.size();
      }
      close(fd);
    });
  }
  for (std::thread& t : floods) t.join();
  // What the kernel's buffers took is sent; the rest must fail once the endpoint closes.
  for (const size_t bytes : sent) EXPECT_LT(bytes, 3000u * 14000u) << "an endless head was read on";
  const long peak = peakKib(server.pid());
  EXPECT_GT(peak, 0);
  EXPECT_LT(peak, 64 * 1024) << "the endpoint grew with the heads sent to it";
  std::printf("peak memory of brisklane-perf --listen after the floods: %ld KiB\n", peak);
  EXPECT_EQ(scrape(port).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);

  server.signal(SIGTERM);
  const int status = server.wait(10s);
  EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  publisher.close();
}

TEST_F(PerfTool, AnAddressThatIsNotLoopbackIsTakenButSaidToBeReachable) {
  const uint16_t port = test_support::freePort();
  Process server = start({"--listen", "0.0.0.0:" + std::to_string(port)}, "any.log");
  EXPECT_TRUE(test_support::waitForText(
      dir_ + "/any.log",
      "0.0.0.0 is not a loopback address: the counters are reachable by others on the network"));
  ASSERT_TRUE(test_support::waitForPort(port));
  EXPECT_EQ(scrape(port).rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u);
  server.stop();
  Process bad = start({"--listen", "localhost:"}, "bad.log");
  const int status = bad.wait(10s);
  EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
}

}  // namespace
}  // namespace perf_test
