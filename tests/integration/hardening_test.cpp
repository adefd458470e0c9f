// The relay as a careless administrator and an attacker meet it, through brisklaned with real
// peers (socat, curl, python's HTTP server, openssl): descriptors running out, peers that trickle,
// stores that cannot be read, rules that cannot be served, destinations that would reach this
// host, and a browser reusing its proxy connection for two hosts.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "daemon_test.h"
#include "proxy_peers.h"

namespace itest {
namespace {

using Clock = std::chrono::steady_clock;

class Hardening : public DaemonTest {
 protected:
  // A rule in destination mode 1 (SOCKS) or 2 (browser), plain.
  void dynamicRule(int n, uint16_t listen, uint32_t mode,
                   std::map<std::string, uint32_t> numbers = {},
                   std::map<std::string, std::string> texts = {}) {
    numbers.emplace("connect.type", mode);
    numbers.emplace("ssl.role", 0);
    listenRule(n, listen, texts, numbers);
  }

  // Sends the bytes one at a time, `gap` apart, until the relay closes the connection; returns
  // how long that took and what came back (at most 64 bytes).
  static std::pair<Clock::duration, std::string> trickle(uint16_t port, const std::string& bytes,
                                                         std::chrono::milliseconds gap) {
    const int fd = connectLocal(port);
    const auto start = Clock::now();
    std::string back;
    for (char c : bytes) {
      if (send(fd, &c, 1, MSG_NOSIGNAL) != 1) break;
      back = receive(fd, 64, gap);
      if (!back.empty()) break;
      char probe;
      if (recv(fd, &probe, 1, MSG_DONTWAIT | MSG_PEEK) == 0) break;  // closed
    }
    const auto spent = Clock::now() - start;
    close(fd);
    return {spent, back};
  }

