// Certificate checking end to end: brisklaned between openssl s_client/s_server and each other,
// with a CA run by "openssl ca", its CRLs (current, past their next update, PEM and DER) loaded
// from "ssl.crl_lists", the three CRL policies, the subject filter and the host-name check.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "daemon_test.h"

namespace itest {
namespace {

const std::string kServer = "/O=Brisklane test/CN=127.0.0.1";
const std::string kRevoked = "/O=Brisklane test/CN=Revoked Server";

class Verification : public DaemonTest {
 protected:
  // The CA here is run by "openssl ca", which also issues its CRLs.
  static void SetUpTestSuite() {
    pki_ = new TempDir;
    const std::string script =
        std::filesystem::path(__FILE__).parent_path().parent_path().string() +
        "/security/data/make_crl_pki.sh";
    ready_ = run({"sh", script, pki_->path()}, pki_->file("make.log"), 120s) == 0;
  }

  void SetUp() override {
    ASSERT_TRUE(ready_) << readFile(pki_->file("make.log"));
    DaemonTest::SetUp();
    store_->setting("ssl.ca_cert", pem("ca"));
  }

  // A folder holding copies of the named files of the test material.
  std::string folderWith(const std::string& name, const std::vector<std::string>& files) {
    const std::string folder = dir_.file(name);
    std::filesystem::create_directories(folder);
    for (const std::string& f : files) std::filesystem::copy_file(pki_->file(f), folder + "/" + f);
    return folder;
  }
  void checkCrls(const std::string& folder, uint32_t reject) {
    store_->setting("crl.check.enable", 1);
    if (!folder.empty()) store_->setting("ssl.crl_lists", folder);
    store_->setting("crl.policy.fail.CannotFindCrlForIssuer", reject);
    store_->setting("crl.policy.fail.ExpiredCrlForIssuer", reject);
    store_->setting("crl.policy.fail.ValidCrlRevokesCert", reject);
  }

  // An SSL server that answers each line reversed, with the named certificate.
  uint16_t server(const std::string& cert) {
    const uint16_t port = freePort();
    servers_.emplace_back(
        std::vector<std::string>{"openssl", "s_server", "-accept", std::to_string(port), "-cert",
                                 pem(cert), "-key", key(cert), "-rev", "-quiet"},
        dir_.file("s_server-" + cert + ".log"));
    EXPECT_TRUE(waitForPort(port));
    return port;
  }
  // A rule in the SSL client role, checking the server unless told; returns its local port.
  uint16_t clientRule(int n, uint16_t dest, const std::string& destHost = "127.0.0.1",
                      uint32_t verify = 1) {
    const uint16_t port = freePort();
    listenRule(n, port, {{"dest.addr.str", destHost}, {"dest.port.str", std::to_string(dest)}},
               {{"ssl.role", 1}, {"ssl.verify_server", verify}});
    rulePorts_[n] = port;
    return port;
  }
  // Waits for the greeting of every rule, not probing the ports: a probe would be one more
  // connection.
  Daemon& startDaemon() {
    Daemon& d = DaemonTest::startDaemon();
    for (const auto& [rule, port] : rulePorts_) {
      EXPECT_TRUE(d.waitForLog("Listening on " + std::to_string(port) + " "));
    }
    return d;
  }
  // "olleh\n" when the relay's handshake with the server passed, "" when it was refused.
  static std::string hello(uint16_t port) {
    const int fd = connectLocal(port);
    if (fd < 0) return "<no connection>";
    sendAll(fd, "hello\n");
    std::string back = receive(fd, 6);
    close(fd);
    return back;
  }
  static std::string verdict(uint32_t reject) { return reject != 0 ? "reject>" : "allow>"; }

