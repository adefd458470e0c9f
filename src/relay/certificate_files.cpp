#include "relay/certificate_files.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>

#include "config/registry_values.h"
#include "config/settings.h"
#include "platform/process_info.h"
#include "security/crl_store.h"

namespace relay {
namespace {

constexpr char kValueName[] = "ssl.client_cert";

struct Pkcs12Free {
  void operator()(PKCS12* p) const { PKCS12_free(p); }
};
struct X509StackFree {
  void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};

struct Pkcs12Contents {
  X509Ptr cert;
  EvpPkeyPtr key;
};

Pkcs12Contents readPkcs12(BIO* bio, const char* password) {
  Pkcs12Contents out;
  if (bio == nullptr) return out;
  std::unique_ptr<PKCS12, Pkcs12Free> p12(d2i_PKCS12_bio(bio, nullptr));
  if (p12 == nullptr) return out;
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  STACK_OF(X509)* chain = nullptr;
  if (PKCS12_parse(p12.get(), password, &key, &cert, &chain) != 1) return out;
  out.key.reset(key);
  out.cert.reset(cert);
  std::unique_ptr<STACK_OF(X509), X509StackFree> dropChain(chain);
  return out;
}

// Answers the PEM reader with the given password; never prompts on a terminal.
int givenPassword(char* buf, int size, int /*rwflag*/, void* userdata) {
  const auto* password = static_cast<const std::string*>(userdata);
  if (password == nullptr || buf == nullptr || size <= 0) return 0;
  const size_t n = std::min(password->size(), static_cast<size_t>(size - 1));
  std::memcpy(buf, password->data(), n);
  buf[n] = '\0';
  return static_cast<int>(n);
}

bool readPem(BIO* bio, const std::string& password, ClientCredentials* out) {
  auto* secret = const_cast<std::string*>(&password);
  X509Ptr cert(PEM_read_bio_X509(bio, nullptr, givenPassword, secret));
  if (cert == nullptr) return false;
  // The key may stand before or after the certificate: read it from the start of the file.
  BIO_reset(bio);
  EvpPkeyPtr key(PEM_read_bio_PrivateKey(bio, nullptr, givenPassword, secret));
  if (key == nullptr || X509_check_private_key(cert.get(), key.get()) != 1) {
    out->certificate.reset();
    out->key.reset();
    return true;  // a PEM certificate was there; its key was not to be had
  }
  out->certificate = std::move(cert);
  out->key = std::move(key);
  return true;
}

// A certificate has no pass phrase; nothing may prompt on a terminal.
int noPassword(char*, int, int, void*) { return 0; }

}  // namespace

X509Ptr readCertificate(const std::string& file) {
  BioPtr bio(BIO_new_file(file.c_str(), "rb"));
  X509Ptr cert;
  if (bio != nullptr) {
    cert.reset(PEM_read_bio_X509(bio.get(), nullptr, noPassword, nullptr));
    if (cert == nullptr) {
      BIO_reset(bio.get());
      ERR_clear_error();
      cert.reset(d2i_X509_bio(bio.get(), nullptr));
    }
  }
  ERR_clear_error();
  return cert;
}

std::string certificateTimeText(const ASN1_TIME* time) {
  char text[128] = "";
  asn1_time_text(text, sizeof text, time);
  return text;
}

X509Ptr pkcs12ReadCertificate(BIO* bio, const char* password) {
  return std::move(readPkcs12(bio, password).cert);
}

EvpPkeyPtr pkcs12ReadPrivateKey(BIO* bio, const char* password) {
  return std::move(readPkcs12(bio, password).key);
}

bool pkcs12Present(BIO* bio) {
  if (bio == nullptr) return false;
  std::unique_ptr<PKCS12, Pkcs12Free> p12(d2i_PKCS12_bio(bio, nullptr));
  BIO_reset(bio);
  ERR_clear_error();
  return p12 != nullptr;
}

bool pkcs12ReadBoth(BIO* bio, const char* password, X509Ptr* cert, EvpPkeyPtr* key) {
  Pkcs12Contents contents = readPkcs12(bio, password);
  if (contents.cert == nullptr || contents.key == nullptr) return false;
  *cert = std::move(contents.cert);
  *key = std::move(contents.key);
  return true;
}

std::string storedClientCertificate(platform::Hive root, bool fullPath) {
  platform::RegKey key;
  if (platform::regOpenKey(root, config::settingsKeyPath(), &key) != platform::kErrorSuccess) {
    return {};
  }
  std::string path;
  if (!config::readText(key, kValueName, &path) || path.empty()) return {};
  if (fullPath) return path;
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

long storeClientCertificate(platform::Hive root, const std::string& name) {
  platform::RegKey key;
  const long rc = platform::regCreateKey(root, config::settingsKeyPath(), &key);
  if (rc != platform::kErrorSuccess) return rc;
  if (name.empty()) return config::deleteValue(key, kValueName);
  std::string folder = platform::programDirectory();
  if (folder.empty()) folder.assign(1, '.');  // assigning "." trips g++ 12's -Wrestrict
  const std::string path = name[0] == '/' ? name : folder + "/" + name;
  return config::writeText(key, kValueName, path);
}

CredentialsResult readClientCredentials(const std::string& file, const std::string& password,
                                        ClientCredentials* out) {
  *out = ClientCredentials();
  BioPtr bio(BIO_new_file(file.c_str(), "rb"));
  if (bio == nullptr) return CredentialsResult::kCannotOpen;
  ERR_clear_error();
  bool triedPkcs12 = false;
  if (!readPem(bio.get(), password, out) && !password.empty()) {
    BIO_reset(bio.get());
    ERR_clear_error();
    triedPkcs12 = true;
    pkcs12ReadBoth(bio.get(), password.c_str(), &out->certificate, &out->key);
  }
  ERR_clear_error();
  if (out->certificate == nullptr || out->key == nullptr) {
    *out = ClientCredentials();
    return triedPkcs12 ? CredentialsResult::kWrongPkcs12Password
                       : CredentialsResult::kWrongPassword;
  }
  return CredentialsResult::kLoaded;
}

}  // namespace relay
