// The CRL value decoder, and single fetches from a real slapd.
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <atomic>
#include <filesystem>
#include <memory>

#include "security/crl_ldap_fixture.h"
#include "security/crl_store.h"

namespace ldap_test {
namespace {

using security::decodeCrlValue;

std::string hexOf(const std::string& der) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : der) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}
bool decode(const std::string& value, bool binary, std::vector<unsigned char>* out) {
  return decodeCrlValue(reinterpret_cast<const unsigned char*>(value.data()), value.size(), binary,
                        out);
}

TEST(CrlValue, TextFormSkipsFiveCharactersAndReadsHexPairs) {
  std::vector<unsigned char> der;
  ASSERT_TRUE(decode("{hex}30820aFF00", false, &der));
  EXPECT_EQ(der, (std::vector<unsigned char>{0x30, 0x82, 0x0a, 0xff, 0x00}));
  ASSERT_TRUE(decode("xxxxx", false, &der));  // nothing after the prefix: no bytes
  EXPECT_TRUE(der.empty());
  ASSERT_TRUE(decode(std::string("\0\0\0\0\0"
                                 "0a",
                                 7),
                     false, &der));
  EXPECT_EQ(der, std::vector<unsigned char>{0x0a});
}

TEST(CrlValue, MalformedTextIsRefusedWithoutReadingOutside) {
  std::vector<unsigned char> der{1, 2, 3};
  EXPECT_FALSE(decode("", false, &der));
  EXPECT_FALSE(decode("abcd", false, &der));        // shorter than the prefix
  EXPECT_FALSE(decode("{hex}308", false, &der));    // a lone digit at the end
  EXPECT_FALSE(decode("{hex}30zz", false, &der));   // not hexadecimal
  EXPECT_FALSE(decode("{hex}30 82", false, &der));  // blank inside
  EXPECT_FALSE(decode("{hex}3\x80", false, &der));  // high byte
  EXPECT_TRUE(der.empty());
  // A value ending exactly at an unreadable page border: the sanitizer sees any overread.
  const std::string value = "{hex}3082";
  auto exact = std::make_unique<unsigned char[]>(value.size() - 1);
  std::copy(value.begin(), value.end() - 1, exact.get());
  EXPECT_FALSE(decodeCrlValue(exact.get(), value.size() - 1, false, &der));
  EXPECT_FALSE(decodeCrlValue(nullptr, 8, true, &der));
}

TEST(CrlValue, BinaryFormIsTakenAsItIsAndHugeValuesAreRefused) {
  std::vector<unsigned char> der;
  ASSERT_TRUE(decode(std::string("\x30\x00\xff", 3), true, &der));
  EXPECT_EQ(der, (std::vector<unsigned char>{0x30, 0x00, 0xff}));
  const std::string huge(security::kMaxCrlValueBytes + 1, '0');
  EXPECT_FALSE(decode(huge, true, &der));
  EXPECT_FALSE(decode(huge, false, &der));
  EXPECT_TRUE(decode(std::string(security::kMaxCrlValueBytes - 1, '0'), false, &der));
  EXPECT_EQ(der.size(), (security::kMaxCrlValueBytes - 6) / 2);
}

class StandardDirectory : public LdapFixture {
 protected:
  void SetUp() override {
    LdapFixture::SetUp();
    ASSERT_TRUE(slapd_.ok()) << "slapd did not start";
    ASSERT_TRUE(slapd_.addBase());
  }
  Slapd slapd_{Schema::kStandard};
};

TEST_F(StandardDirectory, BinaryFormOnlyEntriesWithTheAttributeCount) {
  ASSERT_TRUE(slapd_.add("dn: cn=noattr,o=test\nobjectClass: cRLDistributionPoint\ncn: noattr\n"));
  ASSERT_TRUE(slapd_.addCrlEntry(
      "ca1", ldifBinary("certificateRevocationList;binary", Pki::get().der("ca1-first.der"))));
  auto s = source(slapd_.port(), 1);
  s.filter = "(objectClass=cRLDistributionPoint)";
  EXPECT_EQ(ldap_fetch_once(store_, s), 1);
  EXPECT_TRUE(holds("ca1-first.der"));
  EXPECT_EQ(storedCrls(store_).size(), 1u);
  EXPECT_EQ(count("ldap_search_ entry fail"), 0);
  EXPECT_EQ(count(" no der crl"), 0);
  // The text form asks for the plain attribute name, which this directory never returns.
  X509_STORE* other = X509_STORE_new();
  EXPECT_EQ(ldap_fetch_once(other, source(slapd_.port(), 0)), 0);
  EXPECT_TRUE(storedCrls(other).empty());
  X509_STORE_free(other);
}

