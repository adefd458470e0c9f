#include "crl_test_support.h"

namespace crl_test {
namespace {

const std::string kServer = "/O=Brisklane test/CN=127.0.0.1";
const std::string kRevoked = "/O=Brisklane test/CN=Revoked Server";
const std::string kCa = "/O=Brisklane test/CN=Test CA";

class Verify : public CrlFixture {
 protected:
  void SetUp() override {
    CrlFixture::SetUp();
    trust("ca");
  }
  void policies(uint32_t reject) {
    config::ccSettings.crlCheckEnable = 1;
    config::ccSettings.crlPolicyFailCannotFindCrlForIssuer = reject;
    config::ccSettings.crlPolicyFailExpiredCrlForIssuer = reject;
    config::ccSettings.crlPolicyFailValidCrlRevokesCert = reject;
  }
  int crlResult(const std::string& name) {
    X509Ptr cert = loadCert(file(name + ".pem"));
    StoreCtxPtr ctx(X509_STORE_CTX_new());
    X509_STORE_CTX_init(ctx.get(), store_.get(), cert.get(), nullptr);
    return crl_check(ctx.get(), cert.get());
  }
};

TEST_F(Verify, LogsEveryCertificateOfTheChain) {
  EXPECT_TRUE(verify("server"));
  EXPECT_EQ(lines(), (std::vector<std::string>{"Verify (1)(1) " + kCa, "Verify (1)(0) " + kServer}));
}

TEST_F(Verify, MissingIssuerLogsErrorTwentyAndTheIssuer) {
  EXPECT_FALSE(verify("stranger"));
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         "Verify (0)(0) /O=Brisklane test/CN=Stranger",
                         "Verify error (20) unable to get local issuer certificate",
                         "Issuer /O=Brisklane test/CN=Other CA"}));
}

TEST_F(Verify, HostNameMismatchIsAVerifyError) {
  EXPECT_FALSE(verify("elsewhere", "localhost"));
  EXPECT_EQ(count("Verify error (62) hostname mismatch"), 1) << joined();
  EXPECT_EQ(countWithCode(0x6022), 0);
  sink_.clear();
  EXPECT_TRUE(verify("server", "localhost"));
}

struct CrlCase {
  const char* crl;  // null: no CRL held
  const char* cert;
  int result;
  std::string line;
};

TEST_F(Verify, EachCrlOutcomeFollowsItsPolicy) {
  const CrlCase cases[] = {
      {nullptr, "server", 0, "Fails CRL check. no Valid CRL for issuer <" + kServer + "> policy says <"},
      {"expired.crl.pem", "server", -1, "Fails CRL check. CRL expired for <" + kServer + "> policy says <"},
      {"current.crl.pem", "revoked", -2, "Fails CRL check. Valid CRL revokes cert <" + kRevoked + "> policy says <"},
      // Revoked wins over expired.
      {"expired.crl.pem", "revoked", -2, "Fails CRL check. Valid CRL revokes cert <" + kRevoked + "> policy says <"},
  };
  for (const CrlCase& c : cases) {
    for (uint32_t reject : {0u, 1u}) {
      SCOPED_TRACE(std::string(c.crl ? c.crl : "no CRL") + " " + c.cert + (reject ? " reject" : " allow"));
      store_.reset(X509_STORE_new());
      trust("ca");
      if (c.crl != nullptr) holdCrl(c.crl);
      policies(reject);
      // The filter is not consulted once a CRL failure is decided.
      config::ccSettings.filterEnable = 1;
      config::ccSettings.filterHave.set("no such text");
      sink_.clear();
      EXPECT_EQ(crlResult(c.cert), c.result);
      EXPECT_EQ(verify(c.cert), reject == 0);
      EXPECT_EQ(count(c.line + (reject ? "reject>" : "allow>")), 1) << joined();
      EXPECT_EQ(countWithCode(0x6026), 0);
    }
  }
}

TEST_F(Verify, CurrentCrlThatDoesNotListTheCertificatePasses) {
  holdCrl("current.crl.pem");
  policies(1);
  EXPECT_EQ(crlResult("server"), 1);
  EXPECT_TRUE(verify("server"));
  // Only the peer's own certificate is checked, not the CA above it.
  EXPECT_EQ(lines(), (std::vector<std::string>{"Verify (1)(1) " + kCa, "Verify (1)(0) " + kServer,
                                               "CRL for issuer does NOT revoke cert <" + kServer + ">"}));
}

TEST_F(Verify, RevokedCertificateStaysRevokedOnTheSecondCheck) {
  holdCrl("current.crl.pem");
  policies(1);
  EXPECT_EQ(crlResult("revoked"), -2);
  EXPECT_EQ(crlResult("revoked"), -2);
  EXPECT_FALSE(verify("revoked"));
  EXPECT_FALSE(verify("revoked"));
  EXPECT_EQ(crlResult("server"), 1);
}

TEST_F(Verify, SubjectFilterIsCaseSensitiveAndSkipsTheCa) {
  config::ccSettings.filterEnable = 1;
  config::ccSettings.filterHave.set("cn=127.0.0.1");
  EXPECT_FALSE(verify("server"));
  EXPECT_EQ(count("Filter: 'have' fail. " + kServer + " does not contain cn=127.0.0.1"), 1) << joined();

  // The CA's subject lacks the text, yet it is not filtered.
  config::ccSettings.filterHave.set("CN=127.0.0.1");
  EXPECT_TRUE(verify("server"));

  config::ccSettings.filterHavenot.set("Brisklane");
  sink_.clear();
  EXPECT_FALSE(verify("server"));
  EXPECT_EQ(count("Filter: 'have not' fail. '" + kServer + "' contains 'Brisklane'"), 1) << joined();
  EXPECT_EQ(countWithCode(0x6026), 0);

  config::ccSettings.filterEnable = 0;
  EXPECT_TRUE(verify("server"));
}

}  // namespace
}  // namespace crl_test
