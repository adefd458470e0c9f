// The relay daemon end to end, against real peers on 127.0.0.1: socat, openssl s_server and
// s_client, curl.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>

#include "daemon_test.h"

namespace itest {
namespace {

class Relay : public DaemonTest {
 protected:
  static void SetUpTestSuite() {
    DaemonTest::SetUpTestSuite();
    makeCert(pki_->path(), "other", "Other Name");
    run({"openssl", "pkey", "-in", key("server"), "-aes256", "-passout", "pass:right", "-out",
         key("locked")});
  }

  void SetUp() override {
    DaemonTest::SetUp();
    store_->setting("ssl.ca_cert", pem("ca"));
  }

  // Answers every request with a fixed HTTP/1.0 reply, once the request's header has arrived.
  Process httpResponder(uint16_t port, const std::string& body) {
    const std::string script = dir_.file("respond-" + std::to_string(port) + ".sh");
    const std::string text =
        "cr=$(printf '\\r')\n"
        "while IFS= read -r line; do case \"$line\" in \"$cr\"|\"\") break;; esac; done\n"
        "printf 'HTTP/1.0 200 OK\\r\\nContent-Length: " +
        std::to_string(body.size()) + "\\r\\n\\r\\n%s' '" + body + "'\n";
    FILE* f = std::fopen(script.c_str(), "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
    Process p({"socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork",
               "EXEC:sh " + script},
              dir_.file("http.log"));
    EXPECT_TRUE(waitForPort(port));
    return p;
  }

  int curl(const std::vector<std::string>& args, const std::string& out) {
    std::vector<std::string> argv = {"curl", "-s", "-S", "--max-time", "20"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, out);
  }
};

TEST_F(Relay, PlugGatewayRelaysBothWaysByteForByte) {
  const uint16_t echo = freePort();
  Process peer = socatEcho(echo);
  const uint16_t port = freePort();
  rule(1, port, echo, 0);
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  EXPECT_EQ(exchange(port, "hello plug\n", 11), "hello plug\n");

  // 64 MiB each way at the same time, compared byte for byte.
  std::string data(64 << 20, '\0');
  std::mt19937 random(42);
  for (char& c : data) c = static_cast<char>(random());
  const int fd = connectLocal(port);
  ASSERT_GE(fd, 0);
  std::thread writer([&] {
    sendAll(fd, data);
    shutdown(fd, SHUT_WR);
  });
  const std::string back = receive(fd, data.size(), 120s);
  writer.join();
  close(fd);
  ASSERT_EQ(back.size(), data.size());
  EXPECT_TRUE(back == data);
  EXPECT_NE(d.log().find("Listening on " + std::to_string(port) + " All All as plug to 127.0.0.1"),
            std::string::npos)
      << d.log();
  EXPECT_TRUE(d.waitForLog("Disconnect 127.0.0.1.")) << d.log();
}

TEST_F(Relay, SslClientRoleSpeaksTlsToOpenSslServer) {
  const uint16_t server = freePort();
  Process peer = opensslServer(server, {"-rev", "-quiet"});
  const uint16_t port = freePort();
  rule(1, port, server, 1, {}, {{"ssl.verify_server", 1}});
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  EXPECT_EQ(exchange(port, "hello\n", 6), "olleh\n");
  EXPECT_TRUE(
      d.waitForLog("Outgoing TLSv1.3 client connection to 127.0.0.1." + std::to_string(server)))
      << d.log();
  EXPECT_NE(d.log().find("subject=/O=Brisklane test/CN=127.0.0.1"), std::string::npos);
  EXPECT_NE(d.log().find("Verify (1)(0) /O=Brisklane test/CN=127.0.0.1"), std::string::npos);

  // The session of the first connection is resumed by the next one to the same server. Its
  // ticket is kept when the connection ends: both connections so far (the port probe and the
  // exchange) must have ended first.
  EXPECT_TRUE(d.waitForLog("Disconnect", 10s, 2)) << d.log();
  EXPECT_EQ(exchange(port, "again\n", 6), "niaga\n");
  EXPECT_TRUE(d.waitForLog("Reused Session")) << d.log();
}

TEST_F(Relay, ChainedSslRulesAnswerAHalfClosedRequest) {
  const uint16_t echo = freePort();
  Process peer = socatEcho(echo);
  const uint16_t tls = freePort();
  const uint16_t plain = freePort();
  rule(1, plain, tls, 1, {}, {{"ssl.verify_server", 1}});
  rule(2, tls, echo, 2, {{"ssl.cert", pem("server")}, {"ssl.key", key("server")}});
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(plain) && waitForPort(tls));
  for (int i = 0; i < 3; ++i) {
    const int fd = connectLocal(plain);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendAll(fd, "hello through TLS\n"));
    shutdown(fd, SHUT_WR);  // like a client that sends its request and waits for the answer
    EXPECT_EQ(receive(fd, 100), "hello through TLS\n") << i << d.log();
    close(fd);
  }
}

TEST_F(Relay, SslClientRoleSendsTheServerName) {
  const uint16_t server = freePort();
  Process peer = opensslServer(server, {"-rev", "-quiet", "-servername", "localhost", "-cert2",
                                        pem("other"), "-key2", key("other")});
  const uint16_t port = freePort();
  rule(1, port, server, 1, {{"dest.addr.str", "localhost"}});
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  EXPECT_EQ(exchange(port, "sni\n", 4), "ins\n");
  EXPECT_TRUE(d.waitForLog("subject=/O=Brisklane test/CN=Other Name")) << d.log();
}

TEST_F(Relay, SslServerRoleServesCurlAndOpenSslClient) {
  const uint16_t http = freePort();
  Process peer = httpResponder(http, "relayed");
  const uint16_t port = freePort();
  rule(1, port, http, 2, {{"ssl.cert", pem("server")}, {"ssl.key", key("server")}});
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  const std::string out = dir_.file("curl.out");
  EXPECT_EQ(
      curl({"--cacert", pem("ca"), "-o", out, "https://127.0.0.1:" + std::to_string(port) + "/"},
           dir_.file("curl.err")),
      0)
      << readFile(dir_.file("curl.err"));
  EXPECT_EQ(readFile(out), "relayed");
  EXPECT_TRUE(d.waitForLog("Incoming TLSv1.3 server connection to 127.0.0.1.")) << d.log();

  const std::string sc = dir_.file("s_client.out");
  EXPECT_EQ(run({"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(port), "-CAfile",
                 pem("ca"), "-verify_return_error", "-no_ign_eof"},
                sc),
            0);
  EXPECT_NE(readFile(sc).find("Verify return code: 0 (ok)"), std::string::npos) << readFile(sc);
}

TEST_F(Relay, ClientCertificateRequiredAndMissing) {
  const uint16_t http = freePort();
  Process peer = httpResponder(http, "secret");
  const uint16_t port = freePort();
  rule(1, port, http, 2, {{"ssl.cert", pem("server")}, {"ssl.key", key("server")}},
       {{"ssl.verify_client", 1}});
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/";
  const std::string out = dir_.file("with.out");
  EXPECT_EQ(
      curl({"--cacert", pem("ca"), "--cert", pem("client"), "--key", key("client"), "-o", out, url},
           dir_.file("with.err")),
      0);
  EXPECT_EQ(readFile(out), "secret");
  EXPECT_NE(
      curl({"--cacert", pem("ca"), "-o", dir_.file("without.out"), url}, dir_.file("without.err")),
      0);
  EXPECT_NE(readFile(dir_.file("without.out")), "secret");
  EXPECT_TRUE(d.waitForLog("SSL_accept (1) failed for 127.0.0.1.")) << d.log();
  EXPECT_NE(d.log().find("Verify (1)(0) /O=Brisklane test/CN=Test Client"), std::string::npos);
}

TEST_F(Relay, SslProxyRoleAppliesSslOnlyOnSslPorts) {
  const uint16_t tls = freePort();
  Process tlsPeer = opensslServer(tls, {"-www"});
  const uint16_t plain = freePort();
  Process plainPeer = httpResponder(plain, "plain");
  store_->setting("ssl.proxy_ports", "https:" + std::to_string(tls));
  const uint16_t toTls = freePort();
  const uint16_t toPlain = freePort();
  rule(1, toTls, tls, 3, {{"ssl.cert", pem("server")}, {"ssl.key", key("server")}});
  rule(2, toPlain, plain, 3, {{"ssl.cert", pem("server")}, {"ssl.key", key("server")}});
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(toTls) && waitForPort(toPlain));
  const std::string out = dir_.file("tls.out");
  EXPECT_EQ(
      curl({"--cacert", pem("ca"), "-o", out, "https://127.0.0.1:" + std::to_string(toTls) + "/"},
           dir_.file("tls.err")),
      0)
      << readFile(dir_.file("tls.err"));
  EXPECT_NE(readFile(out).find("s_server"), std::string::npos);
  const std::string plainOut = dir_.file("plain.out");
  EXPECT_EQ(curl({"-o", plainOut, "http://127.0.0.1:" + std::to_string(toPlain) + "/"},
                 dir_.file("plain.err")),
            0);
  EXPECT_EQ(readFile(plainOut), "plain");
  EXPECT_NE(d.log().find("as proxy"), std::string::npos);
}