TEST_F(StandardDirectory, FailedBindReturnsOneAndLogs) {
  auto s = source(slapd_.port(), 1);
  s.pw = "wrong";
  EXPECT_EQ(ldap_fetch_once(store_, s), 1);
  EXPECT_EQ(count("LDAP: fails ldap_simple_bind_s"), 1);
  // This server refuses version 2 binds as a protocol error: the bind is asked again with
  // version 3, and says so.
  s = source(slapd_.port(), 1);
  const int withVersion3 = ldap_fetch_once(store_, s);
  s.ldapVersion = 2;
  EXPECT_EQ(ldap_fetch_once(store_, s), withVersion3);
  EXPECT_EQ(count("ldap: <127.0.0.1> refuses protocol version 2 binds; binding with version 3"), 1);
  EXPECT_EQ(count("LDAP: fails ldap_simple_bind_s"), 1);
  // A server that is down, and a server that is none.
  s = source(freePort(), 1);
  EXPECT_EQ(ldap_fetch_once(store_, s), 1);
  EXPECT_EQ(count("LDAP: fails ldap_simple_bind_s"), 2);
  s.server.clear();
  EXPECT_EQ(ldap_fetch_once(store_, s), 1);
  EXPECT_EQ(count("LDAP: fails ldap_simple_bind_s"), 2);
  EXPECT_TRUE(allLdapLinesUseTheirCode());
}

TEST_F(StandardDirectory, FailedSearchLogsItsCodeAndText) {
  auto s = source(slapd_.port(), 1);
  s.searchdn = "o=nowhere";
  EXPECT_EQ(ldap_fetch_once(store_, s), 32);
  EXPECT_EQ(count("ldap_search_s <20> <No such object> dn:<o=nowhere> filter:<(objectClass=*)>"),
            1);
  s = source(slapd_.port(), 1);
  s.filter = "(((";
  EXPECT_NE(ldap_fetch_once(store_, s), 0);
  EXPECT_EQ(countPrefix("ldap_search_s <fffffff9> <Bad search filter> dn:<o=test> filter:<(((>"),
            1);
  s.filter = "(cn=nobody)";
  EXPECT_EQ(ldap_fetch_once(store_, s), 0);
  EXPECT_EQ(count("ldap_search_ entry fail"), 1);
  EXPECT_TRUE(allLdapLinesUseTheirCode());
}

TEST_F(StandardDirectory, DumpFilesAreWrittenAndLoadedAgainAfterARestart) {
  ASSERT_TRUE(slapd_.addCrlEntry(
      "ca1", ldifBinary("certificateRevocationList;binary", Pki::get().der("ca1-first.der"))));
  ASSERT_TRUE(slapd_.addCrlEntry(
      "ca2", ldifBinary("certificateRevocationList;binary", Pki::get().der("ca2.der"))));
  TempDir dump;
  auto s = source(slapd_.port(), 1);
  platform::RegKey key = writeSource("dumping", s);
  setDword(key, "dump.to.file", 1);
  setText(key, "dump.path", dump.path());
  EXPECT_EQ(ldap_fetch_sources(platform::Hive::kCurrentUser, kLdapKey, store_), 1);
  EXPECT_TRUE(holds("ca1-first.der") && holds("ca2.der"));
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dump.path())) {
    names.push_back(entry.path().filename().string());
  }
  ASSERT_EQ(names.size(), 2u);
  for (const char* file : {"ca1-first.der", "ca2.der"}) {
    const std::string der = Pki::get().der(file);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    X509_CRL* crl = d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size()));
    ASSERT_NE(crl, nullptr);
    char name[32];
    snprintf(name, sizeof name, "%08lx.crl", X509_NAME_hash(X509_CRL_get_issuer(crl)));
    X509_CRL_free(crl);
    EXPECT_EQ(readFile(dump.path() + "/" + name), der) << name;
  }
  // Restart with the directory gone: the dump brings the CRLs back before the fetch fails.
  slapd_.stop();
  X509_STORE_free(store_);
  store_ = X509_STORE_new();
  sink_.clear();
  EXPECT_EQ(ldap_fetch_sources(platform::Hive::kCurrentUser, kLdapKey, store_), 1);
  EXPECT_EQ(count("LDAP: fails ldap_simple_bind_s"), 1);
  EXPECT_TRUE(holds("ca1-first.der") && holds("ca2.der"));
}

// Drives a TLS handshake between two SSL objects in memory; the client verifies with CRLs.
long handshake(SSL_CTX* client, SSL_CTX* server) {
  SSL* c = SSL_new(client);
  SSL* s = SSL_new(server);
  BIO* cb = nullptr;
  BIO* sb = nullptr;
  BIO_new_bio_pair(&cb, 0, &sb, 0);
  SSL_set_bio(c, cb, cb);
  SSL_set_bio(s, sb, sb);
  SSL_set_connect_state(c);
  SSL_set_accept_state(s);
  long result = -1;
  for (int i = 0; i < 50; ++i) {
    const int rc = SSL_do_handshake(c);
    SSL_do_handshake(s);
    if (rc == 1) {
      result = X509_V_OK;
      break;
    }
    if (SSL_get_error(c, rc) == SSL_ERROR_SSL) {
      result = SSL_get_verify_result(c);
      break;
    }
  }
  SSL_free(c);
  SSL_free(s);
  ERR_clear_error();
  return result;
}

