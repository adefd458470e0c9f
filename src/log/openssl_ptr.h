// Owners of OpenSSL objects: each frees its object with the library's own free function.
// One header for the whole program, so that every module names them alike.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>

namespace ossl {

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* object) const {
    Free(object);
  }
};

// Frees a stack of certificates and every certificate on it.
inline void freeCertificates(STACK_OF(X509) * certificates) {
  sk_X509_pop_free(certificates, X509_free);
}

}  // namespace ossl

using BioPtr = std::unique_ptr<BIO, ossl::Deleter<BIO_free>>;
using X509Ptr = std::unique_ptr<X509, ossl::Deleter<X509_free>>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), ossl::Deleter<ossl::freeCertificates>>;
using X509CrlPtr = std::unique_ptr<X509_CRL, ossl::Deleter<X509_CRL_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, ossl::Deleter<EVP_PKEY_free>>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, ossl::Deleter<SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, ossl::Deleter<SSL_free>>;
using SslSessionPtr = std::unique_ptr<SSL_SESSION, ossl::Deleter<SSL_SESSION_free>>;
