// The relay service through brisklaned: a reload builds a new SSL context from the new settings
// while connections made before it go on, and the questions of a handshake are answered from the
// store. Real peers: socat, openssl s_server and s_client.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "daemon_test.h"

namespace itest {
namespace {

class Service : public DaemonTest {
 protected:
  // One TLS 1.2 handshake with the port; the cipher s_client reports, or "" when none was made.
  std::string negotiatedCipher(uint16_t port) {
    const std::string out = dir_.file("s_client-" + std::to_string(++clients_) + ".out");
    run({"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(port), "-tls1_2",
         "-no_ign_eof"},
        out, 30s);
    const std::string text = readFile(out);
    const std::string mark = "Cipher is ";
    const size_t at = text.find(mark);
    if (at == std::string::npos) return "";
    const size_t end = text.find('\n', at);
    const std::string cipher = text.substr(at + mark.size(), end - at - mark.size());
    return cipher == "(NONE)" ? "" : cipher;
  }

  int clients_ = 0;
};

TEST_F(Service, ReloadBuildsANewContextWhileEarlierTransfersGoOn) {
  const uint16_t echo = freePort();
  Process peer = socatEcho(echo);
  const uint16_t tls = freePort();
  const uint16_t plain = freePort();
  rule(1, tls, echo, 2, {{"ssl.cert", pem("server")}, {"ssl.key", key("server")}});
  rule(2, plain, tls, 1);
  store_->setting("ssl.cipher", "ECDHE-RSA-AES128-GCM-SHA256");
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(tls) && waitForPort(plain));
  EXPECT_EQ(negotiatedCipher(tls), "ECDHE-RSA-AES128-GCM-SHA256");

  // A transfer through both SSL rules, half before the reloads and half after.
  const std::string half(4 << 20, 'h');
  const int fd = connectLocal(plain);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(sendAll(fd, half));
  ASSERT_EQ(receive(fd, half.size(), 60s), half);

  store_->setting("ssl.enable_tls1", 0);
  store_->setting("ssl.cipher", "ECDHE-RSA-AES256-GCM-SHA384");
  d.reload();
  ASSERT_TRUE(d.waitForLog("Configured 2 rules on 2 ports", 10s, 2)) << d.log();
  EXPECT_EQ(negotiatedCipher(tls), "");

  store_->setting("ssl.enable_tls1", 1);
  d.reload();
  ASSERT_TRUE(d.waitForLog("Configured 2 rules on 2 ports", 10s, 3)) << d.log();
  EXPECT_EQ(negotiatedCipher(tls), "ECDHE-RSA-AES256-GCM-SHA384");

  const std::string second(4 << 20, 's');
  ASSERT_TRUE(sendAll(fd, second));
  EXPECT_EQ(receive(fd, second.size(), 60s), second);
  close(fd);
}

TEST_F(Service, ClientCertificateIsAnsweredFromTheStore) {
  const uint16_t server = freePort();
  Process peer = opensslServer(server, {"-Verify", "1", "-CAfile", pem("ca"), "-rev", "-quiet"});
  const uint16_t port = freePort();
  rule(1, port, server, 1);

  // None stored: the handshake goes on without one, the server refuses it, and that is told once.
  Daemon& none = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  EXPECT_EQ(exchange(port, "first\n", 6), "");
  EXPECT_EQ(exchange(port, "again\n", 6), "");
  EXPECT_TRUE(none.waitForLog("asks for a client certificate and none is stored")) << none.log();
  EXPECT_EQ(countText(none.log(), "none is stored"), 1);

  // PEM with its key in one file.
  const std::string combined = dir_.file("client-combined.pem");
  writeFile(combined, readFile(pem("client")) + readFile(key("client")));
  store_->setting("ssl.client_cert", combined);
  startDaemon();
  ASSERT_TRUE(waitForPort(port));
  EXPECT_EQ(exchange(port, "hello\n", 6), "olleh\n");

  // PKCS#12, opened with the stored pass phrase.
  const std::string p12 = dir_.file("client.p12");
  ASSERT_EQ(run({"openssl", "pkcs12", "-export", "-in", pem("client"), "-inkey", key("client"),
                 "-passout", "pass:p12secret", "-out", p12}),
            0);
  store_->setting("ssl.client_cert", p12);
  store_->binarySetting("ssl.passwd", std::string("p12secret", 10));
  Daemon& fromP12 = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  EXPECT_EQ(exchange(port, "pkcs12\n", 7), "21sckp\n");
  EXPECT_EQ(exchange(port, "twice\n", 6), "eciwt\n");  // the cached certificate serves again
  EXPECT_EQ(countText(fromP12.log(), "Couldn't load the client certificate"), 0) << fromP12.log();
}

// A stored file that cannot be read is told with the library's reason, at every request.
TEST_F(Service, UnreadableClientCertificateIsLoggedWithItsReason) {
  const uint16_t server = freePort();
  Process peer = opensslServer(server, {"-Verify", "1", "-CAfile", pem("ca"), "-rev", "-quiet"});
  const uint16_t port = freePort();
  rule(1, port, server, 1);
  const std::string gone = dir_.file("gone.pem");
  store_->setting("ssl.client_cert", gone);
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  EXPECT_EQ(exchange(port, "first\n", 6), "");
  EXPECT_EQ(exchange(port, "again\n", 6), "");
  EXPECT_TRUE(d.waitForLog("Couldn't read the client certificate <" + gone + ">", 10s, 2))
      << d.log();
  // Each told line has its reason after it, and no later handshake is blamed for it.
  const std::string told = "Couldn't read the client certificate <" + gone + ">\n";
  EXPECT_EQ(countText(d.log(), told + "---BIO_new_file:No such file or directory"),
            countText(d.log(), told));
  EXPECT_EQ(countText(d.log(), "No such file or directory"), countText(d.log(), told));
}

}  // namespace
}  // namespace itest