  static std::string socksRequest(const std::string& address, uint16_t port) {
    std::string r = {4, 1, static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)};
    unsigned a[4] = {};
    std::sscanf(address.c_str(), "%u.%u.%u.%u", &a[0], &a[1], &a[2], &a[3]);
    for (unsigned part : a) r += static_cast<char>(part);
    return r + std::string("me\0", 3);
  }
};

TEST_F(Hardening, AListenerOutlivesRunningOutOfDescriptors) {
  EchoServer echo;
  const uint16_t socks = freePort();
  const uint16_t plug = freePort();
  dynamicRule(1, socks, 1);
  rule(2, plug, echo.port(), 0);
  Daemon& d = startDaemon({"prlimit", "--nofile=64:64", "--"});
  ASSERT_TRUE(waitForPort(socks) && waitForPort(plug));
  // A SOCKS client that has not sent its request holds one descriptor of the relay: enough of
  // them leave none for the next accept.
  std::vector<int> held;
  for (int i = 0; i < 100 && countText(d.log(), "Accept failed on port") == 0; ++i) {
    const int fd = connectLocal(socks);
    if (fd < 0) break;
    held.push_back(fd);
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(d.waitForLog("Accept failed on port " + std::to_string(socks) + ": EMFILE."))
      << d.log();
  for (int fd : held) close(fd);
  // The listeners wait a little and go on; a new client is served again.
  std::string back;
  for (int i = 0; i < 20 && back != "again"; ++i) back = exchange(plug, "again", 5);
  EXPECT_EQ(back, "again");
  EXPECT_TRUE(d.running());
}

TEST_F(Hardening, NoPortToListenOnIsAFailureToStart) {
  const uint16_t port = freePort();
  Process holder = echoService(port, dir_.file("holder.log"));
  ASSERT_TRUE(waitForPort(port));
  rule(1, port, port, 0);
  Daemon d(store_->dir(), dir_.file("relay.log"));
  const int status = d.wait(20s);
  ASSERT_TRUE(WIFEXITED(status)) << status << d.log();
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(d.log().find("None of the rules' ports could be listened on"), std::string::npos)
      << d.log();
}

TEST_F(Hardening, TricklingPeersAreCutOffInEachPhase) {
  store_->setting("tcp.timeout", 2);  // seconds
  EchoServer echo;
  const uint16_t socks = freePort();
  const uint16_t browser = freePort();
  const uint16_t tls = freePort();
  dynamicRule(1, socks, 1);
  dynamicRule(2, browser, 2);
  rule(3, tls, echo.port(), 2, {{"ssl.cert", pem("server")}, {"ssl.key", key("server")}});
  // A proxy that answers one byte every 300 ms: a peer that misbehaves on purpose.
  const uint16_t slowProxy = freePort();
  Process proxy({"socat", "TCP-LISTEN:" + std::to_string(slowProxy) + ",bind=127.0.0.1,fork",
                 "SYSTEM:'head -c 1 >/dev/null; for c in H T T P / 1 . 0 X 2 0 0 X O K; do "
                 "printf %s $c; sleep 0.3; done'"},
                dir_.file("slow-proxy.log"));
  ASSERT_TRUE(waitForPort(slowProxy));
  const uint16_t viaProxy = freePort();
  dynamicRule(
      4, viaProxy, 2, {{"https.proxy.enable", 1}},
      {{"https.proxy.server", "127.0.0.1"}, {"https.proxy.port", std::to_string(slowProxy)}});
  Daemon& d = startDaemon();
  for (uint16_t p : {socks, browser, tls, viaProxy}) ASSERT_TRUE(waitForPort(p));

  // Each byte comes well within the time-out; the whole request never does.
  const auto request = trickle(
      socks, std::string("\x04\x01\x00\x50\x7f\x00\x00\x01", 8) + std::string(200, 'u'), 300ms);
  EXPECT_LT(request.first, 8s);
  EXPECT_TRUE(d.waitForLog("Invalid Socks packet from 127.0.0.1.")) << d.log();

  const auto header =
      trickle(browser, "GET http://127.0.0.1/ HTTP/1.1\r\n" + std::string(60, 'h'), 300ms);
  EXPECT_LT(header.first, 8s);
  EXPECT_EQ(header.second.substr(0, 13), "HTTP/1.0 408 ");

  const auto hello =
      trickle(tls, std::string("\x16\x03\x01\x02\x00", 5) + std::string(60, '\x01'), 300ms);
  EXPECT_LT(hello.first, 8s);
  EXPECT_TRUE(d.waitForLog(": Timeout.")) << d.log();
  EXPECT_NE(d.log().find("SSL_accept (2) failed for 127.0.0.1."), std::string::npos) << d.log();

  const int fd = connectLocal(viaProxy);
  const auto start = Clock::now();
  sendAll(fd, "CONNECT 127.0.0.1:443 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(receive(fd, 13, 15s), "HTTP/1.0 408 ");
  EXPECT_LT(Clock::now() - start, 8s);
  close(fd);
  EXPECT_TRUE(d.waitForLog("Couldn't connect to proxy 127.0.0.1:" + std::to_string(slowProxy) +
                           " : Timeout."))
      << d.log();
}

TEST_F(Hardening, AReloadThatCannotReadTheStoreKeepsTheRunningConfiguration) {
  EchoServer echo;
  const uint16_t port = freePort();
  rule(1, port, echo.port(), 0);
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  const std::string hive = store_->dir() + "/user.reg";
  const std::string saved = readFile(hive);
  const std::string kept = "; keeping the running settings and rules";

  writeFile(hive, "this is no registry export\n");
  d.reload();
  EXPECT_TRUE(d.waitForLog("Couldn't reload from " + hive + ": it cannot be parsed" + kept));
  EXPECT_EQ(exchange(port, "parse", 5), "parse");

  ASSERT_EQ(std::remove(hive.c_str()), 0);
  ASSERT_EQ(mkdir(hive.c_str(), 0700), 0);  // a folder where the file was
  d.reload();
  EXPECT_TRUE(d.waitForLog("Couldn't reload from " + hive + ": it cannot be read" + kept));
  EXPECT_EQ(exchange(port, "read", 4), "read");

  ASSERT_EQ(rmdir(hive.c_str()), 0);
  d.reload();
  EXPECT_TRUE(d.waitForLog("Couldn't reload from " + hive + ": it holds no settings key" + kept))
      << d.log();
  EXPECT_EQ(exchange(port, "gone", 4), "gone");

  // Readable again, with one more rule: the next reload reads it afresh.
  writeFile(hive, saved);
  const uint16_t second = freePort();
  rule(2, second, echo.port(), 0);
  d.reload();
  EXPECT_TRUE(d.waitForLog("Configured 2 rules on 2 ports")) << d.log();
  EXPECT_EQ(exchange(second, "back", 4), "back");
}

TEST_F(Hardening, RulesLeftOutRefusedOrHiddenAreTold) {
  EchoServer echo;
  const uint16_t port = freePort();
  rule(1, port, echo.port(), 0);
  store_->rule(2,
               {{"peer.port.str", "17080abc"},
                {"peer.addr.str", "All"},
                {"peer.mask.str", "All"},
                {"dest.addr.str", "127.0.0.1"},
                {"dest.port.str", std::to_string(echo.port())}},
               {});
  rule(3, port, echo.port(), 0);        // the same clients on the same port as Rule1
  rule(4, freePort(), echo.port(), 7);  // no such role
  rule(6, freePort(), echo.port(), 0);  // after a gap
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  const std::string log = d.log();
  EXPECT_NE(log.find("Rule2 is refused: its listening port <17080abc> is no port"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Rule3 can never match: Rule1 takes its clients of port " +
                     std::to_string(port) + " first"),
            std::string::npos);
  EXPECT_NE(log.find("Rule4 is refused: its role 7 is none of 0 to 3"), std::string::npos);
  EXPECT_NE(log.find("Rule5 is missing: the rules after it (up to Rule6) are not loaded"),
            std::string::npos);
  EXPECT_NE(log.find("Configured 4 rules on 1 port"), std::string::npos);
  EXPECT_EQ(exchange(port, "served", 6), "served");
  EXPECT_EQ(connectLocal(17080), -1);
}

TEST_F(Hardening, DestinationsThatWouldReachThisHostFail) {
  EchoServer echo;
  const uint16_t named = freePort();
  listenRule(1, named, {{"dest.addr.str", "no-such-host.invalid"}, {"dest.port.str", "80"}},
             {{"ssl.role", 0}});
  const uint16_t socks = freePort();
  dynamicRule(2, socks, 1);
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(named) && waitForPort(socks));
  EXPECT_EQ(exchange(named, "x", 1), "");
  EXPECT_TRUE(d.waitForLog("Couldn't connect to no-such-host.invalid.80: Host not found."))
      << d.log();

  // 0.0.0.0 (without the 4a form) would be this host: refused.
  EXPECT_EQ(exchange(socks, socksRequest("0.0.0.0", echo.port()), 8),
            std::string("\x00\x5b\0\0\0\0\0\0", 8));
  EXPECT_TRUE(d.waitForLog("Invalid Socks packet from 127.0.0.1.")) << d.log();
  // "Granted" only once the destination is connected.
  const uint16_t closed = freePort();
  EXPECT_EQ(exchange(socks, socksRequest("127.0.0.1", closed), 8),
            std::string("\x00\x5b\0\0\0\0\0\0", 8));
  EXPECT_TRUE(d.waitForLog("Couldn't connect to 127.0.0.1." + std::to_string(closed) +
                           ": Connection refused."))
      << d.log();
  EXPECT_EQ(exchange(socks, socksRequest("127.0.0.1", echo.port()) + "echo", 12),
            std::string("\x00\x5a\0\0\0\0\0\0echo", 12));
}

TEST_F(Hardening, APlainRequestReachesTheHostItNamesOnAReusedProxyConnection) {
  const uint16_t alpha = freePort();
  const uint16_t beta = freePort();
  Process alphaServer = startKeepAliveResponder(dir_.path(), alpha, "alpha");
  Process betaServer = startKeepAliveResponder(dir_.path(), beta, "beta");
  ASSERT_TRUE(waitForPort(alpha) && waitForPort(beta));
  const uint16_t port = freePort();
  dynamicRule(1, port, 2);
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  const std::string a = "http://127.0.0.1:" + std::to_string(alpha) + "/page";
  const std::string b = "http://user:pw@127.0.0.1:" + std::to_string(beta) + "/page";
  const int rc =
      run({"curl", "-s", "-v", "--max-time", "20", "-x", "http://127.0.0.1:" + std::to_string(port),
           a, "-o", dir_.file("a.out"), b, "-o", dir_.file("b.out"), a, "-o", dir_.file("c.out")},
          dir_.file("curl.err"));
  EXPECT_EQ(rc, 0) << readFile(dir_.file("curl.err"));
  EXPECT_NE(readFile(dir_.file("curl.err")).find("Re-using existing connection"), std::string::npos)
      << readFile(dir_.file("curl.err"));
  EXPECT_EQ(readFile(dir_.file("a.out")), "alpha");
  EXPECT_EQ(readFile(dir_.file("b.out")), "beta");
  EXPECT_EQ(readFile(dir_.file("c.out")), "alpha");
  // Each request reached its own host, and only that one.
  const std::string alphaLog = readFile(dir_.file("keepalive-" + std::to_string(alpha) + ".log"));
  const std::string betaLog = readFile(dir_.file("keepalive-" + std::to_string(beta) + ".log"));
  EXPECT_EQ(countText(alphaLog, "\"GET http://127.0.0.1:" + std::to_string(alpha)), 2) << alphaLog;
  EXPECT_EQ(countText(betaLog, "\"GET http://127.0.0.1:" + std::to_string(beta)), 1) << betaLog;
  // The verbose lines show the requests, but not the credentials curl made of the user
  // information ("Authorization: Basic dXNlcjpwdw==").
  EXPECT_TRUE(d.waitForLog("Authorization: ***")) << d.log();
  EXPECT_EQ(countText(d.log(), "dXNlcjpwdw"), 0);
}

}  // namespace
}  // namespace itest
