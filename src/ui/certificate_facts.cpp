#include "ui/certificate_facts.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "relay/certificate_files.h"

namespace ui {
namespace {

constexpr size_t kMaxNameCharacters = 255;
constexpr size_t kMaxExtensionLine = 1023;
constexpr int kNameNids[kNameEntries] = {NID_commonName,        NID_countryName,
                                         NID_localityName,      NID_stateOrProvinceName,
                                         NID_organizationName,  NID_organizationalUnitName,
                                         NID_pkcs9_emailAddress};

// Cuts after `limit` characters, never inside one (UTF-8 lead bytes start a character).
std::string firstCharacters(std::string text, size_t limit) {
  size_t characters = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (++characters > limit) {
      text.resize(i);
      break;
    }
  }
  return text;
}

std::string entryText(const ASN1_STRING* value) {
  unsigned char* utf8 = nullptr;
  const int n = ASN1_STRING_to_UTF8(&utf8, value);
  if (n >= 0) {
    std::string text(reinterpret_cast<const char*>(utf8), static_cast<size_t>(n));
    OPENSSL_free(utf8);
    return firstCharacters(std::move(text), kMaxNameCharacters);
  }
  ERR_clear_error();
  // Not valid in its own encoding: the bytes as they are, whoever shows them marks what is bad.
  const auto* data = reinterpret_cast<const char*>(ASN1_STRING_get0_data(value));
  const size_t size = static_cast<size_t>(std::max(ASN1_STRING_length(value), 0));
  return std::string(data == nullptr ? "" : data, std::min(size, kMaxNameCharacters));
}

std::string nidLongName(int nid) {
  const char* name = nid != NID_undef ? OBJ_nid2ln(nid) : nullptr;
  return name != nullptr ? name : "UNKNOWN";
}

std::string bioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return size > 0 && data != nullptr ? std::string(data, static_cast<size_t>(size)) : "";
}

// Line breaks (with the indentation after them) become "; ", so that the text fits one line.
std::string foldLines(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n' && text[i] != '\r') {
      out += text[i];
      continue;
    }
    while (i + 1 < text.size() && (text[i + 1] == ' ' || text[i + 1] == '\n')) ++i;
    if (!out.empty() && i + 1 < text.size()) out += "; ";
  }
  return out;
}

void fillSignature(const X509* cert, CertificateFacts* f) {
  f->validFrom = relay::certificateTimeText(X509_get0_notBefore(cert));
  f->validTo = relay::certificateTimeText(X509_get0_notAfter(cert));
  f->signingAlgorithm = nidLongName(X509_get_signature_nid(cert));
  const ASN1_BIT_STRING* signature = nullptr;
  X509_get0_signature(&signature, nullptr, cert);
  f->signatureLength = std::to_string(signature != nullptr ? ASN1_STRING_length(signature) : 0);
  ASN1_OBJECT* keyAlgorithm = nullptr;
  X509_PUBKEY_get0_param(&keyAlgorithm, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(cert));
  f->keyAlgorithm = nidLongName(keyAlgorithm != nullptr ? OBJ_obj2nid(keyAlgorithm) : NID_undef);
  // X509_get0_pubkey decodes the key; it takes a non-const certificate for its cache only.
  const EVP_PKEY* key = X509_get0_pubkey(const_cast<X509*>(cert));
  const int keyType = key != nullptr ? EVP_PKEY_get_base_id(key) : NID_undef;
  if (keyType == EVP_PKEY_RSA || keyType == EVP_PKEY_RSA_PSS) {
    f->keyLength = std::to_string(EVP_PKEY_get_bits(key));
  }
  ERR_clear_error();
}

std::string serialText(const ASN1_INTEGER* serial) {
  BIGNUM* number = serial != nullptr ? ASN1_INTEGER_to_BN(serial, nullptr) : nullptr;
  char* hex = number != nullptr ? BN_bn2hex(number) : nullptr;
  std::string text = hex != nullptr ? hex : "";
  OPENSSL_free(hex);
  BN_free(number);
  return text;
}

void fillExtensions(const X509* cert, CertificateFacts* f) {
  f->version = std::to_string(X509_get_version(cert) + 1);
  f->serial = serialText(X509_get0_serialNumber(cert));
  const int count = X509_get_ext_count(cert);
  int critical = 0;
  for (int i = 0; i < count; ++i) {
    const X509_EXTENSION* extension = X509_get_ext(cert, i);
    if (X509_EXTENSION_get_critical(extension) != 0) ++critical;
    if (i < kShownExtensions) f->extensions[static_cast<size_t>(i)] = extensionLine(extension);
  }
  f->extensionCount = std::to_string(count);
  f->criticalCount = std::to_string(critical);
}

}  // namespace

NameTexts nameTexts(const X509_NAME* name) {
  NameTexts texts;
  if (name == nullptr) return texts;
  for (int i = 0; i < kNameEntries; ++i) {
    const int at = X509_NAME_get_index_by_NID(name, kNameNids[i], -1);
    if (at < 0) continue;
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at));
    if (value != nullptr) texts[static_cast<size_t>(i)] = entryText(value);
  }
  return texts;
}

std::string extensionLine(const X509_EXTENSION* extension) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (bio == nullptr || extension == nullptr) return {};
  i2a_ASN1_OBJECT(bio.get(), X509_EXTENSION_get_object(const_cast<X509_EXTENSION*>(extension)));
  BIO_puts(bio.get(), X509_EXTENSION_get_critical(extension) != 0 ? ": critical, " : ": ");
  // The library's own text of the value; failing that (an extension it does not know), its bytes.
  if (X509V3_EXT_print(bio.get(), const_cast<X509_EXTENSION*>(extension), 0, 0) != 1) {
    ASN1_STRING_print(bio.get(), X509_EXTENSION_get_data(const_cast<X509_EXTENSION*>(extension)));
  }
  ERR_clear_error();
  std::string line = foldLines(bioText(bio.get()));
  if (line.size() > kMaxExtensionLine) line.resize(kMaxExtensionLine);
  return line;
}

CertificateFacts certificateFacts(const X509* cert) {
  CertificateFacts facts;
  if (cert == nullptr) return facts;
  facts.subject = nameTexts(X509_get_subject_name(cert));
  facts.issuer = nameTexts(X509_get_issuer_name(cert));
  fillSignature(cert, &facts);
  fillExtensions(cert, &facts);
  return facts;
}

}  // namespace ui
