// The certificate verification callback, installed on the shared SSL context and on every SSL
// object that checks its peer. OpenSSL calls it once per certificate of the peer's chain.
#pragma once

#include <openssl/x509.h>

// Logs each certificate and OpenSSL's verdict, explains a failure, and returns the verdict.
int verify_callback(int ok, X509_STORE_CTX* ctx);
