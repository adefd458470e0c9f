// The relay's proxy sides end to end: SOCKS 4 and 4a clients (curl) through a dynamic rule, the
// outgoing side through dante, and the HTTP proxy front end (curl -x) directly and through squid,
// open and with Basic or NTLM authentication.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "daemon_test.h"
#include "proxy_peers.h"

namespace itest {
namespace {

constexpr char kPage[] = "page through the proxy\n";

class Proxy : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    store_->setting("tcp.timeout", 1);
    writeFile(dir_.file("index.html"), kPage);
  }

  // A rule on 127.0.0.1:listen whose client names the destination.
  void dynamicRule(int n, uint16_t listen, uint32_t connectType, uint32_t role,
                   std::map<std::string, std::string> texts = {},
                   std::map<std::string, uint32_t> numbers = {}) {
    numbers.emplace("ssl.role", role);
    numbers.emplace("connect.type", connectType);
    listenRule(n, listen, texts, numbers);
  }
  // A browser-facing rule, optionally through the upstream proxy at 127.0.0.1:proxy.
  void browserRule(uint16_t listen, uint16_t proxy = 0, uint32_t useNtlm = 0,
                   const std::string& password = "secret", uint32_t dropTime = 0) {
    std::map<std::string, std::string> texts;
    std::map<std::string, uint32_t> numbers = {{"http.proxy.droptime", dropTime}};
    if (proxy != 0) {
      texts = {{"https.proxy.server", "127.0.0.1"},
               {"https.proxy.port", std::to_string(proxy)},
               {"https.proxy.user", "alice"},
               {"https.proxy.user.pass", password}};
      numbers.emplace("https.proxy.enable", 1);
      numbers.emplace("https.proxy.useNTLM", useNtlm);
    }
    dynamicRule(1, listen, 2, 0, texts, numbers);
  }

  int curl(const std::vector<std::string>& args, const std::string& name) {
    std::vector<std::string> argv = {
        "curl", "-s", "-S", "--max-time", "20", "-o", dir_.file(name + ".out")};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, dir_.file(name + ".err"));
  }
  std::string output(const std::string& name) { return readFile(dir_.file(name + ".out")); }
  std::string errors(const std::string& name) { return readFile(dir_.file(name + ".err")); }

  Process tlsServer(uint16_t port) {
    Process p({"openssl", "s_server", "-accept", std::to_string(port), "-cert", pem("server"),
               "-key", key("server"), "-www", "-naccept", "4"},
              dir_.file("s_server.log"));
    EXPECT_TRUE(waitForPort(port)) << readFile(dir_.file("s_server.log"));
    return p;
  }

  // curl -x through the relay: a CONNECT to the TLS server and a plain GET to the HTTP server.
  void expectBothThroughFrontEnd(uint16_t relay, uint16_t tls, uint16_t http) {
    const std::string proxy = "http://127.0.0.1:" + std::to_string(relay);
    EXPECT_EQ(
        curl({"-x", proxy, "--cacert", pem("ca"), "https://127.0.0.1:" + std::to_string(tls) + "/"},
             "tls"),
        0)
        << errors("tls") << daemon_->log();
    EXPECT_NE(output("tls").find("s_server"), std::string::npos) << output("tls");
    EXPECT_EQ(
        curl({"-x", proxy, "http://127.0.0.1:" + std::to_string(http) + "/index.html"}, "http"), 0)
        << errors("http") << daemon_->log();
    EXPECT_EQ(output("http"), kPage);
  }
};

