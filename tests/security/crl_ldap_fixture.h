// Fixture of the LDAP CRL fetcher tests: a collecting log sink, a fresh certificate store, a
// configuration store in a temporary folder, and helpers to look into the store and the lines.
#pragma once

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "log/log.h"
#include "log/sinks.h"
#include "platform/registry.h"
#include "security/crl_ldap.h"
#include "security/slapd_server.h"

namespace ldap_test {

constexpr const char* kLdapKey = "Software\\Tandry\\Brisklane 4\\ldap";

class LdapFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Pki::get().ok()) << "the openssl tool could not make the CRLs";
    platform::setHiveDirectory(hive_.path());
    ASSERT_TRUE(logging::log_open(&sink_, nullptr));
    store_ = X509_STORE_new();
    ASSERT_NE(store_, nullptr);
  }
  void TearDown() override {
    X509_STORE_free(store_);
    logging::log_close();
    platform::setHiveDirectory("");
    ERR_clear_error();
  }

  // A source record pointing at a server on 127.0.0.1.
  static security::LdapSource source(uint16_t port, uint32_t crlType) {
    security::LdapSource s;
    s.server = "127.0.0.1";
    s.port = port;
    s.user = kAdmin;
    s.pw = kAdminPassword;
    s.searchdn = kSuffix;
    s.filter = "(objectClass=*)";
    s.crlType = crlType;
    s.ldapVersion = 3;
    return s;
  }
  // The source's subkey under the ldap key, created with the record's values.
  platform::RegKey writeSource(const std::string& name, const security::LdapSource& s) {
    platform::RegKey key;
    EXPECT_EQ(platform::regCreateKey(platform::Hive::kCurrentUser,
                                     std::string(kLdapKey) + "\\" + name, &key),
              0);
    setText(key, "server", s.server);
    setDword(key, "port", s.port);
    setText(key, "user", s.user);
    setText(key, "pw", s.pw);
    setText(key, "searchdn", s.searchdn);
    setText(key, "filter", s.filter);
    setDword(key, "crl.type", s.crlType);
    setDword(key, "ldap.version", s.ldapVersion);
    return key;
  }
  static void setText(const platform::RegKey& key, const char* name, const std::string& text) {
    if (text.empty()) return;
    EXPECT_EQ(platform::regSetValue(key, name, platform::REG_SZ, text.c_str(),
                                    static_cast<uint32_t>(text.size() + 1)),
              0);
  }
  static void setDword(const platform::RegKey& key, const char* name, uint32_t value) {
    EXPECT_EQ(platform::regSetValue(key, name, platform::REG_DWORD, &value, sizeof value), 0);
  }

  // The DER of every CRL in the store.
  static std::vector<std::string> storedCrls(X509_STORE* store) {
    std::vector<std::string> all;
    if (X509_STORE_lock(store) != 1) return all;
    STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
    for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
      X509_CRL* crl = X509_OBJECT_get0_X509_CRL(sk_X509_OBJECT_value(objects, i));
      if (crl == nullptr) continue;
      unsigned char* der = nullptr;
      const int n = i2d_X509_CRL(crl, &der);
      if (n > 0) all.emplace_back(reinterpret_cast<char*>(der), static_cast<size_t>(n));
      OPENSSL_free(der);
    }
    X509_STORE_unlock(store);
    return all;
  }
  bool holds(const std::string& crlFile) const {
    const auto all = storedCrls(store_);
    return std::find(all.begin(), all.end(), Pki::get().der(crlFile)) != all.end();
  }
  std::vector<std::string> lines() const { return sink_.lines(); }
  int count(const std::string& line) const {
    const auto all = sink_.lines();
    return static_cast<int>(std::count(all.begin(), all.end(), line));
  }
  int countPrefix(const std::string& prefix) const {
    int n = 0;
    for (const auto& line : sink_.lines()) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  // Waits up to ten seconds for `n` lines starting with `prefix`.
  bool waitForPrefix(const std::string& prefix, int n) const {
    for (int i = 0; i < 200; ++i) {
      if (countPrefix(prefix) >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  bool allLdapLinesUseTheirCode() const {
    for (const auto& e : sink_.entries()) {
      const bool fetcherLine = e.text.rfind("ldap", 0) == 0 || e.text.rfind("LDAP", 0) == 0 ||
                               e.text.rfind(" no der crl", 0) == 0 ||
                               e.text.rfind("Current CRL reload", 0) == 0;
      if (fetcherLine && (e.code != 0x7000 || e.cls != 4)) return false;
    }
    return true;
  }

  TempDir hive_;
  logging::CollectingSink sink_;
  X509_STORE* store_ = nullptr;
};

}  // namespace ldap_test
