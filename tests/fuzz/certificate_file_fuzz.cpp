// Feeds arbitrary bytes to the certificate-file readers as a file a user or an administrator
// named: the certificate reader (PEM, then DER), the client-credential reader (PEM certificate
// and key, then PKCS#12) with no password and with one, and the PKCS#12 readers on memory.
// Whatever is read must hold together: credentials said to be loaded are a certificate with the
// key that belongs to it, and every certificate's times format.
#include <openssl/err.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "relay/certificate_files.h"

namespace {

std::string inputFile() {
  static const std::string path = [] {
    char pattern[] = "/tmp/bkl-cert-fuzz-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd >= 0) close(fd);
    return std::string(pattern);
  }();
  return path;
}

void checkTimes(const X509* cert) {
  if (cert == nullptr) return;
  if (relay::certificateTimeText(X509_get0_notBefore(cert)).empty()) abort();
  if (relay::certificateTimeText(X509_get0_notAfter(cert)).empty()) abort();
}

void readCredentials(const std::string& file, const std::string& password) {
  relay::ClientCredentials out;
  const relay::CredentialsResult result = relay::readClientCredentials(file, password, &out);
  if (result == relay::CredentialsResult::kLoaded) {
    if (out.certificate == nullptr || out.key == nullptr) abort();
    if (X509_check_private_key(out.certificate.get(), out.key.get()) != 1) abort();
    checkTimes(out.certificate.get());
  } else if (out.certificate != nullptr || out.key != nullptr) {
    abort();  // nothing half-read is handed out
  }
  ERR_clear_error();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string file = inputFile();
  FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr) return 0;
  const bool written = std::fwrite(data, 1, size, out) == size;
  if (std::fclose(out) != 0 || !written) return 0;

  relay::X509Ptr cert = relay::readCertificate(file);
  checkTimes(cert.get());
  if (ERR_peek_error() != 0) abort();  // the reader leaves the error queue empty

  readCredentials(file, "");
  readCredentials(file, "fuzz");

  BIO* bio = BIO_new_mem_buf(data, static_cast<int>(size));
  if (bio == nullptr) return 0;
  const bool present = relay::pkcs12Present(bio);
  if (ERR_peek_error() != 0) abort();
  relay::X509Ptr p12Cert;
  relay::EvpPkeyPtr p12Key;
  if (relay::pkcs12ReadBoth(bio, "fuzz", &p12Cert, &p12Key)) {
    if (!present) abort();  // read as PKCS#12, yet said not to be
    checkTimes(p12Cert.get());
  }
  BIO_free(bio);
  ERR_clear_error();
  return 0;
}
