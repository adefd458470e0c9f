// Quiet connections without a thread, with real peers: connections parked and woken a hundred
// times keep every byte in order over a plug rule, an SSL client rule into an SSL server rule and
// a SOCKS rule; a half-close and a reset that come while a connection is parked are passed on;
// a browser tunnel's drop time still ends a parked tunnel; Clear Keys and a reload leave parked
// connections serving, and the shutdown ends them at once; going quiet asks for the allocator's
// free pages to go back.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "relay/relay.h"
#include "relay/relay_fixture.h"
#include "support/support.h"

namespace {

using namespace std::chrono_literals;
using platform::Hive;
using relay_test::InProcessRelay;
using relay_test::StoreValues;

constexpr auto kQuiet = 20ms;  // the relay's quiet time in these tests

// `count` connections through the port, each of which has echoed "hello"; fewer when one did not.
std::vector<int> echoedConnections(uint16_t port, int count) {
  std::vector<int> fds;
  for (int i = 0; i < count; ++i) {
    const int fd = test_support::connectLocal(port);
    if (fd < 0) break;
    if (!test_support::sendAll(fd, "hello") || test_support::receive(fd, 5) != "hello") {
      close(fd);
      break;
    }
    fds.push_back(fd);
  }
  return fds;
}

// Waits (bounded) until the relay holds `count` parked connections.
bool parkedReach(const relay::Relay& relay, size_t count, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (relay.parkedConnections() != count) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// Waits (bounded) until no pool thread serves a connection.
bool allThreadsIdle(const relay::Relay& relay) {
  for (int i = 0; i < 1000; ++i) {
    const relay::StatusFigures f = relay.figures();
    if (f.poolIdle == f.poolThreads) return true;
    std::this_thread::sleep_for(2ms);
  }
  return false;
}

// A listening socket of the test on 127.0.0.1 that plays the destination itself.
class Destination {
 public:
  Destination() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    bind(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    listen(fd_, 16);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&sin), &len);
    port_ = ntohs(sin.sin_port);
  }
  ~Destination() { close(fd_); }
  Destination(const Destination&) = delete;
  Destination& operator=(const Destination&) = delete;
  uint16_t port() const { return port_; }
  // The relay's next connection, or -1 after 10 s.
  int accept() const {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// What one recv gives within the time: bytes, "" for the end, "<reset>", or "<nothing>".
std::string nextRead(int fd, std::chrono::milliseconds within = 10s) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(std::max<int64_t>(within.count(), 0))) != 1) return "<nothing>";
  char buffer[4096];
  const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
  if (n < 0) return errno == ECONNRESET ? "<reset>" : "<error>";
  return std::string(buffer, static_cast<size_t>(n));
}

// A block whose bytes say which round and offset they belong to, so that a lost, doubled or
// reordered part shows.
std::string roundBlock(int round, size_t size) {
  std::string block(size, '\0');
  for (size_t i = 0; i < size; ++i) block[i] = static_cast<char>((round * 131 + i * 7) & 0xff);
  return block;
}

// A SOCKS 4 connection to 127.0.0.1:port through the relay's SOCKS rule; -1 unless granted.
int socksConnect(uint16_t relayPort, uint16_t port) {
  const int fd = test_support::connectLocal(relayPort);
  if (fd < 0) return -1;
  std::string request = {4, 1, static_cast<char>(port >> 8), static_cast<char>(port & 0xff), 127, 0,
                         0, 1};
  request += std::string("quiet") + '\0';
  const std::string answer = test_support::sendAll(fd, request) ? test_support::receive(fd, 8) : "";
  if (answer.size() != 8 || answer[1] != 90) {
    close(fd);
    return -1;
  }
  return fd;
}

class QuietConnections : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setHiveDirectory(folder_.path());
    store_.quietSettings(true);  // served from the pool
    store_.dword("", "verbose", 1);
  }
  void TearDown() override { platform::setHiveDirectory(""); }
  bool start() {
    relay_.relay.setQuietTime(kQuiet);
    return relay_.start();
  }
  test_support::TempDir folder_;
  StoreValues store_{Hive::kCurrentUser};
  InProcessRelay relay_;
};

