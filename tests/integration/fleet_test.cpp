// Two brisklaned behind HAProxy, as a fleet runs: HAProxy sends each connection on with a PROXY
// header (version 2), the relays match and log the real client, the connections spread over both;
// a session made through one relay is resumed through the other with the shared ticket keys, also
// after a key is added and the relay reloaded; a relay sends PROXY headers on to an HAProxy that
// takes them; and connections without a valid header are closed and logged.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "daemon_test.h"
#include "platform/shared_memory.h"

namespace itest {
namespace {

// A connection to 127.0.0.1:port from 127.0.0.2, so that the client a header names differs from
// the balancer's own address; its local port in *from.
int connectFrom2(uint16_t port, uint16_t* from) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in me{};
  me.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.2", &me.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&me), sizeof me) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  socklen_t len = sizeof me;
  getsockname(fd, reinterpret_cast<sockaddr*>(&me), &len);
  *from = ntohs(me.sin_port);
  return fd;
}

std::string roundTrip(int fd, const std::string& bytes, size_t expect) {
  if (fd < 0) return "<no connection>";
  sendAll(fd, bytes);
  std::string back = receive(fd, expect);
  close(fd);
  return back;
}

class Fleet : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    static std::atomic<int> serial{0};
    prefix_ = "bklfleet" + std::to_string(getpid()) + "_" + std::to_string(++serial) + "_";
    keys_ = dir_.file("ticket.keys");
    ASSERT_TRUE(shell("for i in 1 2 3; do openssl rand 80 | openssl base64 -A; echo; done > '" +
                      keys_ + "'"));
  }

  void TearDown() override {
    DaemonTest::TearDown();
    for (const std::string name : {"a", "b"}) {
      const std::string prefix = "/" + prefix_ + name;
      platform::SharedMemory::remove(prefix + "BKL");
      platform::SharedMemory::remove(prefix + "TAV_Optex_MMF_BKL");
      platform::NamedSemaphore::remove(prefix + "TAV_Optex_Event_BKL");
    }
  }

  // The environment of relay `name`'s programs: its store, counters of its own.
  std::map<std::string, std::string> env(const std::string& name) const {
    return {{"BRISKLANE_CONFIG_DIR", dir_.file(name)}, {"BRISKLANE_SHM_PREFIX", prefix_ + name}};
  }

  // Relay `name` (its own store): a plain rule on 127.0.0.1:plain for the client 127.0.0.2 only,
  // taking PROXY headers, and an SSL server rule on host:tls, both to the echo service. A
  // session's context is the port it was made on: the relays of a fleet serve it on one port.
  std::unique_ptr<Daemon> relay(const std::string& name, uint16_t plain, const std::string& host,
                                uint16_t tls, uint16_t echo) {
    Store store(dir_.file(name));
    store.setting("verbose", 1);
    store.setting("ssl.ticket_keys", keys_);
    store.setting("perf.mon.enable", 1);
    const std::map<std::string, std::string> toEcho = {
        {"if.addr.str", "127.0.0.1"},   {"peer.mask.str", "Local Machine Only"},
        {"dest.addr.str", "127.0.0.1"}, {"dest.port.str", std::to_string(echo)},
        {"ssl.cert", pem("server")},    {"ssl.key", key("server")}};
    auto texts = toEcho;
    texts["peer.port.str"] = std::to_string(plain);
    texts["peer.addr.str"] = "127.0.0.2";
    store.rule(1, texts, {{"ssl.role", 0}, {"proxy.protocol.accept", 1}});
    texts["peer.port.str"] = std::to_string(tls);
    texts["if.addr.str"] = host;
    texts["peer.addr.str"] = "All";
    texts["peer.mask.str"] = "All";
    store.rule(2, texts, {{"ssl.role", 2}});
    auto d = std::make_unique<Daemon>(store.dir(), dir_.file(name + ".log"), env(name));
    EXPECT_TRUE(d->waitForLog("Configured 2 rules on 2 ports")) << d->log();
    EXPECT_TRUE(waitForPort(plain)) << d->log();
    EXPECT_TRUE(d->waitForLog("Listening on " + std::to_string(tls))) << d->log();
    return d;
  }

  Process haproxy(const std::string& config) {
    const std::string file = dir_.file("haproxy.cfg");
    writeFile(file,
              "global\n  maxconn 1000\n  log stdout format raw local0\n"
              "defaults\n  mode tcp\n  log global\n  option tcplog\n  timeout connect 5s\n"
              "  timeout client 30s\n  timeout server 30s\n" +
                  config);
    return Process({"haproxy", "-f", file, "-db"}, dir_.file("haproxy.log"));
  }

  // An s_client handshake with the relay on host:port, reading or writing the session; its
  // output.
  std::string handshake(const std::string& host, uint16_t port, const std::string& sessionArgs) {
    const std::string out = dir_.file("s_client.out");
    shell("sleep 1 | timeout 20 openssl s_client -connect " + host + ":" + std::to_string(port) +
          " -CAfile '" + pem("ca") + "' " + sessionArgs + " > '" + out + "' 2>&1");
    return readFile(out);
  }

  std::string keys_;
  std::string prefix_;
};