  static inline bool ready_ = false;
  std::vector<Process> servers_;
  std::map<int, uint16_t> rulePorts_;  // the local port of each rule in the store
};

TEST_F(Verification, EveryCrlOutcomeFollowsItsPolicy) {
  const uint16_t plain = server("server");
  const uint16_t revoked = server("revoked");
  const uint16_t stranger = server("stranger");
  store_->setting("ssl.ca_cert", folderWith("trusted", {"ca.pem", "other-ca.pem"}));
  // Test CA's CRL is past its next update and lists "revoked"; Other CA has no CRL. Files that
  // hold no CRL are reported and skipped.
  const std::string crls = folderWith("crls", {"expired.crl.pem"});
  std::ofstream(crls + "/notes.txt") << "not a CRL\n";
  std::ofstream(crls + "/empty.crl") << "";
  std::ofstream(crls + "/truncated.der", std::ios::binary)
      << readFile(pki_->file("current.crl.der")).substr(0, 100);
  for (uint32_t reject : {0u, 1u}) {
    SCOPED_TRACE(reject != 0 ? "reject" : "allow");
    checkCrls(crls, reject);
    const uint16_t toPlain = clientRule(1, plain);
    const uint16_t toRevoked = clientRule(2, revoked);
    const uint16_t toStranger = clientRule(3, stranger);
    Daemon& d = startDaemon();
    EXPECT_EQ(countText(d.log(), "Failed to load '" + crls + "'"), 3) << d.log();
    EXPECT_EQ(countText(d.log(), "CRL. ca: </O=Brisklane test/CN=Test CA> hash:<"), 1);
    const std::string refused = reject != 0 ? "" : "olleh\n";
    EXPECT_EQ(hello(toPlain), refused);
    EXPECT_EQ(hello(toRevoked), refused);
    EXPECT_EQ(hello(toStranger), refused);
    EXPECT_TRUE(d.waitForLog("Fails CRL check. CRL expired for <" + kServer + "> policy says <" +
                             verdict(reject)))
        << d.log();
    // Revoked wins over expired.
    EXPECT_TRUE(d.waitForLog("Fails CRL check. Valid CRL revokes cert <" + kRevoked +
                             "> policy says <" + verdict(reject)));
    EXPECT_TRUE(
        d.waitForLog("Fails CRL check. no Valid CRL for issuer </O=Brisklane "
                     "test/CN=Stranger> policy says <" +
                     verdict(reject)));
    if (reject != 0) {
      // The same revoked certificate is refused again: the check left the CRL as it was.
      EXPECT_EQ(hello(toRevoked), "");
      EXPECT_TRUE(d.waitForLog(
          "Fails CRL check. Valid CRL revokes cert <" + kRevoked + "> policy says <reject>", 10s,
          2));
    }
    // The CAs above the peers are not checked: one CRL line per connection.
    EXPECT_EQ(countText(d.log(), "Fails CRL check. CRL expired for"), 1) << d.log();
    d.stop();
  }
}

TEST_F(Verification, UnknownIssuerIsNamedAndRefused) {
  const uint16_t stranger = server("stranger");
  const uint16_t port = clientRule(1, stranger);
  // A rule that does not check its server still reaches it; the failure is only logged.
  const uint16_t unchecked = clientRule(2, stranger, "127.0.0.1", 0);
  Daemon& d = startDaemon();
  EXPECT_EQ(hello(unchecked), "olleh\n");
  EXPECT_EQ(hello(port), "");
  EXPECT_TRUE(d.waitForLog("Issuer /O=Brisklane test/CN=Other CA")) << d.log();
  EXPECT_NE(d.log().find("Verify (0)(0) /O=Brisklane test/CN=Stranger\n"
                         "Verify error (20) unable to get local issuer certificate\n"),
            std::string::npos)
      << d.log();
  // Without "crl.check.enable" nothing is listed or checked.
  EXPECT_EQ(countText(d.log(), "CRL"), 0) << d.log();
}

TEST_F(Verification, SubjectFilterIsCaseSensitiveAndSparesTheCa) {
  store_->setting("filter.enable", 1);
  store_->setting("filter.have", "CN=127.0.0.1");  // the CA's subject lacks it
  store_->setting("filter.havenot", "cn=127");     // lower case: not contained
  const uint16_t toPlain = clientRule(1, server("server"));
  const uint16_t toRevoked = clientRule(2, server("revoked"));
  Daemon& d = startDaemon();
  EXPECT_EQ(hello(toPlain), "olleh\n");
  EXPECT_EQ(hello(toRevoked), "");
  EXPECT_TRUE(d.waitForLog("Filter: 'have' fail. " + kRevoked + " does not contain CN=127.0.0.1"))
      << d.log();
  EXPECT_EQ(countText(d.log(), "Filter: "), 1) << d.log();
}

TEST_F(Verification, ClientCertificatesMeetTheSameChecks) {
  EchoServer echo;
  checkCrls(folderWith("crls", {"current.crl.pem"}), 1);
  const uint16_t port = freePort();
  listenRule(1, port,
             {{"dest.addr.str", "127.0.0.1"},
              {"dest.port.str", std::to_string(echo.port())},
              {"ssl.cert", pem("server")},
              {"ssl.key", key("server")}},
             {{"ssl.role", 2}, {"ssl.verify_client", 1}});
  rulePorts_[1] = port;
  Daemon& d = startDaemon();
  auto client = [&](const std::string& cert) {
    const std::string in = dir_.file("in.txt");
    std::ofstream(in) << "ping\n";
    return run({"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(port), "-CAfile",
                pem("ca"), "-cert", pem(cert), "-key", key(cert), "-no_ign_eof"},
               dir_.file("s_client-" + cert + ".out"), 30s, in);
  };
  client("client");
  EXPECT_TRUE(
      d.waitForLog("CRL for issuer does NOT revoke cert </O=Brisklane test/CN=Test Client>"))
      << d.log();
  EXPECT_TRUE(d.waitForLog("Incoming TLSv1.3 server connection to 127.0.0.1.")) << d.log();
  client("revoked");
  EXPECT_TRUE(d.waitForLog("Fails CRL check. Valid CRL revokes cert <" + kRevoked +
                           "> policy says <reject>"))
      << d.log();
  EXPECT_TRUE(d.waitForLog("SSL_accept (1) failed for 127.0.0.1.")) << d.log();
  EXPECT_EQ(countText(d.log(), "Incoming TLSv1.3 server connection"), 1) << d.log();
}

TEST_F(Verification, VerifiedServerMustMatchTheRuleHostName) {
  const uint16_t elsewhere = server("elsewhere");
  const uint16_t plain = server("server");
  const uint16_t mismatch = clientRule(1, elsewhere, "localhost");
  const uint16_t match = clientRule(2, plain, "localhost");
  const uint16_t byAddress = clientRule(3, elsewhere, "127.0.0.1");
  const uint16_t byRightAddress = clientRule(4, plain, "127.0.0.1");
  Daemon& d = startDaemon();
  EXPECT_EQ(hello(mismatch), "");
  EXPECT_TRUE(d.waitForLog("Verify error (62) hostname mismatch")) << d.log();
  EXPECT_EQ(hello(match), "olleh\n");
  // A server named by its address must prove that address: a certificate of a trusted CA for
  // another name does not pass for it.
  EXPECT_EQ(hello(byAddress), "");
  EXPECT_TRUE(d.waitForLog("Verify error (64) IP address mismatch")) << d.log();
  EXPECT_EQ(hello(byRightAddress), "olleh\n");
  EXPECT_EQ(countText(d.log(), "Verify error ("), 2) << d.log();
  d.stop();

  store_->setting("ssl.verify_host", 0u);
  Daemon& off = startDaemon();
  EXPECT_EQ(hello(mismatch), "olleh\n");
  EXPECT_EQ(countText(off.log(), "Verify error ("), 0) << off.log();
}

}  // namespace
}  // namespace itest
