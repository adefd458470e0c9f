#include "relay/pkcs12.h"

#include <openssl/err.h>
#include <openssl/pkcs12.h>

namespace relay {
namespace {

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

}  // namespace

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

}  // namespace relay
