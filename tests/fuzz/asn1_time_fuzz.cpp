// Feeds arbitrary time values to asn1_time_text: the first byte picks the ASN.1 type (UTCTime or
// GeneralizedTime) and the buffer size, the rest is the value.
#include <openssl/asn1.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "security/crl_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int type = (data[0] & 1) != 0 ? V_ASN1_GENERALIZEDTIME : V_ASN1_UTCTIME;
  const size_t bufferSize = 1 + (data[0] >> 1) % 64;
  ASN1_STRING* time = ASN1_STRING_type_new(type);
  if (time == nullptr) return 0;
  ASN1_STRING_set(time, data + 1, static_cast<int>(size - 1));
  char buffer[64];
  const char* text = asn1_time_text(buffer, bufferSize, time);
  // Whatever the value, the text is terminated inside the caller's buffer.
  if (std::memchr(buffer, '\0', bufferSize) == nullptr) __builtin_trap();
  if (text != nullptr && text != buffer) __builtin_trap();
  ASN1_STRING_free(time);
  return 0;
}
