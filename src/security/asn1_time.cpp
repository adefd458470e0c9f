// The readable text of an ASN.1 time, as the CRL listing and the certificate viewer show it.
#include <openssl/asn1.h>

#include <cstdio>

#include "security/crl_store.h"

namespace {

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

int twoDigits(const unsigned char* p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

char* badTime(char* buffer, size_t size) {
  std::snprintf(buffer, size, "%s", "Bad time value");
  return nullptr;
}

}  // namespace

// A UTCTime is YYMMDDhhmm[ss][Z]. A GeneralizedTime (the form of every date from 2050 on) carries
// the century in front, YYYYMMDDhhmm[ss][Z]; it is read the same way after its two extra digits.
char* asn1_time_text(char* buffer, size_t size, const ASN1_TIME* time) {
  if (buffer == nullptr || size == 0) return nullptr;
  if (time == nullptr) return badTime(buffer, size);
  const unsigned char* data = ASN1_STRING_get0_data(time);
  const int length = ASN1_STRING_length(time);
  const int century = ASN1_STRING_type(time) == V_ASN1_GENERALIZEDTIME ? 2 : 0;
  if (data == nullptr || length < 10 + century) return badTime(buffer, size);
  for (int i = 0; i < 10 + century; ++i) {
    if (!isDigit(data[i])) return badTime(buffer, size);
  }
  const unsigned char* v = data + century;
  int year = twoDigits(v);
  if (century != 0) {
    year += twoDigits(data) * 100;
  } else {
    year += year >= 70 ? 1900 : 2000;
  }
  const int month = twoDigits(v + 2);
  if (month < 1 || month > 12) return badTime(buffer, size);
  const int second =
      length >= 12 + century && isDigit(v[10]) && isDigit(v[11]) ? twoDigits(v + 10) : 0;
  const bool gmt = data[length - 1] == 'Z';
  std::snprintf(buffer, size, "%s %2d %02d:%02d:%02d %d%s", kMonths[month - 1], twoDigits(v + 4),
                twoDigits(v + 6), twoDigits(v + 8), second, year, gmt ? " GMT" : "");
  return buffer;
}