TEST_F(QuietConnections, ParkedAndWokenAHundredTimesEveryByteArrivesInOrder) {
  const std::string pki = folder_.path();
  test_support::makePki(pki);
  const uint16_t echoPort = test_support::freePort();
  test_support::Process echo = test_support::echoService(echoPort, folder_.file("echo.log"));
  ASSERT_TRUE(test_support::waitForPort(echoPort));
  const uint16_t plug = test_support::freePort();
  const uint16_t client = test_support::freePort();
  const uint16_t server = test_support::freePort();
  const uint16_t socks = test_support::freePort();
  store_.rule(1, plug, "127.0.0.1", echoPort, 0);
  store_.rule(2, client, "127.0.0.1", server, 1);
  store_.rule(3, server, "127.0.0.1", echoPort, 2,
              {{"ssl.cert", pki + "/server.pem"}, {"ssl.key", pki + "/server.key"}});
  store_.rule(4, socks, "127.0.0.1", echoPort, 0);
  store_.dword("Rule4", "connect.type", 1);
  ASSERT_TRUE(start());

  std::vector<int> fds = {test_support::connectLocal(plug), test_support::connectLocal(client),
                          socksConnect(socks, echoPort)};
  for (const int fd : fds) ASSERT_GE(fd, 0);
  // The chain is two relayed connections of this relay: the SSL client rule's and the server's.
  constexpr size_t kParked = 4;
  for (int round = 0; round < 100; ++round) {
    ASSERT_TRUE(parkedReach(relay_.relay, kParked))
        << "round " << round << ": " << relay_.relay.parkedConnections();
    // From one byte to several full blocks of a direction.
    const size_t size = 1 + (static_cast<size_t>(round) * 7919) % 300000;
    const std::string block = roundBlock(round, size);
    for (size_t i = 0; i < fds.size(); ++i) {
      ASSERT_TRUE(test_support::sendAll(fds[i], block));
      ASSERT_EQ(test_support::receive(fds[i], size), block) << "round " << round << " path " << i;
    }
  }
  EXPECT_TRUE(parkedReach(relay_.relay, kParked));
  // Every pool thread went back to the pool while the connections were parked.
  EXPECT_TRUE(allThreadsIdle(relay_.relay)) << relay_.relay.statusText();
  for (const int fd : fds) close(fd);
  EXPECT_TRUE(parkedReach(relay_.relay, 0));
  for (int i = 0; i < 500 && relay_.relay.figures().connectionsOpen != 0; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(relay_.relay.figures().connectionsOpen, 0u);
  EXPECT_EQ(relay_.observer.count("Disconnect 127.0.0.1."), 4);
  EXPECT_EQ(relay_.observer.count("Couldn't add I/O work item"), 0);
  relay_.relay.shutdown();
  echo.stop();
}

// The far end is the test's own socket, so that what the relay passes on is seen as it comes.
TEST_F(QuietConnections, AHalfCloseAndAResetWhileParkedArePassedOn) {
  Destination far;
  const uint16_t port = test_support::freePort();
  store_.rule(1, port, "127.0.0.1", far.port(), 0);
  ASSERT_TRUE(start());

  // A half-closed request while parked: the end reaches the destination, whose answer still
  // comes back whole, and the connection ends cleanly once both ends closed.
  const int a = test_support::connectLocal(port);
  ASSERT_GE(a, 0);
  const int aFar = far.accept();
  ASSERT_GE(aFar, 0);
  ASSERT_TRUE(parkedReach(relay_.relay, 1));
  ASSERT_TRUE(test_support::sendAll(a, "last request"));
  shutdown(a, SHUT_WR);
  EXPECT_EQ(test_support::receive(aFar, 12), "last request");
  EXPECT_EQ(nextRead(aFar), "") << "the half-close was not passed on";
  ASSERT_TRUE(parkedReach(relay_.relay, 1));
  ASSERT_TRUE(test_support::sendAll(aFar, "the answer"));
  EXPECT_EQ(test_support::receive(a, 10), "the answer");
  close(aFar);
  EXPECT_EQ(nextRead(a), "");
  close(a);

  // A reset while parked is a reset on the other side too.
  const int b = test_support::connectLocal(port);
  ASSERT_GE(b, 0);
  const int bFar = far.accept();
  ASSERT_GE(bFar, 0);
  ASSERT_TRUE(test_support::sendAll(b, "begun"));
  EXPECT_EQ(test_support::receive(bFar, 5), "begun");
  ASSERT_TRUE(parkedReach(relay_.relay, 1));
  const linger hard{1, 0};
  setsockopt(b, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(b);
  EXPECT_EQ(nextRead(bFar), "<reset>");
  close(bFar);
  EXPECT_TRUE(relay_.observer.waitFor("Disconnect 127.0.0.1.", 2));
  int resets = 0;
  for (const std::string& line : relay_.observer.lines()) {
    resets += line.find(": Connection reset.") != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(resets, 1);
  EXPECT_TRUE(parkedReach(relay_.relay, 0));
  relay_.relay.shutdown();
}

// A browser's tunnel through a destination-mode-2 rule ends after the rule's drop time of quiet,
// parked or not; a plain rule's connection has no such limit.
TEST_F(QuietConnections, TheDropTimeEndsAParkedTunnel) {
  Destination far;
  const uint16_t tunnel = test_support::freePort();
  const uint16_t plain = test_support::freePort();
  store_.rule(1, tunnel, "127.0.0.1", far.port(), 0);
  store_.dword("Rule1", "connect.type", 2);
  store_.dword("Rule1", "http.proxy.droptime", 1);
  store_.rule(2, plain, "127.0.0.1", far.port(), 0);
  ASSERT_TRUE(start());

  const int browser = test_support::connectLocal(tunnel);
  ASSERT_GE(browser, 0);
  const std::string target = "127.0.0.1:" + std::to_string(far.port());
  ASSERT_TRUE(test_support::sendAll(browser, "CONNECT " + target + " HTTP/1.0\r\n\r\n"));
  const int tunnelFar = far.accept();
  ASSERT_GE(tunnelFar, 0);
  EXPECT_NE(nextRead(browser).find("200"), std::string::npos);
  const int quiet = test_support::connectLocal(plain);
  ASSERT_GE(quiet, 0);
  const int quietFar = far.accept();
  ASSERT_GE(quietFar, 0);
  ASSERT_TRUE(parkedReach(relay_.relay, 2));
  const auto parkedAt = std::chrono::steady_clock::now();
  EXPECT_EQ(nextRead(browser), "") << "the drop time did not end the tunnel";
  const auto waited = std::chrono::steady_clock::now() - parkedAt;
  EXPECT_GE(waited, 800ms);
  EXPECT_LT(waited, 3s);
  EXPECT_TRUE(relay_.observer.waitFor("Disconnect "));
  EXPECT_GE(relay_.observer.count("Disconnect " + target + " from 127.0.0.1:"), 1);
  // The plain connection is still there after the tunnel's end, and still relays.
  EXPECT_TRUE(parkedReach(relay_.relay, 1));
  ASSERT_TRUE(test_support::sendAll(quiet, "still here"));
  EXPECT_EQ(test_support::receive(quietFar, 10), "still here");
  close(browser);
  close(tunnelFar);
  close(quiet);
  close(quietFar);
  relay_.relay.shutdown();
}

TEST_F(QuietConnections, ClearKeysAndAReloadLeaveThemServingAndTheShutdownEndsThem) {
  const uint16_t echoPort = test_support::freePort();
  test_support::Process echo = test_support::echoService(echoPort, folder_.file("echo.log"));
  ASSERT_TRUE(test_support::waitForPort(echoPort));
  const uint16_t port = test_support::freePort();
  store_.rule(1, port, "127.0.0.1", echoPort, 0);
  ASSERT_TRUE(start());
  constexpr int kHeld = 50;
  const std::vector<int> fds = echoedConnections(port, kHeld);
  ASSERT_EQ(fds.size(), static_cast<size_t>(kHeld));
  ASSERT_TRUE(parkedReach(relay_.relay, kHeld));

  relay_.relay.clearKeys();
  const size_t seen = relay_.observer.changes();
  relay_.relay.reload();
  relay::ChangeResult result;
  ASSERT_TRUE(relay_.observer.waitForChange(seen, &result));
  for (int i = 0; i < kHeld; ++i) {
    ASSERT_TRUE(test_support::sendAll(fds[i], "after " + std::to_string(i)));
    EXPECT_EQ(test_support::receive(fds[i], 6 + std::to_string(i).size()),
              "after " + std::to_string(i));
  }
  ASSERT_TRUE(parkedReach(relay_.relay, kHeld));

  const auto before = std::chrono::steady_clock::now();
  relay_.relay.shutdown();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
  EXPECT_EQ(relay_.relay.parkedConnections(), 0u);
  int ended = 0;
  for (const int fd : fds) {
    ended += nextRead(fd).empty() ? 1 : 0;
    close(fd);
  }
  EXPECT_EQ(ended, kHeld) << "the shutdown left parked connections open";
  echo.stop();
}

// Connections that went quiet just before the shutdown, not parked yet, end with the parked ones
// once their quiet time is up, instead of holding their threads beyond the shutdown (which then
// waited for them in vain).
TEST_F(QuietConnections, TheShutdownEndsConnectionsThatWereAboutToBeParked) {
  const uint16_t echoPort = test_support::freePort();
  test_support::Process echo = test_support::echoService(echoPort, folder_.file("echo.log"));
  ASSERT_TRUE(test_support::waitForPort(echoPort));
  const uint16_t port = test_support::freePort();
  store_.rule(1, port, "127.0.0.1", echoPort, 0);
  relay_.relay.setQuietTime(1s);
  ASSERT_TRUE(relay_.start());
  constexpr int kHeld = 10;
  const std::vector<int> fds = echoedConnections(port, kHeld);
  ASSERT_EQ(fds.size(), static_cast<size_t>(kHeld));
  EXPECT_EQ(relay_.relay.parkedConnections(), 0u);

  const auto before = std::chrono::steady_clock::now();
  relay_.relay.shutdown();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2500ms);
  const auto end = std::chrono::steady_clock::now() + 2s;
  int ended = 0;
  for (const int fd : fds) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (nextRead(fd, left).empty()) ++ended;
    close(fd);
  }
  EXPECT_EQ(ended, kHeld) << "connections were left open after the shutdown";
  EXPECT_EQ(relay_.observer.count("Disconnect 127.0.0.1."), kHeld);
  echo.stop();
}

// The allocator is the program's, so the relay only asks: a connection that gives its buffers
// back asks for the free pages to be given back too, and the status tick (every five seconds)
// serves what such asks left owed, also when no other connection goes quiet afterwards.
TEST_F(QuietConnections, GoingQuietAsksForFreePagesToGoBackAndTheStatusTickServesWhatIsOwed) {
  auto asked = std::make_shared<std::atomic<int>>(0);
  auto served = std::make_shared<std::atomic<int>>(0);
  relay_.relay.setMemoryReturn([asked] { ++*asked; }, [served] { ++*served; });
  Destination far;
  const uint16_t port = test_support::freePort();
  store_.rule(1, port, "127.0.0.1", far.port(), 0);
  ASSERT_TRUE(start());
  const int fd = test_support::connectLocal(port);
  ASSERT_GE(fd, 0);
  const int farFd = far.accept();
  ASSERT_GE(farFd, 0);
  ASSERT_TRUE(test_support::sendAll(fd, "bytes"));
  EXPECT_EQ(test_support::receive(farFd, 5), "bytes");
  ASSERT_TRUE(parkedReach(relay_.relay, 1));
  EXPECT_GE(asked->load(), 1);
  const auto end = std::chrono::steady_clock::now() + 8s;
  while (served->load() == 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_GE(served->load(), 1) << "no status tick served the owed memory";
  close(fd);
  close(farFd);
  relay_.relay.shutdown();
}

}  // namespace
