#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <regex>
#include <thread>

#include "crl_test_support.h"
#include "support/support.h"

namespace crl_test {
namespace {

std::string timeText(const char* value, int type = V_ASN1_UTCTIME, size_t size = 48) {
  ASN1_STRING* time = ASN1_STRING_type_new(type);
  ASN1_STRING_set(time, value, -1);
  std::vector<char> buffer(size + 1, '#');
  const char* result = asn1_time_text(buffer.data(), size, time);
  ASN1_STRING_free(time);
  return (result == nullptr ? "null:" : "") + std::string(buffer.data());
}

TEST(Asn1TimeText, ReadsUtcTimesAndRefusesMalformedOnes) {
  EXPECT_EQ(timeText("991231235959Z"), "Dec 31 23:59:59 1999 GMT");
  EXPECT_EQ(timeText("0501021530Z"), "Jan  2 15:30:00 2005 GMT");
  EXPECT_EQ(timeText("700101000000"), "Jan  1 00:00:00 1970");
  EXPECT_EQ(timeText("691231235959Z"), "Dec 31 23:59:59 2069 GMT");
  EXPECT_EQ(timeText("05010215305Z"), "Jan  2 15:30:00 2005 GMT");  // one seconds digit only
  EXPECT_EQ(timeText("991331235959Z"), "null:Bad time value");
  EXPECT_EQ(timeText("990031235959Z"), "null:Bad time value");
  EXPECT_EQ(timeText("99123123Z"), "null:Bad time value");
  EXPECT_EQ(timeText("99123a235959Z"), "null:Bad time value");
  EXPECT_EQ(timeText(""), "null:Bad time value");
  // Cut to the caller's buffer, always terminated.
  EXPECT_EQ(timeText("991231235959Z", V_ASN1_UTCTIME, 8), "Dec 31 ");
  EXPECT_EQ(timeText("991331235959Z", V_ASN1_UTCTIME, 4), "null:Bad");
  // Dates from 2050 on come as GeneralizedTime.
  EXPECT_EQ(timeText("20501231235959Z", V_ASN1_GENERALIZEDTIME), "Dec 31 23:59:59 2050 GMT");
  EXPECT_EQ(timeText("2050123123Z", V_ASN1_GENERALIZEDTIME), "null:Bad time value");
  char one[1];
  EXPECT_EQ(asn1_time_text(one, 0, nullptr), nullptr);
  EXPECT_EQ(asn1_time_text(one, sizeof one, nullptr), nullptr);
}

class CrlStore : public CrlFixture {
 protected:
  void SetUp() override {
    CrlFixture::SetUp();
    dir_ = folder_.path();
  }
  void TearDown() override { CrlFixture::TearDown(); }
  void put(const std::string& from, const std::string& as) {
    std::filesystem::copy_file(file(from), dir_ + "/" + as);
  }
  void write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << bytes;
  }
  std::string listing() {
    sink_.clear();
    crl_list_all(store_.get());
    return joined();
  }
  static X509Ptr caCert() { return loadCert(file("ca.pem")); }