TEST_F(Relay, SessionsResumeOnTheirOwnPortOnly) {
  const uint16_t echo = freePort();
  Process peer = socatEcho(echo);
  const uint16_t a = freePort();
  const uint16_t b = freePort();
  rule(1, a, echo, 2, {{"ssl.cert", pem("server")}, {"ssl.key", key("server")}});
  rule(2, b, echo, 2, {{"ssl.cert", pem("server")}, {"ssl.key", key("server")}});
  startDaemon();
  ASSERT_TRUE(waitForPort(a) && waitForPort(b));
  const std::string session = dir_.file("session.pem");
  auto client = [&](uint16_t port, const std::vector<std::string>& extra, const std::string& out) {
    std::vector<std::string> argv = {
        "openssl", "s_client",    "-connect", "127.0.0.1:" + std::to_string(port),
        "-tls1_2", "-no_ign_eof", "-CAfile",  pem("ca")};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return run(argv, out);
  };
  ASSERT_EQ(client(a, {"-sess_out", session}, dir_.file("first.out")), 0);
  ASSERT_EQ(client(a, {"-sess_in", session}, dir_.file("same.out")), 0);
  ASSERT_EQ(client(b, {"-sess_in", session}, dir_.file("other.out")), 0);
  EXPECT_NE(readFile(dir_.file("same.out")).find("Reused, TLSv1.2"), std::string::npos);
  EXPECT_NE(readFile(dir_.file("other.out")).find("New, TLSv1.2"), std::string::npos);
}

