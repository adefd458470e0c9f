// Test material for certificate checking: a CA run with "openssl ca", certificates and CRLs made
// once per test run by data/make_crl_pki.sh; a fixture that captures log lines and verifies
// certificates against a store through `verify_callback` under a policy of its own.
#pragma once

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "log/log.h"
#include "log/openssl_ptr.h"
#include "log/sinks.h"
#include "security/crl_store.h"
#include "security/verify.h"
#include "support/support.h"

namespace crl_test {

using CrlPtr = X509CrlPtr;
using StorePtr = std::unique_ptr<X509_STORE, ossl::Deleter<X509_STORE_free>>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, ossl::Deleter<X509_STORE_CTX_free>>;

class Material {
 public:
  static const Material& get() {
    static Material material;
    return material;
  }
  bool ok() const { return ok_; }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  static std::string script() {
    return std::filesystem::path(__FILE__).parent_path().string() + "/data/make_crl_pki.sh";
  }

 private:
  Material() {
    dir_ = folder_.path();
    const std::string line = "timeout 120 sh '" + script() + "' '" + dir_ + "' >/dev/null 2>&1";
    ok_ = std::system(line.c_str()) == 0;
  }
  test_support::TempDir folder_;
  std::string dir_;
  bool ok_ = false;
};

inline X509Ptr loadCert(const std::string& file) {
  BIO* bio = BIO_new_file(file.c_str(), "r");
  X509* cert = bio != nullptr ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  return X509Ptr(cert);
}

inline CrlPtr loadCrl(const std::string& file) {
  BIO* bio = BIO_new_file(file.c_str(), "r");
  X509_CRL* crl = bio != nullptr ? PEM_read_bio_X509_CRL(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  return CrlPtr(crl);
}

// The CRL objects of the store.
inline int storedCrlCount(X509_STORE* store) {
  int n = 0;
  X509_STORE_lock(store);
  STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
  for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
    n += X509_OBJECT_get_type(sk_X509_OBJECT_value(objects, i)) == X509_LU_CRL ? 1 : 0;
  }
  X509_STORE_unlock(store);
  return n;
}

class CrlFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Material::get().ok()) << "the openssl tool could not make the test material";
    ASSERT_TRUE(logging::log_open(&sink_, nullptr));
    store_.reset(X509_STORE_new());
    ASSERT_NE(store_, nullptr);
    ERR_clear_error();
  }
  void TearDown() override {
    store_.reset();
    logging::log_close();
    ERR_clear_error();
  }

  static std::string file(const std::string& name) { return Material::get().path(name); }
  std::vector<std::string> lines() const { return sink_.lines(); }
  int count(const std::string& line) const {
    const auto all = sink_.lines();
    return static_cast<int>(std::count(all.begin(), all.end(), line));
  }
  int countWithCode(uint32_t code) const {
    int n = 0;
    for (const auto& e : sink_.entries()) n += e.code == code ? 1 : 0;
    return n;
  }
  std::string joined() const {
    std::string all;
    for (const auto& l : sink_.lines()) all += l + "\n";
    return all;
  }

  // Verifies the certificate `name` against the store through verify_callback, under `policy_`.
  bool verify(const std::string& name) {
    X509Ptr cert = loadCert(file(name + ".pem"));
    StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!cert || !ctx || X509_STORE_CTX_init(ctx.get(), store_.get(), cert.get(), nullptr) != 1) {
      ADD_FAILURE() << "cannot set up the verification of " << name;
      return false;
    }
    X509_STORE_CTX_set_verify_cb(ctx.get(), verify_callback);
    security::setVerifyPolicy(ctx.get(), &policy_);
    const bool ok = X509_verify_cert(ctx.get()) == 1;
    ERR_clear_error();
    return ok;
  }
  void trust(const std::string& name) {
    X509Ptr ca = loadCert(file(name + ".pem"));
    ASSERT_TRUE(ca && X509_STORE_add_cert(store_.get(), ca.get()) == 1);
  }
  void holdCrl(const std::string& name) {
    CrlPtr crl = loadCrl(file(name));
    ASSERT_TRUE(crl && crl_store_replace(store_.get(), crl.get()) == 1);
  }

  logging::CollectingSink sink_;
  security::VerifyPolicy policy_;
  StorePtr store_;
};

}  // namespace crl_test
