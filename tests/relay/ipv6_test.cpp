// Both address families through one relay, with real peers on the IPv6 loopback: an SSL client
// rule listening on ::1 to openssl s_server -6 (its host check included), source prefixes on a
// dual-stack listener, destination names of one family or both (the next address tried when
// the first refuses or does not answer), and curl through the browser rule to bracketed hosts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "relay/relay_fixture.h"
#include "support/support.h"

namespace {

using namespace std::chrono_literals;
using platform::Hive;
using relay_test::InProcessRelay;
using relay_test::StoreValues;
using Clock = std::chrono::steady_clock;

bool waitForPort6(uint16_t port) {
  for (int i = 0; i < 200; ++i) {
    const int fd = test_support::connectLocal6(port);
    if (fd >= 0) {
      close(fd);
      return true;
    }
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

// Sends a line on a connected socket and reads as many bytes back.
std::string roundTrip(int fd, const std::string& line) {
  if (fd < 0) return "(no connection)";
  std::string back = test_support::sendAll(fd, line) ? test_support::receive(fd, line.size(), 10s)
                                                     : "(send failed)";
  close(fd);
  return back;
}

// An echo service on [::1]:port only; 127.0.0.1:port refuses.
test_support::Process echoService6(uint16_t port, const std::string& outputFile) {
  return test_support::Process(
      {"socat", "TCP6-LISTEN:" + std::to_string(port) + ",bind=[::1],ipv6only=1,reuseaddr,fork",
       "EXEC:cat"},
      outputFile);
}

class Ipv6 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test_support::haveIpv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback";
    platform::setHiveDirectory(folder_.path());
    store_.quietSettings();
    store_.dword("", "verbose", 1);
  }
  void TearDown() override { platform::setHiveDirectory(""); }

  bool logged(const InProcessRelay& r, const std::string& text) const {
    for (const std::string& line : r.observer.lines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
  // Waits (bounded) until a line holding `text` was logged.
  bool waitLogged(const InProcessRelay& r, const std::string& text) const {
    for (int i = 0; i < 200; ++i) {
      if (logged(r, text)) return true;
      std::this_thread::sleep_for(25ms);
    }
    return false;
  }
  std::string log(const InProcessRelay& r) const {
    std::string all;
    for (const std::string& line : r.observer.lines()) all += line + "\n";
    return all;
  }

  test_support::TempDir folder_;
  StoreValues store_{Hive::kCurrentUser};
};

// The relay listens on ::1 only, reaches an IPv6 TLS server and checks that the server's
// certificate names ::1: a certificate for another IPv6 address is refused.
TEST_F(Ipv6, SslClientRuleOnTheIpv6LoopbackAndTheServersAddressCheck) {
  test_support::makePki(folder_.path());
  test_support::makeCert(folder_.path(), "six", "six", "IP:::1");
  test_support::makeCert(folder_.path(), "other", "other", "IP:::2");
  store_.text("", "ssl.ca_cert", folder_.file("ca.pem"));
  const uint16_t good = test_support::freePort();
  const uint16_t wrong = test_support::freePort();
  auto server = [&](uint16_t port, const std::string& cert) {
    return test_support::Process(
        {"openssl", "s_server", "-6", "-accept", "[::1]:" + std::to_string(port), "-cert",
         folder_.file(cert + ".pem"), "-key", folder_.file(cert + ".key"), "-rev", "-quiet"},
        folder_.file(cert + ".log"));
  };
  test_support::Process six = server(good, "six");
  test_support::Process other = server(wrong, "other");
  ASSERT_TRUE(waitForPort6(good));
  ASSERT_TRUE(waitForPort6(wrong));
  const uint16_t toGood = test_support::freePort();
  const uint16_t toWrong = test_support::freePort();
  const std::map<std::string, std::string> onLoopback6 = {
      {"if.addr.str", "::1"}, {"peer.addr.str", "::1"}, {"peer.mask.str", "128"}};
  store_.rule(1, toGood, "::1", good, 1, onLoopback6);
  store_.rule(2, toWrong, "[::1]", wrong, 1, onLoopback6);
  store_.dword("Rule1", "ssl.verify_server", 1);
  store_.dword("Rule2", "ssl.verify_server", 1);
  InProcessRelay r;
  ASSERT_TRUE(r.start()) << log(r);

  const int client = test_support::connectLocal6(toGood);
  EXPECT_EQ(roundTrip(client, "hello six\n"), "xis olleh\n") << log(r);
  EXPECT_TRUE(waitLogged(r, "Outgoing TLSv1.3 client connection to [::1]:" + std::to_string(good)))
      << log(r);
  EXPECT_TRUE(logged(r, "to [::1]:" + std::to_string(good) + " as client")) << log(r);
  // An interface of ::1 is not 127.0.0.1.
  EXPECT_LT(test_support::connectLocal(toGood), 0);

  const int refused = test_support::connectLocal6(toWrong);
  EXPECT_EQ(roundTrip(refused, "x\n"), "");
  EXPECT_TRUE(waitLogged(r, "SSL_connect <0> to [::1]:" + std::to_string(wrong) + " failed") ||
              logged(r, "SSL_connect <-1> to [::1]:" + std::to_string(wrong) + " failed"))
      << log(r);
  EXPECT_TRUE(logged(r, "IP address mismatch")) << log(r);
  r.relay.shutdown();
}

// An empty interface takes both families on one socket. A source prefix takes its own clients;
// a mask of the other family's kind is refused at load; an "All" rule takes either family, and an
// IPv4 client's lines read as they always have.
TEST_F(Ipv6, SourcePrefixesOnADualStackListener) {
  const uint16_t echoPort = test_support::freePort();
  test_support::Process echo = test_support::echoService(echoPort, folder_.file("echo.log"));
  ASSERT_TRUE(test_support::waitForPort(echoPort));
  const uint16_t prefixed = test_support::freePort();
  const uint16_t anyone = test_support::freePort();
  store_.rule(1, prefixed, "127.0.0.1", echoPort, 0,
              {{"if.addr.str", ""}, {"peer.addr.str", "::1"}, {"peer.mask.str", "/128"}});
  store_.rule(
      2, prefixed, "127.0.0.1", echoPort, 0,
      {{"if.addr.str", ""}, {"peer.addr.str", "::1"}, {"peer.mask.str", "255.255.255.255"}});
  store_.rule(3, prefixed, "127.0.0.1", echoPort, 0,
              {{"if.addr.str", ""}, {"peer.addr.str", "127.0.0.1"}, {"peer.mask.str", "32"}});
  store_.rule(4, anyone, "127.0.0.1", echoPort, 0, {{"if.addr.str", "All"}});
  InProcessRelay r;
  ASSERT_TRUE(r.start()) << log(r);
  EXPECT_TRUE(logged(r,
                     "Rule2 is refused: its client mask <255.255.255.255> does not fit <::1>: "
                     "an IPv6 source takes a prefix length from 0 to 128 as its mask"))
      << log(r);
  EXPECT_TRUE(logged(r,
                     "Rule3 is refused: its client mask <32> does not fit <127.0.0.1>: a "
                     "prefix length is a mask for IPv6 sources only"))
      << log(r);

  EXPECT_EQ(roundTrip(test_support::connectLocal6(prefixed), "six\n"), "six\n") << log(r);
  // 127.0.0.1 reaches the same listener, and no served rule takes it.
  const int four = test_support::connectLocal(prefixed);
  ASSERT_GE(four, 0) << "one socket takes both families";
  sockaddr_in mine{};
  socklen_t len = sizeof mine;
  getsockname(four, reinterpret_cast<sockaddr*>(&mine), &len);
  EXPECT_EQ(roundTrip(four, "four\n"), "");
  EXPECT_TRUE(waitLogged(r, "No destination for 127.0.0.1." + std::to_string(ntohs(mine.sin_port))))
      << log(r);

  EXPECT_EQ(roundTrip(test_support::connectLocal6(anyone), "any six\n"), "any six\n");
  EXPECT_EQ(roundTrip(test_support::connectLocal(anyone), "any four\n"), "any four\n");
  EXPECT_TRUE(waitLogged(r, "Connection to port " + std::to_string(anyone) + " from [::1]:"));
  EXPECT_TRUE(logged(r, "Connection to port " + std::to_string(anyone) + " from 127.0.0.1."));
  EXPECT_TRUE(logged(r, " to 127.0.0.1." + std::to_string(echoPort) + " as plug")) << log(r);
  r.relay.shutdown();
}

// A destination name with IPv6 addresses only is reached; one whose IPv4 address refuses, or
// does not answer within a quarter second, is reached at its IPv6 address next.
TEST_F(Ipv6, DestinationNamesOfEitherFamilyAndTheNextAddress) {
  const uint16_t echoPort = test_support::freePort();
  test_support::Process echo = echoService6(echoPort, folder_.file("echo.log"));
  ASSERT_TRUE(waitForPort6(echoPort));
  ASSERT_LT(test_support::connectLocal(echoPort), 0) << "127.0.0.1 refuses";
  // 127.0.0.2 on the echo's port answers nothing: its queue is full.
  const int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(echoPort);
  inet_pton(AF_INET, "127.0.0.2", &at.sin_addr);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(silent, 0), 0);
  const int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  connect(filler, reinterpret_cast<sockaddr*>(&at), sizeof at);
  std::this_thread::sleep_for(100ms);

  test_support::FakeNames names({{"six.test", {"::1"}},
                                 {"refusing.test", {"127.0.0.1", "::1"}},
                                 {"silent.test", {"127.0.0.2", "::1"}}});
  const uint16_t six = test_support::freePort();
  const uint16_t refusing = test_support::freePort();
  const uint16_t silentFirst = test_support::freePort();
  store_.rule(1, six, "six.test", echoPort);
  store_.rule(2, refusing, "refusing.test", echoPort);
  store_.rule(3, silentFirst, "silent.test", echoPort);
  InProcessRelay r;
  ASSERT_TRUE(r.start()) << log(r);
  EXPECT_EQ(roundTrip(test_support::connectLocal(six), "only six\n"), "only six\n") << log(r);
  EXPECT_EQ(roundTrip(test_support::connectLocal(refusing), "refused\n"), "refused\n") << log(r);
  const auto start = Clock::now();
  EXPECT_EQ(roundTrip(test_support::connectLocal(silentFirst), "silent\n"), "silent\n") << log(r);
  const auto spent = Clock::now() - start;
  EXPECT_GE(spent, 200ms) << "the first address had its quarter second";
  EXPECT_LT(spent, 5s);
  // Several at once, each through the fallback.
  std::vector<std::thread> clients;
  std::atomic<int> echoed{0};
  for (int i = 0; i < 6; ++i) {
    clients.emplace_back([&, i] {
      const std::string line = "line " + std::to_string(i) + "\n";
      echoed += roundTrip(test_support::connectLocal(i % 2 ? refusing : silentFirst), line) == line;
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(echoed.load(), 6);
  EXPECT_FALSE(logged(r, "Couldn't connect")) << log(r);
  r.relay.shutdown();
  close(filler);
  close(silent);
}

// curl through the browser rule: a CONNECT to a bracketed IPv6 host, and a plain request whose
// absolute URL names one.
TEST_F(Ipv6, BrowserRequestsForBracketedHosts) {
  test_support::makePki(folder_.path());
  const uint16_t tls = test_support::freePort();
  test_support::Process server(
      {"openssl", "s_server", "-6", "-accept", "[::1]:" + std::to_string(tls), "-cert",
       folder_.file("server.pem"), "-key", folder_.file("server.key"), "-www", "-quiet"},
      folder_.file("server.log"));
  // A web server on [::1] that answers any request with one page, after logging its line.
  const uint16_t web = test_support::freePort();
  test_support::writeFile(folder_.file("respond.sh"),
                          "IFS= read -r line; echo \"$line\" >> '" + folder_.file("requests") +
                              "'\n"
                              "while IFS= read -r l; do case \"$l\" in $(printf '\\r')|'') break;; "
                              "esac; done\n"
                              "printf 'HTTP/1.0 200 OK\\r\\nContent-Length: 28\\r\\n\\r\\n"
                              "a page on the IPv6 loopback\\n'\n");
  test_support::Process http(
      {"socat", "TCP6-LISTEN:" + std::to_string(web) + ",bind=[::1],ipv6only=1,reuseaddr,fork",
       "EXEC:sh " + folder_.file("respond.sh")},
      folder_.file("http.log"));
  ASSERT_TRUE(waitForPort6(tls));
  ASSERT_TRUE(waitForPort6(web));
  const uint16_t proxy = test_support::freePort();
  store_.rule(1, proxy, "", 0, 0, {});
  store_.dword("Rule1", "connect.type", 2);
  InProcessRelay r;
  ASSERT_TRUE(r.start()) << log(r);
  const std::string out = folder_.file("curl.out");
  const std::string via = "http://127.0.0.1:" + std::to_string(proxy);
  EXPECT_EQ(test_support::run({"curl", "-sS", "-k", "--max-time", "20", "-x", via, "-o", out,
                               "https://[::1]:" + std::to_string(tls) + "/"},
                              folder_.file("curl.log")),
            0)
      << test_support::readFile(folder_.file("curl.log")) << log(r);
  EXPECT_NE(test_support::readFile(out).find("Ciphers supported in s_server binary"),
            std::string::npos);
  // The tunnel's line names the destination first, as the browser rule's lines always have.
  EXPECT_TRUE(waitLogged(r, "Disconnect [::1]:" + std::to_string(tls) + " from 127.0.0.1:"))
      << log(r);
  EXPECT_EQ(test_support::run({"curl", "-sS", "--max-time", "20", "-x", via, "-o", out,
                               "http://[::1]:" + std::to_string(web) + "/page.txt"},
                              folder_.file("curl.log")),
            0)
      << test_support::readFile(folder_.file("curl.log")) << log(r);
  EXPECT_EQ(test_support::readFile(out), "a page on the IPv6 loopback\n");
  // The request goes on as the browser wrote it, its bracketed host included.
  EXPECT_NE(test_support::readFile(folder_.file("requests"))
                .find("GET http://[::1]:" + std::to_string(web) + "/page.txt HTTP/1.1\r\n"),
            std::string::npos);
  r.relay.shutdown();
}

}  // namespace
