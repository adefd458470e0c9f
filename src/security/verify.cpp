#include "security/verify.h"

#include <openssl/x509_vfy.h>

#include "log/log.h"

namespace {

constexpr char kModule[] = "simple verify cb";

}  // namespace

int verify_callback(int ok, X509_STORE_CTX* ctx) {
  X509* cert = X509_STORE_CTX_get_current_cert(ctx);
  const int depth = X509_STORE_CTX_get_error_depth(ctx);
  char name[512] = "";
  if (cert != nullptr) X509_NAME_oneline(X509_get_subject_name(cert), name, sizeof name);
  log_event(LOG_INFO, 0x6020, kModule, __LINE__, "Verify (%d)(%d) %s", ok, depth, name);
  if (ok != 0) return 1;
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
