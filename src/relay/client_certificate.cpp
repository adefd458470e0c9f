#include "relay/client_certificate.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>

#include "config/registry_values.h"
#include "config/settings.h"
#include "platform/process_info.h"
#include "relay/pkcs12.h"

namespace relay {
namespace {

constexpr char kValueName[] = "ssl.client_cert";

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

}  // namespace

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