// The documented configuration with this test's addresses and ports.
std::string fleetConfig(uint16_t front, uint16_t a, uint16_t b, uint16_t metricsA,
                        uint16_t metricsB) {
  std::ifstream in(std::string(BKL_SOURCE_DIR) + "/docs/fleet/haproxy.cfg");
  std::stringstream text;
  text << in.rdbuf();
  std::string config = text.str();
  auto replace = [&config](const std::string& from, const std::string& to) {
    const size_t at = config.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) config.replace(at, from.size(), to);
  };
  const std::string local = "127.0.0.1:";
  replace("192.0.2.10:443", local + std::to_string(front));
  replace("192.0.2.11:443 send-proxy-v2 check port 9405",
          local + std::to_string(a) + " send-proxy-v2 check port " + std::to_string(metricsA));
  replace("192.0.2.12:443 send-proxy-v2 check port 9405",
          local + std::to_string(b) + " send-proxy-v2 check port " + std::to_string(metricsB));
  replace("inter 2s", "inter 300ms");
  replace("maxconn 20000", "maxconn 1000");  // within the descriptors a test may open
  return config;
}

TEST_F(Fleet, BehindHAProxyTheRelaysSeeTheRealClientAndShareTicketKeys) {
  const uint16_t echoPort = freePort();
  Process echo = socatEcho(echoPort);
  const uint16_t plainA = freePort(), plainB = freePort(), tls = freePort();
  std::unique_ptr<Daemon> a = relay("a", plainA, "127.0.0.1", tls, echoPort);
  std::unique_ptr<Daemon> b = relay("b", plainB, "127.0.0.3", tls, echoPort);
  // Each relay's counters for the balancer's health check, as the documented configuration has.
  const uint16_t metricsA = freePort(), metricsB = freePort();
  Process perfA({binDir() + "/brisklane-perf", "--listen", std::to_string(metricsA)},
                dir_.file("perf-a.log"), env("a"));
  Process perfB({binDir() + "/brisklane-perf", "--listen", std::to_string(metricsB)},
                dir_.file("perf-b.log"), env("b"));
  ASSERT_TRUE(waitForPort(metricsA) && waitForPort(metricsB));
  const uint16_t front = freePort();
  const std::string config = dir_.file("haproxy.cfg");
  writeFile(config, fleetConfig(front, plainA, plainB, metricsA, metricsB));
  Process balancer({"haproxy", "-f", config, "-db"}, dir_.file("haproxy.log"));
  ASSERT_TRUE(waitForPort(front)) << readFile(dir_.file("haproxy.log"));

  // Every byte of 200 connections arrives, each logged with the client's own address and port by
  // the relay that took it; the rule for 127.0.0.2 alone matched them.
  int echoed = 0;
  std::vector<uint16_t> ports;
  for (int i = 0; i < 200; ++i) {
    uint16_t from = 0;
    const std::string line = "connection " + std::to_string(i) + "\n";
    echoed += roundTrip(connectFrom2(front, &from), line, line.size()) == line ? 1 : 0;
    ports.push_back(from);
  }
  EXPECT_EQ(echoed, 200);
  // Spread over both (each balanced connection ends before the next starts).
  ASSERT_TRUE(a->waitForLog("Disconnect 127.0.0.2.", 10s, 40)) << a->log();
  ASSERT_TRUE(b->waitForLog("Disconnect 127.0.0.2.", 10s, 40)) << b->log();
  const std::string logs = a->log() + b->log();
  for (uint16_t from : {ports.front(), ports[101], ports.back()}) {
    EXPECT_NE(logs.find("Connect 127.0.0.2." + std::to_string(from) + " to 127.0.0.1." +
                        std::to_string(echoPort) + " as plug"),
              std::string::npos)
        << from;
  }
  EXPECT_EQ(logs.find("No destination for 127.0.0.2"), std::string::npos) << logs;

  // A session made through relay A is resumed through relay B, with either protocol version.
  for (const std::string version : {"-tls1_2", "-tls1_3"}) {
    SCOPED_TRACE(version);
    const std::string session = dir_.file("session" + version);
    EXPECT_NE(
        handshake("127.0.0.1", tls, version + " -sess_out '" + session + "'").find("New, TLS"),
        std::string::npos);
    EXPECT_NE(
        handshake("127.0.0.3", tls, version + " -sess_in '" + session + "'").find("Reused, TLS"),
        std::string::npos)
        << b->log();
  }
  // A key appended and relay B reloaded: B encrypts with the key A used to decrypt with, and
  // A's earlier tickets still resume.
  const std::string before = dir_.file("session-tls1_2");
  ASSERT_TRUE(
      shell("openssl rand 80 | openssl base64 -A >> '" + keys_ + "'; echo >> '" + keys_ + "'"));
  b->reload();
  ASSERT_TRUE(b->waitForLog("Configured 2 rules on 2 ports", 10s, 2)) << b->log();
  EXPECT_NE(handshake("127.0.0.3", tls, "-tls1_2 -sess_in '" + before + "'").find("Reused, TLS"),
            std::string::npos);
  // A key file that is no key file is refused, and the relay serves with its own keys.
  writeFile(keys_, "bm90IGEga2V5\n");
  b->reload();
  ASSERT_TRUE(b->waitForLog("The ticket key file <" + keys_ +
                            "> is refused (line 1 holds 9 "
                            "bytes, not 48 or 80): this relay's own keys serve"))
      << b->log();
  ASSERT_TRUE(b->waitForLog("Configured 2 rules on 2 ports", 10s, 3)) << b->log();
  EXPECT_NE(handshake("127.0.0.3", tls, "-tls1_2 -sess_in '" + before + "'").find("New, TLS"),
            std::string::npos);

  // Relay B ends: its counters stop answering, the balancer takes it out, and every connection
  // goes to relay A.
  b->stop();
  ASSERT_TRUE(waitForText(dir_.file("haproxy.log"), "Server relays/relay-b is DOWN", 20s))
      << readFile(dir_.file("haproxy.log"));
  int afterB = 0;
  for (int i = 0; i < 20; ++i) {
    uint16_t from = 0;
    afterB += roundTrip(connectFrom2(front, &from), "still\n", 6) == "still\n" ? 1 : 0;
  }
  EXPECT_EQ(afterB, 20);
}