bool waitForAddress(const std::string& address, uint16_t port) {
  for (int i = 0; i < 500; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &sin.sin_addr);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
    close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

TEST_F(Proxy, SocksClientsNameTheirDestination) {
  const uint16_t http = freePort();
  Process server = startHttpServer(dir_.path(), "127.0.0.1", http);
  ASSERT_TRUE(waitForPort(http));
  const uint16_t port = freePort();
  dynamicRule(1, port, 1, 0);
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  const std::string socks = "127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(curl({"--socks4", socks, "http://127.0.0.1:" + std::to_string(http) + "/index.html"},
                 "socks4"),
            0)
      << errors("socks4") << d.log();
  EXPECT_EQ(output("socks4"), kPage);
  // SOCKS 4a: the relay resolves the name.
  EXPECT_EQ(curl({"--socks4a", socks, "http://localhost:" + std::to_string(http) + "/index.html"},
                 "socks4a"),
            0)
      << errors("socks4a") << d.log();
  EXPECT_EQ(output("socks4a"), kPage);
  EXPECT_NE(curl({"--socks4a", socks, "http://no-such-host.invalid:" + std::to_string(http) + "/"},
                 "unknown"),
            0);
  EXPECT_TRUE(d.waitForLog("Invalid Socks packet from 127.0.0.1.")) << d.log();
}

TEST_F(Proxy, SocksServerAnswersBadRequests) {
  const uint16_t port = freePort();
  dynamicRule(1, port, 1, 0);
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  auto ask = [&](const std::string& request) {
    const int fd = connectLocal(port);
    sendAll(fd, request);
    std::string back = receive(fd, 8, 5s);
    close(fd);
    return back;
  };
  const std::string address("\x00\x50\x7f\x00\x00\x01", 6);
  EXPECT_EQ(ask(std::string("\x05\x01", 2) + address + "u" + std::string(1, '\0')),
            std::string("\x00\x5b\x00\x00\x00\x00\x00\x00", 8));
  EXPECT_EQ(
      ask(std::string("\x04\x01", 2) + address + std::string(248, 'u') + std::string(1, '\0')),
      std::string("\x00\x5d\x00\x00\x00\x00\x00\x00", 8));
  // Five bytes and gone: no reply, and the relay logs it.
  EXPECT_EQ(ask(std::string("\x04\x01\x00\x50\x7f", 5)), "");
  EXPECT_TRUE(d.waitForLog("Invalid Socks packet from 127.0.0.1.", 10s, 3)) << d.log();
}

TEST_F(Proxy, OutgoingConnectionsGoThroughDanteExceptLocalOnes) {
  const uint16_t socksPort = freePort();
  Process dante = startDante(dir_.path(), socksPort);
  const uint16_t http = freePort();
  Process server = startHttpServer(dir_.path(), "127.0.0.2", http);
  ASSERT_TRUE(waitForAddress("127.0.0.2", http));
  Process local = startHttpServer(dir_.path(), "127.0.0.1", http);
  ASSERT_TRUE(waitForPort(http));
  store_->setting("socks.enable", 1);
  store_->setting("socks.server", "127.0.0.1");
  store_->setting("socks.port", std::to_string(socksPort));
  const uint16_t viaSocks = freePort();
  const uint16_t direct = freePort();
  auto rule = [&](int n, uint16_t listen, const std::string& dest) {
    listenRule(n, listen, {{"dest.addr.str", dest}, {"dest.port.str", std::to_string(http)}},
               {{"ssl.role", 0}});
  };
  rule(1, viaSocks, "127.0.0.2");
  rule(2, direct, "127.0.0.1");
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(viaSocks));
  EXPECT_EQ(curl({"http://127.0.0.1:" + std::to_string(viaSocks) + "/index.html"}, "socks"), 0)
      << errors("socks") << d.log();
  EXPECT_EQ(output("socks"), kPage);
  EXPECT_TRUE(waitForText(dir_.file("danted.log"), "127.0.0.2." + std::to_string(http)))
      << readFile(dir_.file("danted.log"));
  EXPECT_EQ(curl({"http://127.0.0.1:" + std::to_string(direct) + "/index.html"}, "direct"), 0);
  EXPECT_EQ(countText(readFile(dir_.file("danted.log")), "127.0.0.1." + std::to_string(http)), 0);
  d.stop();

  // The host's own networks (127.0.0.0/8 here) go direct too: dante is gone and it still works.
  dante.stop();
  store_->setting("socks.no_local_nets", 1);
  store_->setting("tcp.resolv", 1);
  Daemon& again = startDaemon();
  ASSERT_TRUE(waitForPort(viaSocks));
  EXPECT_EQ(curl({"http://127.0.0.1:" + std::to_string(viaSocks) + "/index.html"}, "localnet"), 0)
      << errors("localnet") << again.log();
  EXPECT_EQ(output("localnet"), kPage);
}

