// The certificate verification callback, installed on every SSL context of the relay and on every
// SSL object that checks its peer. OpenSSL calls it once per certificate of the peer's chain, on
// the thread that runs the handshake, for many connections at once; it keeps no state between
// calls. What it checks beyond the library's verdict (the revocation policies, the subject filter)
// comes from the policy of the handshake's SSL context, so one handshake is checked by one
// configuration from its first certificate to its last, whatever replaces that configuration
// meanwhile.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdint>
#include <string>

namespace security {

// The checks of one configuration ("crl.check.enable" with its three policies, "filter.enable"
// with "filter.have" and "filter.havenot").
struct VerifyPolicy {
  uint32_t crlCheckEnable = 0;
  uint32_t crlPolicyFailCannotFindCrlForIssuer = 0;
  uint32_t crlPolicyFailExpiredCrlForIssuer = 0;
  uint32_t crlPolicyFailValidCrlRevokesCert = 0;
  uint32_t filterEnable = 0;
  std::string filterHave;
  std::string filterHavenot;
};

// Gives the context a copy of the policy of its own, which lives as long as the context. False
// when it could not be attached (no memory): the context must not serve then.
bool attachVerifyPolicy(SSL_CTX* ctx, const VerifyPolicy& policy);
// For a chain checked outside a handshake: the policy the callback applies to `ctx` (it must
// outlive the check).
void setVerifyPolicy(X509_STORE_CTX* ctx, const VerifyPolicy* policy);

}  // namespace security

// Logs each certificate and OpenSSL's verdict and explains a failure; for the peer's own
// certificate (depth 0) adds the revocation check and the subject filter when the policy of the
// handshake asks for them (no policy: neither). Returns 1 to accept the certificate, 0 to fail.
int verify_callback(int ok, X509_STORE_CTX* ctx);

// The revocation check of one certificate against the CRL of its issuer held in the context's
// store: 1 present, current and not listing it; 0 no CRL of the issuer; -1 not listing it but
// past its next update; -2 listing the certificate's serial number.
int crl_check(X509_STORE_CTX* ctx, X509* cert);
