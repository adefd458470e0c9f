#include "security/verify.h"

#include <openssl/x509_vfy.h>

#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "log/log.h"
#include "security/crl_store.h"

namespace {

using security::VerifyPolicy;

constexpr char kModule[] = "simple verify cb";

void freePolicy(void* /*parent*/, void* ptr, CRYPTO_EX_DATA* /*ad*/, int /*index*/, long /*argl*/,
                void* /*argp*/) {
  delete static_cast<VerifyPolicy*>(ptr);
}

// The index of the policy in a context's application data; taken once for the process.
int contextIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, freePolicy);
  return index;
}

// The index of a borrowed policy in a store context's application data.
int storeContextIndex() {
  static const int index = X509_STORE_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

const VerifyPolicy* policyOf(X509_STORE_CTX* ctx) {
  const int sslIndex = SSL_get_ex_data_X509_STORE_CTX_idx();
  const auto* ssl = static_cast<const SSL*>(X509_STORE_CTX_get_ex_data(ctx, sslIndex));
  if (ssl != nullptr) {
    const SSL_CTX* context = SSL_get_SSL_CTX(ssl);
    return context != nullptr
               ? static_cast<const VerifyPolicy*>(SSL_CTX_get_ex_data(context, contextIndex()))
               : nullptr;
  }
  return static_cast<const VerifyPolicy*>(X509_STORE_CTX_get_ex_data(ctx, storeContextIndex()));
}
constexpr int kGoOn = -1;  // a step that does not decide the outcome

const char* policyWord(uint32_t reject) { return reject != 0 ? "reject" : "allow"; }

int policyVerdict(uint32_t reject) {
  log_openssl_errors(LOG_ERROR, bio_log_err);
  return reject != 0 ? 0 : 1;
}

// OpenSSL refused the certificate: explain why. The verdict stands whatever the error.
int explainFailure(X509_STORE_CTX* ctx, X509* cert) {
  const int err = X509_STORE_CTX_get_error(ctx);
  log_event(LOG_ERROR, 0x6021, kModule, __LINE__, "Verify error (%d) %s", err,
            X509_verify_cert_error_string(err));
  log_openssl_errors(LOG_ERROR, bio_log_err);
  if ((err == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT ||
       err == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY) &&
      cert != nullptr) {
    char issuer[512];
    if (X509_NAME_oneline(X509_get_issuer_name(cert), issuer, sizeof issuer) != nullptr) {
      log_event(LOG_INFO, 0x6022, kModule, __LINE__, "Issuer %s", issuer);
    }
  }
  return 0;
}

// The revocation check of the peer's certificate: a CRL failure is decided by its policy alone.
int revocationVerdict(X509_STORE_CTX* ctx, X509* cert, const char* name, const VerifyPolicy& p) {
  switch (crl_check(ctx, cert)) {
    case -2: {
      const uint32_t reject = p.crlPolicyFailValidCrlRevokesCert;
      log_event(LOG_ERROR, 0x6028, kModule, __LINE__,
                "Fails CRL check. Valid CRL revokes cert <%s> policy says <%s>", name,
                policyWord(reject));
      return policyVerdict(reject);
    }
    case -1: {
      const uint32_t reject = p.crlPolicyFailExpiredCrlForIssuer;
      log_event(LOG_ERROR, 0x602a, kModule, __LINE__,
                "Fails CRL check. CRL expired for <%s> policy says <%s>", name, policyWord(reject));
      return policyVerdict(reject);
    }
    case 0: {
      const uint32_t reject = p.crlPolicyFailCannotFindCrlForIssuer;
      log_event(LOG_ERROR, 0x6029, kModule, __LINE__,
                "Fails CRL check. no Valid CRL for issuer <%s> policy says <%s>", name,
                policyWord(reject));
      return policyVerdict(reject);
    }
    default:
      log_event(LOG_INFO, 0x602b, kModule, __LINE__, "CRL for issuer does NOT revoke cert <%s>",
                name);
      return kGoOn;
  }
}

// The subject filter: the subject line must contain "filter.have" and must not contain
// "filter.havenot", both matched case-sensitively.
int filterVerdict(X509* cert, const VerifyPolicy& p) {
  char subject[512];
  if (cert == nullptr ||
      X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject) == nullptr) {
    log_event(LOG_ERROR, 0x6023, kModule, __LINE__, "Error getting cert details for filter");
    log_openssl_errors(LOG_ERROR, bio_log_err);
    return 0;
  }
  const std::string_view line(subject);
  const std::string& have = p.filterHave;
  if (!have.empty() && line.find(have) == std::string_view::npos) {
    log_event(LOG_ERROR, 0x6026, kModule, __LINE__, "Filter: 'have' fail. %s does not contain %s",
              subject, have.c_str());
    return 0;
  }
  const std::string& havenot = p.filterHavenot;
  if (!havenot.empty() && line.find(havenot) != std::string_view::npos) {
    log_event(LOG_ERROR, 0x6027, kModule, __LINE__, "Filter: 'have not' fail. '%s' contains '%s'",
              subject, havenot.c_str());
    return 0;
  }
  return 1;
}

}  // namespace