TEST_F(Proxy, SocksServerRefusalReachesTheLog) {
  // dante refuses every destination: the relay reports the SOCKS code's text.
  const uint16_t socksPort = freePort();
  Process dante;
  {
    const std::string file = dir_.file("danted.conf");
    writeFile(file, "logoutput: " + dir_.file("danted.log") +
                        "\ninternal: 127.0.0.1 port = " + std::to_string(socksPort) +
                        "\nexternal: lo\nsocksmethod: none\nclientmethod: none\n"
                        "user.privileged: root\nuser.unprivileged: nobody\n"
                        "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                        "socks block { from: 0.0.0.0/0 to: 0.0.0.0/0 }\n");
    dante = Process({"danted", "-f", file, "-p", dir_.file("danted.pid")}, dir_.file("d.out"));
    ASSERT_TRUE(waitForPort(socksPort, 20s));
  }
  store_->setting("socks.enable", 1);
  store_->setting("socks.server", "127.0.0.1");
  store_->setting("socks.port", std::to_string(socksPort));
  const uint16_t port = freePort();
  listenRule(1, port, {{"dest.addr.str", "127.0.0.2"}, {"dest.port.str", "9"}}, {{"ssl.role", 0}});
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  const int fd = connectLocal(port);
  EXPECT_EQ(receive(fd, 1, 10s), "");
  close(fd);
  EXPECT_TRUE(d.waitForLog("Couldn't connect to 127.0.0.2.9: Socks request rejected.")) << d.log();
}

TEST_F(Proxy, FrontEndServesConnectAndPlainRequestsDirectly) {
  const uint16_t tls = freePort();
  Process server = tlsServer(tls);
  // Direct, the request line keeps its absolute URL, which this responder takes.
  const uint16_t http = freePort();
  Process web = startHttpResponder(dir_.path(), http, kPage);
  const uint16_t port = freePort();
  browserRule(port);
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  expectBothThroughFrontEnd(port, tls, http);
  EXPECT_TRUE(d.waitForLog("Disconnect 127.0.0.1:" + std::to_string(http) + " from 127.0.0.1:"))
      << d.log();

  // The exact reply to a direct CONNECT; nothing is sent before the destination is connected.
  const int fd = connectLocal(port);
  sendAll(fd, "CONNECT 127.0.0.1:" + std::to_string(http) + " HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(receive(fd, 17, 10s), "HTTP/1.0 200 OK\n\n");
  close(fd);
  const int refused = connectLocal(port);
  sendAll(refused, "CONNECT 127.0.0.1:" + std::to_string(freePort()) + " HTTP/1.1\r\n\r\n");
  EXPECT_EQ(receive(refused, 13, 10s), "HTTP/1.0 502 ");
  close(refused);
}

TEST_F(Proxy, FrontEndRefusesBadRequests) {
  const uint16_t port = freePort();
  browserRule(port);
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  // Each gets a short HTTP error status before the close, not just a reset.
  auto ask = [&](const std::string& request) {
    const int fd = connectLocal(port);
    sendAll(fd, request);
    std::string back = receive(fd, 13, 10s);
    close(fd);
    return back;
  };
  EXPECT_EQ(ask("CONNECT nohostport HTTP/1.1\r\n\r\n"), "HTTP/1.0 400 ");
  EXPECT_EQ(ask("CONNECT 127.0.0.1:443\r\n\r\n"), "HTTP/1.0 400 ");    // no version
  EXPECT_EQ(ask("GET /bare/path HTTP/1.0\r\n\r\n"), "HTTP/1.0 400 ");  // no URL: no host
  EXPECT_TRUE(d.waitForLog("Error: Could not parse connect string.", 10s, 3)) << d.log();
  EXPECT_EQ(ask("CONNECT 127.0.0.1:1 HTTP/1.1\r\n" + std::string(20000, 'x')), "HTTP/1.0 431 ");
  EXPECT_TRUE(d.waitForLog("Error: Browser request exceeds 16385 bytes.")) << d.log();
  EXPECT_EQ(ask("GET http://no-such-host.invalid/ HTTP/1.1\r\n\r\n"), "HTTP/1.0 502 ");
  EXPECT_TRUE(d.waitForLog("Couldn't resolve no-such-host.invalid:80")) << d.log();
}

TEST_F(Proxy, FrontEndPassesTheBrowsersConnectThroughAnOpenSquid) {
  const uint16_t squidPort = freePort();
  Process squid = startSquid(dir_.path(), squidPort, SquidAuth::kNone);
  ASSERT_TRUE(waitForPort(squidPort)) << readFile(dir_.file("squid.out"));
  const uint16_t tls = freePort();
  Process server = tlsServer(tls);
  const uint16_t http = freePort();
  Process web = startHttpServer(dir_.path(), "127.0.0.1", http);
  ASSERT_TRUE(waitForPort(http));
  const uint16_t port = freePort();
  browserRule(port, squidPort);
  startDaemon();
  ASSERT_TRUE(waitForPort(port));
  expectBothThroughFrontEnd(port, tls, http);
  EXPECT_TRUE(waitForText(dir_.file("access.log"), "CONNECT 127.0.0.1:" + std::to_string(tls)))
      << readFile(dir_.file("access.log"));
  EXPECT_TRUE(waitForText(dir_.file("access.log"), "/index.html"));
}

TEST_F(Proxy, FrontEndAuthenticatesWithBasic) {
  const uint16_t squidPort = freePort();
  Process squid = startSquid(dir_.path(), squidPort, SquidAuth::kBasic);
  ASSERT_TRUE(waitForPort(squidPort)) << readFile(dir_.file("squid.out"));
  const uint16_t tls = freePort();
  Process server = tlsServer(tls);
  const uint16_t port = freePort();
  browserRule(port, squidPort, 1);
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  EXPECT_EQ(curl({"-x", "http://127.0.0.1:" + std::to_string(port), "--cacert", pem("ca"),
                  "https://127.0.0.1:" + std::to_string(tls) + "/"},
                 "tls"),
            0)
      << errors("tls") << d.log();
  EXPECT_NE(output("tls").find("s_server"), std::string::npos);
  EXPECT_TRUE(waitForText(dir_.file("access.log"), " alice ")) << readFile(dir_.file("access.log"));
}

TEST_F(Proxy, RefusingProxyGivesTheBrowserTheUnauthorizedPage) {
  const uint16_t squidPort = freePort();
  Process squid = startSquid(dir_.path(), squidPort, SquidAuth::kBasic);
  ASSERT_TRUE(waitForPort(squidPort)) << readFile(dir_.file("squid.out"));
  const uint16_t port = freePort();
  browserRule(port, squidPort, 1, "wrong");
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  const std::string page = askForTunnel(port);
  EXPECT_EQ(page.size(), 107u);
  EXPECT_EQ(page, kUnauthorizedPage);
  EXPECT_TRUE(d.waitForLog("Error: You don't have the rights to use the proxy server.")) << d.log();
  // The refusal is told with its reason.
  const std::string reason = "127.0.0.1:" + std::to_string(squidPort) +
                             " : the proxy answered with status 407";
  EXPECT_TRUE(d.waitForLog("Couldn't connect to proxy " + reason)) << d.log();
  EXPECT_TRUE(d.waitForLog("Error: Could not connect to proxy server. (the proxy answered with "
                           "status 407)"))
      << d.log();
}

TEST_F(Proxy, TwoBasicTunnelsOpenAtOnce) {
  const uint16_t squidPort = freePort();
  Process squid = startSquid(dir_.path(), squidPort, SquidAuth::kBasic);
  ASSERT_TRUE(waitForPort(squidPort)) << readFile(dir_.file("squid.out"));
  const uint16_t http = freePort();
  Process web = startHttpServer(dir_.path(), "127.0.0.1", http);
  ASSERT_TRUE(waitForPort(http));
  const uint16_t port = freePort();
  browserRule(port, squidPort, 1);
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  const std::string request = "CONNECT 127.0.0.1:" + std::to_string(http) + " HTTP/1.1\r\n\r\n";
  const std::string reply = "HTTP/1.1 200 OK\r\nProxy-Connection: Keep-Alive\r\n\r\n";
  std::string answers[2];
  std::thread browsers[2];
  for (int i = 0; i < 2; ++i) {
    browsers[i] = std::thread([&, i] {
      const int fd = connectLocal(port);
      sendAll(fd, request);
      answers[i] = receive(fd, reply.size(), 20s);
      if (answers[i] == reply) {
        sendAll(fd, "GET /index.html HTTP/1.0\r\n\r\n");
        answers[i] += receive(fd, 4096, 10s);
      }
      close(fd);
    });
  }
  for (std::thread& t : browsers) t.join();
  for (const std::string& answer : answers) {
    EXPECT_EQ(answer.substr(0, reply.size()), reply) << d.log();
    EXPECT_NE(answer.find(kPage), std::string::npos) << answer;
  }
  EXPECT_TRUE(waitForText(dir_.file("access.log"), "CONNECT 127.0.0.1", 10s, 2))
      << readFile(dir_.file("access.log"));
}

// squid's fake NTLM helper answers the first NTLM message with a challenge whose target-name
// field points far outside the message; the NTLM package refuses it, and the browser is told.
TEST_F(Proxy, NtlmExchangeRunsAndRefusesAMalformedChallenge) {
  const uint16_t squidPort = freePort();
  Process squid = startSquid(dir_.path(), squidPort, SquidAuth::kNtlm);
  ASSERT_TRUE(waitForPort(squidPort)) << readFile(dir_.file("squid.out"));
  const uint16_t port = freePort();
  browserRule(port, squidPort, 1);
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  const int fd = connectLocal(port);
  sendAll(fd, "CONNECT 127.0.0.1:443 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(receive(fd, 200, 20s).size(), 107u);
  close(fd);
  EXPECT_TRUE(d.waitForLog("NTLM step failed: Invalid token was supplied")) << d.log();
}

TEST_F(Proxy, DropTimeClosesAnIdleTunnelAndZeroKeepsIt) {
  EchoServer echo;
  const uint16_t port = freePort();
  browserRule(port, 0, 0, "", 2);
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  const std::string request =
      "CONNECT 127.0.0.1:" + std::to_string(echo.port()) + " HTTP/1.0\r\n\r\n";
  const int fd = connectLocal(port);
  sendAll(fd, request);
  EXPECT_EQ(receive(fd, 17, 10s), "HTTP/1.0 200 OK\n\n");
  sendAll(fd, "ping");
  EXPECT_EQ(receive(fd, 4, 10s), "ping");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(receive(fd, 1, 10s), "");  // closed by the relay
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1500ms);
  close(fd);
  EXPECT_TRUE(d.waitForLog("Disconnect 127.0.0.1:")) << d.log();
  d.stop();

  browserRule(port, 0, 0, "", 0);
  Daemon& again = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  const int kept = connectLocal(port);
  sendAll(kept, request);
  EXPECT_EQ(receive(kept, 17, 10s), "HTTP/1.0 200 OK\n\n");
  std::this_thread::sleep_for(1500ms);
  sendAll(kept, "still there");
  EXPECT_EQ(receive(kept, 11, 10s), "still there") << again.log();
  close(kept);
}

}  // namespace
}  // namespace itest