TEST_F(Relay, RefusedDestinationEndsOnlyThatConnection) {
  const uint16_t closed = freePort();
  const uint16_t port = freePort();
  rule(1, port, closed, 0);
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  EXPECT_EQ(exchange(port, "x", 1), "");
  EXPECT_TRUE(d.waitForLog("Couldn't connect to 127.0.0.1." + std::to_string(closed) +
                           ": Connection refused."))
      << d.log();
  EXPECT_TRUE(d.running());
}

TEST_F(Relay, ClientResetMidTransferLeavesTheRelayServing) {
  const uint16_t echo = freePort();
  Process peer = socatEcho(echo);
  const uint16_t port = freePort();
  rule(1, port, echo, 0);
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  for (int i = 0; i < 5; ++i) {
    const int fd = connectLocal(port);
    ASSERT_GE(fd, 0);
    sendAll(fd, std::string(1 << 20, 'r'));
    linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
  }
  EXPECT_EQ(exchange(port, "still here", 10), "still here");
  EXPECT_TRUE(d.running());
}

TEST_F(Relay, TwoRulesOnOnePortShareOneListener) {
  const uint16_t first = freePort();
  Process firstPeer = httpResponder(first, "first");
  const uint16_t second = freePort();
  Process secondPeer = httpResponder(second, "second");
  const uint16_t port = freePort();
  rule(1, port, first, 0, {{"peer.addr.str", "10.9.9.9"}, {"peer.mask.str", "Local Machine Only"}});
  rule(2, port, second, 0);
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  EXPECT_TRUE(d.waitForLog("Listening on", 5s, 2)) << d.log();
  EXPECT_NE(d.log().find("Configured 2 rules on 1 port"), std::string::npos) << d.log();
  const std::string out = dir_.file("out");
  EXPECT_EQ(curl({"-o", out, "http://127.0.0.1:" + std::to_string(port) + "/"}, "/dev/null"), 0);
  EXPECT_EQ(readFile(out), "second");
}

