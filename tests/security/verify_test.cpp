#include "crl_test_support.h"

namespace crl_test {
namespace {

const std::string kServer = "/O=Brisklane test/CN=127.0.0.1";

class Verify : public CrlFixture {
 protected:
  void SetUp() override {
    CrlFixture::SetUp();
    trust("ca");
  }
  int crlResult(const std::string& name) {
    X509Ptr cert = loadCert(file(name + ".pem"));
    StoreCtxPtr ctx(X509_STORE_CTX_new());
    X509_STORE_CTX_init(ctx.get(), store_.get(), cert.get(), nullptr);
    return crl_check(ctx.get(), cert.get());
  }
};

TEST_F(Verify, CrlCheckResultsAndTheStoredCrlStaysAsItWas) {
  EXPECT_EQ(crlResult("server"), 0);
  holdCrl("expired.crl.pem");
  EXPECT_EQ(crlResult("server"), -1);
  EXPECT_EQ(crlResult("revoked"), -2);  // revoked wins over expired
  holdCrl("current.crl.pem");
  EXPECT_EQ(crlResult("server"), 1);
  EXPECT_EQ(crlResult("revoked"), -2);
  EXPECT_EQ(crlResult("revoked"), -2);
  EXPECT_EQ(crlResult("stranger"), 0);  // another issuer's certificate
}

TEST_F(Verify, CrlFailureDecidesAloneAndOnlyThePeerIsChecked) {
  policy_.crlCheckEnable = 1;
  policy_.filterEnable = 1;
  policy_.filterHave = "no such text";
  EXPECT_TRUE(verify("server"));  // no CRL, policy allow: the filter is not consulted
  EXPECT_EQ(lines(),
            (std::vector<std::string>{
                "Verify (1)(1) /O=Brisklane test/CN=Test CA", "Verify (1)(0) " + kServer,
                "Fails CRL check. no Valid CRL for issuer <" + kServer + "> policy says <allow>"}));
  policy_.crlPolicyFailCannotFindCrlForIssuer = 1;
  EXPECT_FALSE(verify("server"));
}

TEST_F(Verify, SubjectFilterHaveAndHaveNot) {
  policy_.filterEnable = 1;
  policy_.filterHave = "CN=127.0.0.1";
  policy_.filterHavenot = "Brisklane";
  EXPECT_FALSE(verify("server"));
  EXPECT_EQ(count("Filter: 'have not' fail. '" + kServer + "' contains 'Brisklane'"), 1)
      << joined();
  EXPECT_EQ(countWithCode(0x6026), 0);
  policy_.filterHave = "cn=127.0.0.1";
  policy_.filterHavenot.clear();
  EXPECT_FALSE(verify("server"));
  EXPECT_EQ(count("Filter: 'have' fail. " + kServer + " does not contain cn=127.0.0.1"), 1);
  policy_.filterEnable = 0;
  EXPECT_TRUE(verify("server"));
}

}  // namespace
}  // namespace crl_test