int verify_callback(int ok, X509_STORE_CTX* ctx) {
  X509* cert = X509_STORE_CTX_get_current_cert(ctx);
  const int depth = X509_STORE_CTX_get_error_depth(ctx);
  char name[512] = "";
  if (cert != nullptr) X509_NAME_oneline(X509_get_subject_name(cert), name, sizeof name);
  log_event(LOG_INFO, 0x6020, kModule, __LINE__, "Verify (%d)(%d) %s", ok, depth, name);
  if (ok == 0) return explainFailure(ctx, cert);
  if (depth != 0) return 1;
  const VerifyPolicy* policy = policyOf(ctx);
  if (policy == nullptr) return 1;
  if (policy->crlCheckEnable != 0) {
    const int verdict = revocationVerdict(ctx, cert, name, *policy);
    if (verdict != kGoOn) return verdict;
  }
  if (policy->filterEnable == 0) return 1;
  return filterVerdict(cert, *policy);
}

namespace security {

bool attachVerifyPolicy(SSL_CTX* ctx, const VerifyPolicy& policy) {
  auto* copy = new (std::nothrow) VerifyPolicy(policy);
  if (copy == nullptr || contextIndex() < 0 ||
      SSL_CTX_set_ex_data(ctx, contextIndex(), copy) != 1) {
    delete copy;
    return false;
  }
  return true;
}

void setVerifyPolicy(X509_STORE_CTX* ctx, const VerifyPolicy* policy) {
  X509_STORE_CTX_set_ex_data(ctx, storeContextIndex(), const_cast<VerifyPolicy*>(policy));
}

}  // namespace security

int crl_check(X509_STORE_CTX* ctx, X509* cert) {
  X509_CRL* crl = crl_find_for_issuer(ctx, cert);
  if (crl == nullptr) return 0;
  // Read the entries in place: the CRL is shared with the store and other checks.
  const STACK_OF(X509_REVOKED)* revoked = X509_CRL_get_REVOKED(crl);
  const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
  int result = 1;
  for (int i = 0; i < sk_X509_REVOKED_num(revoked) && result == 1; ++i) {
    const X509_REVOKED* entry = sk_X509_REVOKED_value(revoked, i);
    if (ASN1_INTEGER_cmp(X509_REVOKED_get0_serialNumber(entry), serial) == 0) result = -2;
  }
  if (result == 1) {
    const ASN1_TIME* next = X509_CRL_get0_nextUpdate(crl);
    if (next != nullptr && X509_cmp_current_time(next) < 0) result = -1;
  }
  X509_CRL_free(crl);
  return result;
}
