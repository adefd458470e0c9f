#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "relay/observer.h"
#include "relay/ssl_context.h"
#include "relay/ssl_test_support.h"
#include "support/support.h"

namespace {

using relay::SslPtr;
using ssl_test::handshake;

class CertAndKey : public ssl_test::SslFixture {};

TEST_F(CertAndKey, EveryFormLoadsAndServesAHandshake) {
  EXPECT_TRUE(handshakeWith(file("server.pem"), file("server.key")));
  EXPECT_TRUE(handshakeWith(file("server.der"), file("server-key.der")));
  EXPECT_TRUE(handshakeWith(file("server.p12"), ""));
  EXPECT_TRUE(handshakeWith(file("server.pem"), file("server-enc.key")));
  EXPECT_TRUE(handshakeWith(file("combined.pem"), ""));
  EXPECT_EQ(countWithCode(0x6042), 0);
  EXPECT_EQ(countWithCode(0x6043), 0);
}

TEST_F(CertAndKey, WrongPassPhraseIsLoggedAndOnlyTheHandshakeFails) {
  state_->questions.rememberPassphrase("wrong");
  EXPECT_FALSE(handshakeWith(file("server.pem"), file("server-enc.key")));
  EXPECT_EQ(lines(),
            std::vector<std::string>{"Private key load failed: cert: <" + file("server.pem") +
                                     "> key: <" + file("server-enc.key") + ">"});
  sink_.clear();
  EXPECT_FALSE(handshakeWith(file("combined.pem"), ""));
  EXPECT_EQ(lines(),
            std::vector<std::string>{"Private key load failed: wrong password ?. using cert: <" +
                                     file("combined.pem") + "> key: <no key file>"});
  EXPECT_EQ(countWithCode(0x6043), 1);
}

TEST_F(CertAndKey, Pkcs12WithAnEmptyPasswordAnswerFails) {
  state_->questions.rememberPassphrase("");
  EXPECT_FALSE(handshakeWith(file("server.p12"), ""));
  const auto entries = sink_.entries();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries[0].text, "Certificate load failed: " + file("server.p12"));
  EXPECT_EQ(entries[0].code, 0x6042u);
  EXPECT_EQ(count("Private key load failed: wrong password ?. using cert: <" + file("server.p12") +
                  "> key: <no key file>"),
            1);
}

TEST_F(CertAndKey, UnreadableFilesAreLogged) {
  const std::string missing = file("missing.pem");
  EXPECT_FALSE(handshakeWith(missing, file("missing.key")));
  EXPECT_EQ(count("Certificate load failed: " + missing), 1);
  EXPECT_EQ(
      count("Private key load failed: cert: <" + missing + "> key: <" + file("missing.key") + ">"),
      1);
}

TEST_F(CertAndKey, KeyOfAnotherCertificateIsRefused) {
  EXPECT_FALSE(handshakeWith(file("server.pem"), file("other.key")));
  EXPECT_EQ(count("Private key load failed: cert: <" + file("server.pem") + "> key: <" +
                  file("other.key") + ">"),
            1);
}

// Counts the pass-phrase questions and answers them with what it was given.
class CountingPerson final : public relay::RelayObserver {
 public:
  explicit CountingPerson(std::string answer) : answer_(std::move(answer)) {}
  void logLine(const logging::LogLine&) override {}
  std::string askPassphrase(const std::string&) override {
    ++asked;
    return answer_;
  }
  bool askClientCertificate(const std::string&, relay::ClientCredentials*) override {
    return false;
  }
  int asked = 0;

 private:
  std::string answer_;
};

// The PKCS#12 tries of a load ask for a password only where the file holds PKCS#12 data: an
// encrypted PEM key is asked for once, and a cancelled question is not asked again.
TEST_F(CertAndKey, OnlyFilesThatNeedAPasswordAskForOne) {
  for (const char* answer : {"secret", ""}) {
    state_->questions.rememberPassphrase("");
    state_->loadedPairs.clear();
    CountingPerson person(answer);
    state_->observer.attach(&person, false);
    EXPECT_EQ(handshakeWith(file("server.pem"), file("server-enc.key")), *answer != '\0');
    EXPECT_EQ(handshakeWith(file("server.pem"), file("server.key")), true);
    state_->observer.withdraw();
    EXPECT_EQ(person.asked, 1) << "answer <" << answer << ">";
  }
  state_->questions.rememberPassphrase("");
}

TEST_F(CertAndKey, ObjectWithoutPasswordCallbackNeverPrompts) {
  relay::SslCtxPtr bare(SSL_CTX_new(TLS_method()));
  SslPtr ssl(SSL_new(bare.get()));
  relay::loadCertAndKey(ssl.get(), &state_->loadedPairs, file("server.pem"), file("server-enc.key"),
                        0);
  EXPECT_EQ(countWithCode(0x6043), 1);
}