  test_support::TempDir folder_;
  std::string dir_;
};

TEST_F(CrlStore, LoadsPemAndDerOfTwoIssuersAndListsBoth) {
  put("current.crl.der", "a.der");
  put("other.crl.pem", "b.pem");
  EXPECT_EQ(crl_load_dir(store_.get(), dir_.c_str(), true), 0);
  EXPECT_EQ(lines(), std::vector<std::string>{"Using <" + dir_ + "> CRL Lists"});
  EXPECT_EQ(storedCrlCount(store_.get()), 2);
  const std::string list = listing();
  EXPECT_EQ(countWithCode(0x6068), 2) << list;
  const X509Ptr ca = caCert();
  char hash[16];
  std::snprintf(hash, sizeof hash, "%08lx",
                X509_NAME_hash_ex(X509_get_subject_name(ca.get()), nullptr, nullptr, nullptr));
  const std::regex line("CRL\\. ca: </O=Brisklane test/CN=Test CA> hash:<" + std::string(hash) +
                        "> last <[A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d 20\\d\\d GMT> next <"
                        "[A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d 20\\d\\d GMT> full CA dn "
                        "</O=Brisklane test/CN=Test CA>\n");
  EXPECT_TRUE(std::regex_search(list, line)) << list;
  EXPECT_NE(list.find("CRL. ca: </O=Brisklane test/CN=Other CA> hash:<"), std::string::npos);
}

TEST_F(CrlStore, ListingShowsTheTimesAndCutsTheShortName) {
  holdCrl("expired.crl.pem");
  const std::string list = listing();
  EXPECT_NE(list.find("last <Jan  1 00:00:00 2020 GMT> next <Feb  1 00:00:00 2020 GMT> full CA dn "
                      "</O=Brisklane test/CN=Test CA>"),
            std::string::npos)
      << list;
  CrlPtr crl = loadCrl(file("expired.crl.pem"));
  X509_NAME* longName = X509_NAME_new();
  X509_NAME_add_entry_by_txt(
      longName, "CN", MBSTRING_ASC,
      reinterpret_cast<const unsigned char*>("A rather long issuer name here"), -1, -1, 0);
  X509_CRL_set_issuer_name(crl.get(), longName);
  X509_NAME_free(longName);
  sink_.clear();
  EXPECT_EQ(crl_describe(crl.get()), 0);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0].rfind("CRL. ca: </CN=A rather long issuer name > hash:<", 0), 0u)
      << lines()[0];
  EXPECT_NE(lines()[0].find("full CA dn </CN=A rather long issuer name here>"), std::string::npos);
  EXPECT_EQ(crl_describe(nullptr), 1);
}

TEST_F(CrlStore, SecondCrlOfAnIssuerIsSkippedSilently) {
  put("current.crl.pem", "one.pem");
  put("newer.crl.pem", "two.pem");
  put("current.crl.der", "three.der");
  crl_load_dir(store_.get(), dir_.c_str(), true);
  EXPECT_EQ(storedCrlCount(store_.get()), 1);
  EXPECT_EQ(countWithCode(0x6067), 0) << joined();
  // Loading the directory again changes nothing.
  crl_load_dir(store_.get(), dir_.c_str(), true);
  EXPECT_EQ(storedCrlCount(store_.get()), 1);
}

TEST_F(CrlStore, BadFilesAreNamedByDirectoryAndTheRestLoads) {
  write("notes.txt", "This is not a CRL.\n");
  write("empty.crl", "");
  const std::string der = [&] {
    std::ifstream in(file("current.crl.der"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }();
  write("truncated.der", der.substr(0, der.size() / 2));
  put("current.crl.pem", "good.pem");
  put("other.crl.pem", "unknown-issuer.pem");
  std::filesystem::create_symlink(dir_ + "/gone", dir_ + "/dangling.pem");
  std::filesystem::create_directory(dir_ + "/subdir");
  write("locked.pem", "x");
  chmod((dir_ + "/locked.pem").c_str(), 0);
  const bool rootReads = access((dir_ + "/locked.pem").c_str(), R_OK) == 0;

  crl_load_dir(store_.get(), dir_.c_str(), true);
  const std::string failed = "Failed to load '" + dir_ + "'";
  EXPECT_EQ(count(failed), 5) << joined();  // text, empty, truncated, dangling link, locked file
  EXPECT_EQ(countWithCode(0x6067), 5);
  EXPECT_EQ(storedCrlCount(store_.get()), 2);
  // Each failure line is followed by the library's reasons.
  const auto all = lines();
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i] == failed) {
      ASSERT_LT(i + 1, all.size());
      EXPECT_EQ(all[i + 1].rfind("---", 0), 0u) << all[i + 1];
    }
  }

  // Without "verbose" only the files that cannot be opened are reported.
  StorePtr quiet(X509_STORE_new());
  sink_.clear();
  crl_load_dir(quiet.get(), dir_.c_str(), false);
  EXPECT_EQ(count(failed), rootReads ? 1 : 2) << joined();
  EXPECT_EQ(storedCrlCount(quiet.get()), 2);
  EXPECT_EQ(ERR_peek_error(), 0u) << "a silent failure left its error queued";
}

