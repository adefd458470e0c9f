// Quiet connections without threads, end to end: thousands of connections held quiet through an
// SSL client rule in one brisklaned into an SSL server rule in another, as mail clients hold
// theirs, cost each daemon a handful of threads; then every one of them echoes at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace itest {
namespace {

// Under ThreadSanitizer every thread is costly, and the wave of threads that serves all
// connections at once must stay within what it takes.
#if defined(__SANITIZE_THREAD__)
constexpr int kHeld = 1000;
#else
constexpr int kHeld = 5000;
#endif
// How long both daemons may take to end: 5 s, as for the program itself; the AddressSanitizer
// build ends each of the 5,000 parked connections several times slower, and next to the other
// tests of a run on two cores it was seen to need 5.9 s.
#if defined(__SANITIZE_ADDRESS__)
constexpr auto kEndWithin = std::chrono::seconds(10);
#else
constexpr auto kEndWithin = std::chrono::seconds(5);
#endif

int threadsOf(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

// Waits (bounded) until the process runs fewer than `limit` threads; its count then.
int threadsFallBelow(pid_t pid, int limit, std::chrono::seconds wait) {
  const auto end = std::chrono::steady_clock::now() + wait;
  int n = threadsOf(pid);
  while (n >= limit && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(200ms);
    n = threadsOf(pid);
  }
  return n;
}

void writeRule(const std::string& dir, uint16_t listen, uint16_t dest, uint32_t role,
               std::map<std::string, std::string> texts) {
  Store store(dir);
  store.setting("verbose", 0u);
  texts.emplace("peer.port.str", std::to_string(listen));
  texts.emplace("peer.addr.str", "All");
  texts.emplace("peer.mask.str", "All");
  texts.emplace("if.addr.str", "127.0.0.1");
  texts.emplace("dest.addr.str", "127.0.0.1");
  texts.emplace("dest.port.str", std::to_string(dest));
  store.rule(1, texts, {{"ssl.role", role}});
}

TEST(QuietDaemons, ThousandsOfQuietConnectionsHoldFewThreadsThenAllEchoAtOnce) {
  TempDir dir;
  makePki(dir.path());
  EchoServer echo;
  const uint16_t server = freePort();
  const uint16_t client = freePort();
  writeRule(dir.file("server"), server, echo.port(), 2,
            {{"ssl.cert", dir.file("server.pem")}, {"ssl.key", dir.file("server.key")}});
  writeRule(dir.file("client"), client, server, 1, {});
  Daemon serverSide(dir.file("server"), dir.file("server.log"));
  Daemon clientSide(dir.file("client"), dir.file("client.log"));
  ASSERT_TRUE(waitForPort(server)) << serverSide.log();
  ASSERT_TRUE(waitForPort(client)) << clientSide.log();

  std::vector<int> fds;
  for (int i = 0; i < kHeld; ++i) {
    const int fd = connectLocal(client);
    ASSERT_GE(fd, 0) << i;
    fds.push_back(fd);
    // One exchange makes the whole chain, the SSL hop's handshake with it, before the next.
    const std::string hello = "hello " + std::to_string(i);
    ASSERT_TRUE(sendAll(fd, hello));
    ASSERT_EQ(receive(fd, hello.size(), 30s), hello) << i;
  }
  // Pool threads that served the set-up end after 30 s without work; the parked connections
  // hold none.
  EXPECT_LT(threadsFallBelow(clientSide.pid(), 100, 60s), 100) << kHeld << " held";
  EXPECT_LT(threadsFallBelow(serverSide.pid(), 100, 30s), 100) << kHeld << " held";

  for (int i = 0; i < kHeld; ++i) {
    ASSERT_TRUE(sendAll(fds[i], "all at once " + std::to_string(i))) << i;
  }
  int intact = 0;
  for (int i = 0; i < kHeld; ++i) {
    const std::string expect = "all at once " + std::to_string(i);
    intact += receive(fds[i], expect.size(), 30s) == expect ? 1 : 0;
  }
  EXPECT_EQ(intact, kHeld);

  // Quiet again (half a second), every connection is parked when the daemons are told to end:
  // both end within kEndWithin (each parked connection closed without lingering on its own).
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(clientSide.running());
  EXPECT_TRUE(serverSide.running());
  const auto before = std::chrono::steady_clock::now();
  clientSide.signal(SIGTERM);
  serverSide.signal(SIGTERM);
  EXPECT_EQ(clientSide.wait(kEndWithin), 0);
  EXPECT_EQ(serverSide.wait(kEndWithin), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - before, kEndWithin);
  for (const int fd : fds) close(fd);
}

}  // namespace
}  // namespace itest
