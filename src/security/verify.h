// The certificate verification callback, installed on the shared SSL context and on every SSL
// object that checks its peer. OpenSSL calls it once per certificate of the peer's chain, on the
// thread that runs the handshake, for many connections at once; it keeps no state between calls.
#pragma once

#include <openssl/x509.h>

// Logs each certificate and OpenSSL's verdict and explains a failure; for the peer's own
// certificate (depth 0) adds the revocation check ("crl.check.enable", with its three policies)
// and the subject filter ("filter.enable"). Returns 1 to accept the certificate, 0 to fail.
int verify_callback(int ok, X509_STORE_CTX* ctx);

// The revocation check of one certificate against the CRL of its issuer held in the context's
// store: 1 present, current and not listing it; 0 no CRL of the issuer; -1 not listing it but
// past its next update; -2 listing the certificate's serial number.
int crl_check(X509_STORE_CTX* ctx, X509* cert);