// A relay sends the original client on to an HAProxy that takes PROXY headers (each version),
// and HAProxy's log names that client.
TEST_F(Fleet, HeadersSentOnNameTheOriginalClient) {
  const uint16_t echoPort = freePort();
  Process echo = socatEcho(echoPort);
  const uint16_t v1 = freePort(), v2 = freePort();
  Process balancer = haproxy("frontend takes1\n  bind 127.0.0.1:" + std::to_string(v1) +
                             " accept-proxy\n"
                             "  default_backend echo\n"
                             "frontend takes2\n  bind 127.0.0.1:" +
                             std::to_string(v2) +
                             " accept-proxy\n"
                             "  default_backend echo\n"
                             "backend echo\n  server e 127.0.0.1:" +
                             std::to_string(echoPort) + "\n");
  ASSERT_TRUE(waitForPort(v1) && waitForPort(v2)) << readFile(dir_.file("haproxy.log"));
  const uint16_t send1 = freePort(), send2 = freePort();
  rule(1, send1, v1, 0, {}, {{"proxy.protocol.send", 1}});
  rule(2, send2, v2, 0, {}, {{"proxy.protocol.send", 2}});
  rule(3, freePort(), v2, 0, {}, {{"proxy.protocol.send", 3}});
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(send1) && waitForPort(send2));
  EXPECT_TRUE(d.waitForLog("Rule3 is refused: its PROXY header version 3 is none of 0 to 2"));
  for (uint16_t port : {send1, send2}) {
    uint16_t from = 0;
    EXPECT_EQ(roundTrip(connectFrom2(port, &from), "through\n", 8), "through\n") << d.log();
    EXPECT_TRUE(waitForText(dir_.file("haproxy.log"), "127.0.0.2:" + std::to_string(from)))
        << readFile(dir_.file("haproxy.log"));
  }
}