TEST_F(StandardDirectory, NewerCrlReplacesTheStoredOneWhileHandshakesRun) {
  const Pki& pki = Pki::get();
  ASSERT_TRUE(slapd_.addCrlEntry(
      "ca1", ldifBinary("certificateRevocationList;binary", pki.der("ca1-first.der"))));
  X509* ca = nullptr;
  BIO* in = BIO_new_file(pki.path("ca1.pem").c_str(), "r");
  ca = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
  BIO_free(in);
  ASSERT_NE(ca, nullptr);
  X509_STORE_add_cert(store_, ca);
  X509_free(ca);
  X509_STORE_set_flags(store_, X509_V_FLAG_CRL_CHECK);
  SSL_CTX* client = SSL_CTX_new(TLS_client_method());
  SSL_CTX* server = SSL_CTX_new(TLS_server_method());
  SSL_CTX_set1_cert_store(client, store_);
  SSL_CTX_set_verify(client, SSL_VERIFY_PEER, nullptr);
  ASSERT_EQ(SSL_CTX_use_certificate_file(server, pki.path("server.pem").c_str(), SSL_FILETYPE_PEM),
            1);
  ASSERT_EQ(SSL_CTX_use_PrivateKey_file(server, pki.path("server.key").c_str(), SSL_FILETYPE_PEM),
            1);

  auto s = source(slapd_.port(), 1);
  EXPECT_EQ(ldap_fetch_once(store_, s), 1);
  EXPECT_EQ(handshake(client, server), X509_V_OK);

  std::atomic<bool> done{false};
  std::atomic<int> revoked{0};
  std::atomic<int> other{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 2; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < 2000 && !done; ++i) {
        const long rc = handshake(client, server);
        if (rc == X509_V_ERR_CERT_REVOKED) ++revoked;
        if (rc != X509_V_OK && rc != X509_V_ERR_CERT_REVOKED) ++other;
      }
    });
  }
  ASSERT_TRUE(
      slapd_.modify("dn: cn=ca1,o=test\nchangetype: modify\nreplace: "
                    "certificateRevocationList;binary\n" +
                    ldifBinary("certificateRevocationList;binary", pki.der("ca1-revoking.der"))));
  sink_.clear();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ldap_fetch_once(store_, s), 1);
  done = true;
  for (auto& w : workers) w.join();
  EXPECT_EQ(other.load(), 0);
  EXPECT_EQ(handshake(client, server), X509_V_ERR_CERT_REVOKED);
  EXPECT_TRUE(holds("ca1-revoking.der"));
  EXPECT_EQ(storedCrls(store_).size(), 1u);
  const auto all = lines();
  ASSERT_GE(all.size(), 4u);
  EXPECT_EQ(all[0], "ldap: updating in CRL store...");
  EXPECT_EQ(all[1].rfind("CRL. ca: </CN=Fetch_CA_One> hash:<", 0), 0u) << all[1];
  EXPECT_EQ(all[2], "ldap: with...");
  SSL_CTX_free(client);
  SSL_CTX_free(server);
}

class TextDirectory : public LdapFixture {
 protected:
  void SetUp() override {
    LdapFixture::SetUp();
    ASSERT_TRUE(slapd_.ok()) << "slapd did not start";
    ASSERT_TRUE(slapd_.addBase());
  }
  Slapd slapd_{Schema::kText};
};

TEST_F(TextDirectory, TextFormReachesTheStoreWithTheDefaultVersion) {
  ASSERT_TRUE(slapd_.addCrlEntry(
      "ca2", "certificateRevocationList: {DER}" + hexOf(Pki::get().der("ca2.der")) + "\n"));
  auto s = source(slapd_.port(), 0);
  s.ldapVersion = security::LdapSource().ldapVersion;
  EXPECT_EQ(ldap_fetch_once(store_, s), 1);
  EXPECT_TRUE(holds("ca2.der"));
}

TEST_F(TextDirectory, BadValuesAreLoggedAndSkippedAndTheRestIsTaken) {
  const std::string attr = "certificateRevocationList";
  std::string bigJunk = "{hex}3084ffffffff";
  bigJunk.append(3u << 20, 'a');
  const std::pair<const char*, std::string> values[] = {
      {"short", "abc"},
      {"odd", "{hex}3082016"},
      {"nothex", "{hex}30zz0169"},
      {"notcrl", "{hex}" + hexOf("\x30\x03\x02\x01\x01")},
      {"claimshuge", "{hex}3084ffffffff020101"},
      {"huge", bigJunk},
      {"good", "{hex}" + hexOf(Pki::get().der("ca1-first.der"))},
  };
  for (const auto& [cn, value] : values)
    ASSERT_TRUE(slapd_.addCrlEntry(cn, ldifBinary(attr, value)));
  EXPECT_EQ(ldap_fetch_once(store_, source(slapd_.port(), 0)), 7);
  EXPECT_EQ(count(" no der crl"), 6);
  EXPECT_TRUE(holds("ca1-first.der"));
  EXPECT_EQ(storedCrls(store_).size(), 1u);
  EXPECT_TRUE(allLdapLinesUseTheirCode());
}

}  // namespace
}  // namespace ldap_test
