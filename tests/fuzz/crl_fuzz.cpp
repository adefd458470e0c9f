// Feeds arbitrary bytes to the CRL loading: as the one file of a CRL directory (PEM, then DER),
// then, when it decodes, through replacement, lookup, revocation check and listing.
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "log/log.h"
#include "security/crl_store.h"
#include "security/verify.h"

namespace {

// Formats every line, keeps none.
class DiscardSink final : public logging::LogSink {
 public:
  int append(const logging::LogLine& line) override { return line.text.empty() ? 0 : 1; }
};

std::string folder() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/bkl-crl-fuzz-XXXXXX";
    return std::string(mkdtemp(pattern) != nullptr ? pattern : "/tmp");
  }();
  return dir;
}

void checkAgainst(X509_STORE* store, X509_CRL* crl) {
  // A certificate named by the CRL's issuer, with serial 1.
  X509* cert = X509_new();
  X509_set_issuer_name(cert, X509_CRL_get_issuer(crl));
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  if (X509_STORE_CTX_init(ctx, store, cert, nullptr) == 1) {
    const int first = crl_check(ctx, cert);
    if (crl_check(ctx, cert) != first) __builtin_trap();  // the check changes nothing
  }
  X509_STORE_CTX_free(ctx);
  X509_free(cert);
}

void removeFolder() {
  std::remove((folder() + "/input.crl").c_str());
  rmdir(folder().c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static DiscardSink sink;
  folder();  // made before the exit handler is registered, so it outlives it
  std::atexit(removeFolder);
  logging::log_open(&sink, nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string file = folder() + "/input.crl";
  if (FILE* f = std::fopen(file.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  X509_STORE* store = X509_STORE_new();
  crl_load_dir(store, folder().c_str(), true);
  crl_list_all(store);
  const unsigned char* p = data;
  if (X509_CRL* crl = d2i_X509_CRL(nullptr, &p, static_cast<long>(size))) {
    crl_store_replace(store, crl);
    crl_store_replace(store, crl);
    crl_describe(crl);
    checkAgainst(store, crl);
    X509_CRL_free(crl);
  }
  X509_STORE_free(store);
  ERR_clear_error();
  return 0;
}
