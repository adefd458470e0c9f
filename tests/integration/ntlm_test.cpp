// A whole NTLM exchange with an upstream proxy: curl -x asks the relay's front end for a tunnel,
// the relay authenticates to a proxy that checks the NTLM messages with the host's mechanism, and
// the TLS server's page comes back through both. A wrong password gets the browser the refusal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>

#include "daemon_test.h"
#include "ntlm_proxy.h"
#include "proxy_peers.h"

namespace itest {
namespace {

class Ntlm : public DaemonTest {
 protected:
  void SetUp() override {
    // Read by the mechanism when it checks a client's answer; set before the proxy's thread runs.
    writeFile(dir_.file("ntlm-users"), "TESTDOM:alice:secret\n");
    setenv("NTLM_USER_FILE", dir_.file("ntlm-users").c_str(), 1);
    DaemonTest::SetUp();
    store_->setting("tcp.timeout", 1);
    proxy_ = std::make_unique<NtlmProxy>();
    ASSERT_NE(proxy_->port(), 0);
  }
  void TearDown() override {
    DaemonTest::TearDown();
    proxy_.reset();
    unsetenv("NTLM_USER_FILE");
  }

  // The browser-facing rule on 127.0.0.1:listen, through the NTLM proxy as `user`.
  void browserRule(uint16_t listen, const std::string& user, const std::string& password) {
    listenRule(1, listen,
               {{"https.proxy.server", "127.0.0.1"},
                {"https.proxy.port", std::to_string(proxy_->port())},
                {"https.proxy.user", user},
                {"https.proxy.user.pass", password}},
               {{"ssl.role", 0},
                {"connect.type", 2},
                {"https.proxy.enable", 1},
                {"https.proxy.useNTLM", 1}});
  }

  std::unique_ptr<NtlmProxy> proxy_;
};

TEST_F(Ntlm, CompletedExchangeOpensTheTunnel) {
  const uint16_t tls = freePort();
  Process server({"openssl", "s_server", "-accept", std::to_string(tls), "-cert", pem("server"),
                  "-key", key("server"), "-www", "-naccept", "2"},
                 dir_.file("s_server.log"));
  ASSERT_TRUE(waitForPort(tls));
  const uint16_t port = freePort();
  browserRule(port, "TESTDOM\\alice", "secret");
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  const int status = run({"curl", "-s", "-S", "--max-time", "20", "-o", dir_.file("tls.out"), "-x",
                          "http://127.0.0.1:" + std::to_string(port), "--cacert", pem("ca"),
                          "https://127.0.0.1:" + std::to_string(tls) + "/"},
                         dir_.file("tls.err"));
  EXPECT_EQ(status, 0) << readFile(dir_.file("tls.err")) << d.log();
  EXPECT_NE(readFile(dir_.file("tls.out")).find("s_server"), std::string::npos)
      << readFile(dir_.file("tls.out"));
  const std::vector<std::string> users = proxy_->authenticated();
  ASSERT_EQ(users.size(), 1u) << d.log();
  // The mechanism shows the name as the client sent it, "DOMAIN\user".
  std::string name = users.front();
  std::transform(name.begin(), name.end(), name.begin(), ::toupper);
  EXPECT_NE(name.find("TESTDOM"), std::string::npos) << users.front();
  EXPECT_NE(name.find("ALICE"), std::string::npos) << users.front();
  EXPECT_TRUE(proxy_->refusals().empty());
}

TEST_F(Ntlm, WrongPasswordGivesTheBrowserTheUnauthorizedPage) {
  const uint16_t port = freePort();
  browserRule(port, "TESTDOM\\alice", "wrong");
  Daemon& d = startDaemon();
  ASSERT_TRUE(waitForPort(port));
  const std::string page = askForTunnel(port);
  EXPECT_EQ(page, kUnauthorizedPage) << d.log();
  EXPECT_EQ(page.size(), 107u);
  EXPECT_TRUE(proxy_->authenticated().empty());
  EXPECT_EQ(proxy_->refusals().size(), 1u);
  EXPECT_TRUE(d.waitForLog("Authentication rejected by server")) << d.log();
}

}  // namespace
}  // namespace itest