TEST_F(Relay, TakenPortIsPickedUpByTheNextStart) {
  const uint16_t echo = freePort();
  Process peer = socatEcho(echo);
  const uint16_t port = freePort();
  Process holder({"socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork",
                  "EXEC:echo squatter"},
                 dir_.file("holder.log"));
  ASSERT_TRUE(waitForPort(port));
  rule(1, port, echo, 0);
  rule(2, freePort(), echo, 0);  // one port the daemon can open, so that it starts
  Daemon& d = startDaemon();
  EXPECT_TRUE(d.waitForLog("Couldn't bind to port " + std::to_string(port) + ": Address in use."))
      << d.log();
  holder.stop();
  d.reload();
  EXPECT_TRUE(d.waitForLog("Configured 2 rules on 2 ports", 10s, 2));
  EXPECT_TRUE(d.waitForLog("Listening on")) << d.log();
  EXPECT_EQ(exchange(port, "mine", 4), "mine");
}

TEST_F(Relay, ThousandSimultaneousConnectionsLoseNothing) {
  EchoServer echo;
  const uint16_t port = freePort();
  rule(1, port, echo.port(), 0);
  store_->setting("verbose", 0u);
  startDaemon();
  ASSERT_TRUE(waitForPort(port));
  constexpr int kConnections = 1000;
  std::vector<int> fds;
  for (int i = 0; i < kConnections; ++i) {
    const int fd = connectLocal(port);
    ASSERT_GE(fd, 0) << i;
    fds.push_back(fd);
  }
  for (int i = 0; i < kConnections; ++i) {
    ASSERT_TRUE(sendAll(fds[i], "connection " + std::to_string(i) + std::string(1000, '.')));
  }
  int intact = 0;
  for (int i = 0; i < kConnections; ++i) {
    const std::string expect = "connection " + std::to_string(i) + std::string(1000, '.');
    if (receive(fds[i], expect.size(), 30s) == expect) ++intact;
    close(fds[i]);
  }
  EXPECT_EQ(intact, kConnections);
}

