// Fuzzes the decoding of one CRL attribute value from a directory: the first byte chooses the
// text or the binary form, the rest is the value; whatever decodes is parsed as a DER CRL.
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "security/crl_ldap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool binary = (data[0] & 1) != 0;
  std::vector<unsigned char> value(data + 1, data + size);  // exact size: overreads are seen
  std::vector<unsigned char> der;
  if (!security::decodeCrlValue(value.data(), value.size(), binary, &der)) return 0;
  if (!binary && der.size() * 2 + security::kCrlTextPrefix != value.size()) __builtin_trap();
  const unsigned char* p = der.data();
  X509_CRL* crl = d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size()));
  if (crl != nullptr) {
    unsigned char* out = nullptr;
    const int n = i2d_X509_CRL(crl, &out);
    OPENSSL_free(out);
    if (n <= 0) __builtin_trap();
    X509_CRL_free(crl);
  }
  return 0;
}
