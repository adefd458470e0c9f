// What the certificate viewer shows of one certificate, as texts: the seven entries of the
// subject and of the issuer, the validity, the algorithms and lengths, and the version, serial
// number and extensions. Kept apart from the widgets so that each text can be checked alone.
// Any thread.
#pragma once

#include <openssl/x509.h>

#include <array>
#include <string>

#include "log/openssl_ptr.h"

namespace ui {

// Common name, country, locality, state or province, organisation, organisational unit and the
// e-mail address, in that order.
inline constexpr int kNameEntries = 7;
using NameTexts = std::array<std::string, kNameEntries>;
inline constexpr int kShownExtensions = 4;

struct CertificateFacts {
  NameTexts subject;
  NameTexts issuer;
  std::string validFrom;
  std::string validTo;
  std::string signingAlgorithm;
  std::string signatureLength;
  std::string keyAlgorithm;
  std::string keyLength;  // RSA keys only
  std::string version;
  std::string serial;
  std::string extensionCount;
  std::string criticalCount;
  std::array<std::string, kShownExtensions> extensions;
};

// The first value of each of the seven attributes (UTF-8; at most 255 characters), or empty.
// A value that is not valid text in its own encoding is given as its bytes.
NameTexts nameTexts(const X509_NAME* name);
// Every text of the certificate; all empty for none.
CertificateFacts certificateFacts(const X509* cert);
// One extension on one line: its name, "critical" when it is, and the library's text of its
// value with the line breaks folded.
std::string extensionLine(const X509_EXTENSION* extension);

}  // namespace ui