TEST_F(Relay, BadInputEndsOnlyItsConnection) {
  const uint16_t echo = freePort();
  Process peer = socatEcho(echo);
  const uint16_t http = freePort();
  Process web = httpResponder(http, "fine");
  const uint16_t tls = freePort();
  const uint16_t plug = freePort();
  const uint16_t noCert = freePort();
  rule(1, tls, http, 2, {{"ssl.cert", pem("server")}, {"ssl.key", key("server")}});
  rule(2, plug, echo, 0);
  rule(3, noCert, echo, 2,
       {{"ssl.cert", "/nonexistent/cert.pem"}, {"ssl.key", "/nonexistent/key.pem"}});
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(tls) && waitForPort(plug) && waitForPort(noCert));

  // A half-open peer that never speaks holds nothing up.
  const int silent = connectLocal(tls);
  ASSERT_GE(silent, 0);
  // Neither reaches the destination: the answer is at most a TLS alert, never its reply.
  EXPECT_EQ(exchange(tls, "GET / HTTP/1.0\r\n\r\n", 64).find("HTTP"), std::string::npos);
  EXPECT_EQ(exchange(tls, std::string("\x16\x03\x01\x00\x05garbage", 12), 64).find("HTTP"),
            std::string::npos);
  EXPECT_TRUE(d.waitForLog("SSL_accept (1) failed for 127.0.0.1.", 10s, 2)) << d.log();

  // A TLS hello sent to a plug rule is just bytes.
  const std::string hello("\x16\x03\x01\x00\x2a\x01\x00\x00\x26\x03\x03", 11);
  EXPECT_EQ(exchange(plug, hello, hello.size()), hello);

  EXPECT_NE(
      run({"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(noCert), "-no_ign_eof"},
          dir_.file("nocert.out")),
      0);
  EXPECT_TRUE(d.waitForLog("Certificate load failed: /nonexistent/cert.pem")) << d.log();
  EXPECT_TRUE(
      d.waitForLog("Private key load failed: cert: </nonexistent/cert.pem> key: "
                   "</nonexistent/key.pem>"))
      << d.log();

  // The others are still served while the silent peer waits.
  const std::string out = dir_.file("curl.out");
  EXPECT_EQ(
      curl({"--cacert", pem("ca"), "-o", out, "https://127.0.0.1:" + std::to_string(tls) + "/"},
           "/dev/null"),
      0);
  EXPECT_EQ(readFile(out), "fine");
  close(silent);
  EXPECT_TRUE(d.running());
}

TEST_F(Relay, WrongPassPhraseEndsOnlyThoseConnections) {
  const uint16_t http = freePort();
  Process web = httpResponder(http, "opened");
  const uint16_t port = freePort();
  rule(1, port, http, 2, {{"ssl.cert", pem("server")}, {"ssl.key", key("locked")}});
  store_->binarySetting("ssl.passwd", std::string("wrong", 6));
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/";
  EXPECT_NE(curl({"--cacert", pem("ca"), url}, dir_.file("wrong.err")), 0);
  EXPECT_TRUE(d.waitForLog("Private key load failed: cert: <" + pem("server") + "> key: <" +
                           key("locked") + ">"))
      << d.log();

  store_->binarySetting("ssl.passwd", std::string("right", 6));
  d.reload();
  ASSERT_TRUE(d.waitForLog("Configured 1 rule on 1 port", 10s, 2));
  const std::string out = dir_.file("right.out");
  EXPECT_EQ(curl({"--cacert", pem("ca"), "-o", out, url}, dir_.file("right.err")), 0)
      << readFile(dir_.file("right.err"));
  EXPECT_EQ(readFile(out), "opened");
  EXPECT_TRUE(d.running());
}

TEST_F(Relay, StatusLineAndOrderlyShutdown) {
  const uint16_t echo = freePort();
  Process peer = socatEcho(echo);
  const uint16_t port = freePort();
  rule(1, port, echo, 0);
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  EXPECT_EQ(exchange(port, "count me", 8), "count me");
  // The port probe is a connection too: both must have ended before the bytes are counted.
  ASSERT_TRUE(d.waitForLog("Disconnect", 10s, 2)) << d.log();
  d.status();
  EXPECT_TRUE(d.waitForLog(" client, ")) << d.log();
  EXPECT_NE(d.log().find("8/8 bytes."), std::string::npos) << d.log();
  const int status = d.stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(d.log().find("Shutting down"), std::string::npos);
}

}  // namespace
}  // namespace itest