TEST_F(CrlStore, MissingPathOrPlainFileLoadsNothing) {
  const std::string missing = dir_ + "/missing";
  crl_load_dir(store_.get(), missing.c_str(), true);
  EXPECT_EQ(lines(),
            std::vector<std::string>{"Problem getting 'file' information about <" + missing + ">"});
  sink_.clear();
  crl_load_dir(store_.get(), file("current.crl.pem").c_str(), true);
  EXPECT_EQ(lines(), std::vector<std::string>{"Using <" + file("current.crl.pem") + "> CRL Lists"});
  EXPECT_EQ(storedCrlCount(store_.get()), 0);
  EXPECT_EQ(crl_load_dir(store_.get(), nullptr, true), 0);
}

TEST_F(CrlStore, ReplacementLogsFourLinesAndLeavesOneCrl) {
  CrlPtr first = loadCrl(file("current.crl.pem"));
  CrlPtr second = loadCrl(file("newer.crl.pem"));
  EXPECT_EQ(crl_store_replace(store_.get(), nullptr), 0);
  EXPECT_EQ(crl_store_replace(store_.get(), first.get()), 1);
  EXPECT_TRUE(lines().empty()) << joined();  // nothing replaced yet
  EXPECT_EQ(crl_store_replace(store_.get(), second.get()), 1);
  const auto entries = sink_.entries();
  ASSERT_EQ(entries.size(), 4u) << joined();
  EXPECT_EQ(entries[0].text, "ldap: updating in CRL store...");
  EXPECT_EQ(entries[0].code, 0x7000u);
  EXPECT_EQ(entries[1].code, 0x6068u);
  EXPECT_EQ(entries[2].text, "ldap: with...");
  EXPECT_EQ(entries[3].code, 0x6068u);
  EXPECT_EQ(storedCrlCount(store_.get()), 1);

  // The lookup finds the newest, also after the library sorted its list.
  X509Ptr server = loadCert(file("server.pem"));
  StoreCtxPtr ctx(X509_STORE_CTX_new());
  ASSERT_EQ(X509_STORE_CTX_init(ctx.get(), store_.get(), server.get(), nullptr), 1);
  X509_CRL* found = crl_find_for_issuer(ctx.get(), server.get());
  EXPECT_EQ(found, second.get());
  X509_CRL_free(found);
  // Back to the first one: the replacement does not look at update times.
  EXPECT_EQ(crl_store_replace(store_.get(), first.get()), 1);
  found = crl_find_for_issuer(ctx.get(), server.get());
  EXPECT_EQ(found, first.get());
  X509_CRL_free(found);
  EXPECT_EQ(storedCrlCount(store_.get()), 1);
}

TEST_F(CrlStore, ReplacementWhileChecksRunLosesNoReference) {
  trust("ca");
  policy_.crlCheckEnable = 1;
  policy_.crlPolicyFailCannotFindCrlForIssuer = 1;
  policy_.crlPolicyFailValidCrlRevokesCert = 1;
  holdCrl("current.crl.pem");
  CrlPtr crls[2] = {loadCrl(file("current.crl.pem")), loadCrl(file("newer.crl.pem"))};
  X509Ptr server = loadCert(file("server.pem"));
  X509Ptr revoked = loadCert(file("revoked.pem"));
  std::atomic<int> wrong{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> checkers;
  for (int t = 0; t < 4; ++t) {
    checkers.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        X509* cert = (i + t) % 2 == 0 ? server.get() : revoked.get();
        StoreCtxPtr ctx(X509_STORE_CTX_new());
        X509_STORE_CTX_init(ctx.get(), store_.get(), cert, nullptr);
        X509_STORE_CTX_set_verify_cb(ctx.get(), verify_callback);
        security::setVerifyPolicy(ctx.get(), &policy_);
        const bool ok = X509_verify_cert(ctx.get()) == 1;
        if (ok != (cert == server.get())) ++wrong;
        ERR_clear_error();
      }
    });
  }
  std::thread replacer([&] {
    for (int i = 0; i < 100000 && !done; ++i) {
      if (crl_store_replace(store_.get(), crls[i % 2].get()) != 1) ++wrong;
    }
  });
  for (auto& t : checkers) t.join();
  done = true;
  replacer.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(storedCrlCount(store_.get()), 1);
  EXPECT_EQ(count("Fails CRL check. no Valid CRL for issuer </O=Brisklane test/CN=127.0.0.1> "
                  "policy says <reject>"),
            0);
}

}  // namespace
}  // namespace crl_test