// Straight to a port that takes PROXY headers: a client without one, one that ends its header
// early, a version 2 header whose length runs past its end, and a version 1 header with an
// address that is none are each closed and logged; nothing reaches the destination.
TEST_F(Fleet, ConnectionsWithoutAValidHeaderAreClosedAndLogged) {
  const uint16_t echoPort = freePort();
  Process echo = socatEcho(echoPort);
  const uint16_t port = freePort();
  rule(1, port, echoPort, 0, {}, {{"proxy.protocol.accept", 1}});
  store_->setting("tcp.timeout", 2);
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  const std::string v2Start("\r\n\r\n\0\r\nQUIT\n\x21\x11\x00\x40", 16);
  const struct {
    std::string bytes;
    bool endSending;
    const char* why;
  } cases[] = {
      {"hello\n", false, "no PROXY header"},
      {"", false, "no whole PROXY header within the receive time-out"},
      {"PROXY TCP4 127.0.0.9 127.0.0.1 4000 80", true,
       "the connection closed before its PROXY header ended"},
      {v2Start + std::string(12, '\x01'), true,
       "the connection closed before its PROXY header ended"},
      {"PROXY TCP4 127.0.0.400 127.0.0.1 4000 80\r\nhello\n", false,
       "a version 1 header with an address that is not of its family"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const int fd = connectLocal(port);
    ASSERT_GE(fd, 0);
    sendAll(fd, c.bytes);
    if (c.endSending) shutdown(fd, SHUT_WR);
    EXPECT_EQ(receive(fd, 6, 10s), "") << "closed without a byte relayed";
    close(fd);
    EXPECT_TRUE(d.waitForLog(std::string("No valid PROXY header from 127.0.0.1."))) << d.log();
    EXPECT_TRUE(d.waitForLog(std::string(": ") + c.why)) << d.log();
  }
  EXPECT_EQ(d.log().find("Connect 127.0.0."), std::string::npos) << d.log();
  // A valid header, then the client's bytes, which follow it exactly.
  const int fd = connectLocal(port);
  EXPECT_EQ(roundTrip(fd, "PROXY TCP4 192.0.2.7 127.0.0.1 4000 80\r\nafter\n", 6), "after\n");
  EXPECT_TRUE(d.waitForLog("Connect 192.0.2.7.4000 to 127.0.0.1." + std::to_string(echoPort)))
      << d.log();
}

}  // namespace
}  // namespace itest