class CaCertificates : public ssl_test::SslFixture {
 protected:
  void SetUp() override {
    SslFixture::SetUp();
    dir_ = folder_.path();
    platform::setHiveDirectory(dir_);
  }
  void TearDown() override {
    platform::setHiveDirectory("");
    SslFixture::TearDown();
  }
  std::string makeCaDir() {
    const std::string cas = dir_ + "/cas";
    std::filesystem::create_directory(cas);
    std::filesystem::copy_file(file("ca.pem"), cas + "/ca.pem");
    std::filesystem::copy_file(file("ca2.der"), cas + "/second.der");
    std::ofstream(cas + "/readme.txt") << "not a certificate\n";
    return cas;
  }
  void addRegistryCa(const std::string& name, const std::vector<char>& data) {
    platform::RegKey key;
    ASSERT_EQ(platform::regCreateKey(platform::Hive::kLocalMachine,
                                     "System\\CurrentControlSet\\Control\\SecurityProviders\\"
                                     "SCHANNEL\\CertificationAuthorities\\" +
                                         name,
                                     &key),
              0);
    ASSERT_EQ(platform::regSetValue(key, "CaCert", platform::REG_BINARY, data.data(),
                                    static_cast<uint32_t>(data.size())),
              0);
  }
  static std::vector<char> bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  int clientCaCount() {
    relay::SslCtxPtr ctx = context();
    return sk_X509_NAME_num(SSL_CTX_get_client_CA_list(ctx.get()));
  }

  test_support::TempDir folder_;
  std::string dir_;
};

TEST_F(CaCertificates, DirectoryTrustsPemAndDerAndSkipsOtherFilesQuietly) {
  const std::string cas = makeCaDir();
  settings_.sslCaCert.set(cas);
  settings_.verbose = 1;
  loadCas();
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         "Using <" + cas + "> as a Directory for trusted CA certificates",
                         "Trusting /CN=Test_CA", "Trusting /CN=Second_CA"}));
  EXPECT_EQ(clientCaCount(), 2);

  sink_.clear();
  settings_.verbose = 0;
  settings_.debug = 1;
  loadCas();
  EXPECT_EQ(count("Failed to load '" + cas + "/readme.txt'"), 1);
  EXPECT_EQ(countStarting("Failed to load"), 1);
  EXPECT_EQ(countStarting("Trusting"), 2) << "loading again adds nothing";
  EXPECT_EQ(clientCaCount(), 2);
}

TEST_F(CaCertificates, TrustedCaLetsAVerifyingClientAcceptTheServer) {
  settings_.sslCaCert.set(file("ca.pem"));
  loadCas();
  SslPtr server = newSsl();
  SslPtr client = newSsl();
  SSL_set_verify(client.get(), SSL_VERIFY_PEER, nullptr);
  relay::loadCertAndKey(server.get(), &state_->loadedPairs, file("server.pem"), file("server.key"),
                        0);
  ASSERT_TRUE(handshake(client.get(), server.get()));
  EXPECT_EQ(SSL_get_verify_result(client.get()), X509_V_OK);
}

TEST_F(CaCertificates, SameCaFromFileAndRegistryIsAddedOnce) {
  settings_.sslCaCert.set(file("ca.pem"));
  settings_.sslUseSystemRegistry = 1;
  addRegistryCa("TestCa", bytes(file("ca.der")));
  addRegistryCa("Second", bytes(file("ca2.der")));
  loadCas();
  loadCas();
  EXPECT_EQ(count("Trusting /CN=Test_CA"), 2) << "listed once per load";
  EXPECT_EQ(count("Trusting /CN=Second_CA"), 2);
  EXPECT_EQ(countStarting("Failed to load"), 0);
  EXPECT_EQ(countStarting("Cert load error"), 0);
  EXPECT_EQ(clientCaCount(), 2) << "the system trust store is not sent to clients";
}

TEST_F(CaCertificates, BrokenRegistryValueAndMissingPathAreLogged) {
  settings_.sslCaCert.set(dir_ + "/nothing-here");
  settings_.sslUseSystemRegistry = 1;
  addRegistryCa("Broken", std::vector<char>(40, 'z'));
  loadCas();
  EXPECT_EQ(count("Problem getting 'file' information about <" + dir_ + "/nothing-here>"), 1);
  EXPECT_EQ(count("Failed to load '" + dir_ + "/nothing-here'"), 0) << "silent without debug";
  const auto entries = sink_.entries();
  bool found = false;
  for (const auto& e : entries) found |= e.text == "Failed to load 'Broken'" && e.code == 0x6066;
  EXPECT_TRUE(found);
}

}  // namespace
