// The cipher-description list and the per-side connection summary.
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "config/address.h"
#include "log/log.h"
#include "relay/connect_info.h"
#include "relay/ssl_context.h"

namespace relay {
namespace {

constexpr char kModule[] = "proxy";

struct CipherFields {
  std::string kx = "unknown";
  std::string au = "unknown";
  std::string enc = "unknown";
  std::string mac = "unknown";
};

// The library's own description ("NAME VERSION Kx=.. Au=.. Enc=.. Mac=..") names every modern
// key exchange, cipher and MAC; the old fixed texts knew only export-era kinds.
std::string field(const std::string& text, const char* tag) {
  const size_t at = text.find(tag);
  if (at == std::string::npos) return "unknown";
  const size_t start = at + std::strlen(tag);
  size_t end = start;
  while (end < text.size() && text[end] != ' ' && text[end] != '\n') ++end;
  return end > start ? text.substr(start, end - start) : "unknown";
}

CipherFields cipherFields(const SSL_CIPHER* cipher) {
  char text[256] = "";
  CipherFields fields;
  if (SSL_CIPHER_description(cipher, text, sizeof text) == nullptr) return fields;
  const std::string line(text);
  fields.kx = field(line, " Kx=");
  fields.au = field(line, " Au=");
  fields.enc = field(line, " Enc=");
  fields.mac = field(line, " Mac=");
  return fields;
}

int hostOrderPort(uint16_t networkPort) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&networkPort);
  return (bytes[0] << 8) | bytes[1];
}

int peerKeyBits(const SSL* ssl) {
  X509* peer = SSL_get1_peer_certificate(ssl);
  if (peer == nullptr) return 0;
  EVP_PKEY* key = X509_get0_pubkey(peer);
  const int bits = key != nullptr ? EVP_PKEY_get_bits(key) : 0;
  X509_free(peer);
  return bits;
}

}  // namespace

const char* describeCipher(const SSL_CIPHER* cipher, bool padded, char* buf, size_t size) {
  if (buf == nullptr || size < kCipherDescriptionSize || cipher == nullptr) return nullptr;
  const CipherFields f = cipherFields(cipher);
  const char* name = SSL_CIPHER_get_name(cipher);
  const char* version = SSL_CIPHER_get_version(cipher);
  // There are no export ciphers any more, so the export mark is always empty.
  if (padded) {
    std::snprintf(buf, size, "%-23s %s Kx=%-8s Au=%-4s Enc=%-9s Mac=%-4s%s", name, version,
                  f.kx.c_str(), f.au.c_str(), f.enc.c_str(), f.mac.c_str(), "");
  } else {
    std::snprintf(buf, size, "%s %s Kx=%s Au=%s Enc=%s Mac=%s%s", name, version, f.kx.c_str(),
                  f.au.c_str(), f.enc.c_str(), f.mac.c_str(), "");
  }
  return buf;
}

void logCipherDescriptions(SSL_CTX* ctx, const char* heading) {
  SslPtr ssl = newSharedSsl(ctx);
  if (ssl == nullptr) return;
  log_event(LOG_INFO, 0x6001, kModule, __LINE__, "%s", heading != nullptr ? heading : "");
  STACK_OF(SSL_CIPHER)* ciphers = SSL_get_ciphers(ssl.get());
  for (int i = 0; i < sk_SSL_CIPHER_num(ciphers); ++i) {
    char text[kCipherDescriptionSize];
    if (describeCipher(sk_SSL_CIPHER_value(ciphers, i), true, text, sizeof text) != nullptr) {
      log_event(LOG_INFO, 0x6104, kModule, __LINE__, "%s", text);
    }
  }
}

void logConnectionSummary(const char* direction, SSL* ssl, uint32_t role,
                          const platform::IpAddress& address, uint16_t port) {
  if (ssl == nullptr) return;
  char description[kCipherDescriptionSize] = "(NONE)";
  describeCipher(SSL_get_current_cipher(ssl), false, description, sizeof description);
  log_event(LOG_INFO, 0x6045, kModule, __LINE__, "%s %s %s connection to %s. peer key %d bits. %s",
            direction, SSL_get_version(ssl), roleName(role),
            platform::endpointText(address, hostOrderPort(port), '.').text, peerKeyBits(ssl),
            description);
}

}  // namespace relay
