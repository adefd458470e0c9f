#include "relay/ticket_keys.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>
#include <fstream>
#include <new>
#include <sstream>
#include <string_view>
#include <vector>

#include "proxy/base64.h"

namespace relay {

namespace {

constexpr size_t kNameBytes = 16;
constexpr size_t kDecryptingKeys = 3;
// A file of keys is small: this bounds what is read of a wrong one.
constexpr std::streamsize kMaxFileBytes = 64 * 1024;

struct TicketKey {
  unsigned char name[kNameBytes];
  unsigned char aes[32];
  unsigned char hmac[32];
};

struct TicketKeys {
  size_t keyBytes = 16;            // 16 (AES-128) or 32 (AES-256), for both keys
  std::vector<TicketKey> decrypt;  // the last three of the file, the encrypting one among them
  size_t encrypting = 0;           // its place in `decrypt`
};

void freeKeys(void* /*parent*/, void* ptr, CRYPTO_EX_DATA* /*ad*/, int /*index*/, long /*argl*/,
              void* /*argp*/) {
  auto* keys = static_cast<TicketKeys*>(ptr);
  if (keys == nullptr) return;
  OPENSSL_cleanse(keys->decrypt.data(), keys->decrypt.size() * sizeof(TicketKey));
  delete keys;
}

// The index of the keys in a context's application data; taken once for the process.
int keysIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, freeKeys);
  return index;
}

bool strictBase64(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0) return false;
  size_t padding = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '=') {
      if (i + 2 < text.size()) return false;  // only the last two may be padding
      ++padding;
      continue;
    }
    if (padding != 0) return false;
    const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (!alphabet) return false;
  }
  return true;
}

bool readKeys(const std::string& file, TicketKeys* keys, std::string* why) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    *why = "it cannot be read";
    return false;
  }
  std::string text(static_cast<size_t>(kMaxFileBytes) + 1, '\0');
  in.read(text.data(), kMaxFileBytes + 1);
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > static_cast<size_t>(kMaxFileBytes)) {
    *why = "it is larger than 64 KiB";
    return false;
  }
  std::vector<TicketKey> all;
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::string where = "line " + std::to_string(number);
    if (!strictBase64(line)) {
      *why = where + " is not base64";
      return false;
    }
    std::vector<uint8_t> bytes = proxy::base64Decode(line);
    const size_t keyBytes = bytes.size() == 48 ? 16 : bytes.size() == 80 ? 32 : 0;
    if (keyBytes == 0) {
      *why = where + " holds " + std::to_string(bytes.size()) + " bytes, not 48 or 80";
      OPENSSL_cleanse(bytes.data(), bytes.size());
      return false;
    }
    if (!all.empty() && keyBytes != keys->keyBytes) {
      *why = where + " is a key of another length than the first";
      OPENSSL_cleanse(bytes.data(), bytes.size());
      return false;
    }
    keys->keyBytes = keyBytes;
    TicketKey key{};
    std::memcpy(key.name, bytes.data(), kNameBytes);
    std::memcpy(key.aes, bytes.data() + kNameBytes, keyBytes);
    std::memcpy(key.hmac, bytes.data() + kNameBytes + keyBytes, keyBytes);
    OPENSSL_cleanse(bytes.data(), bytes.size());
    all.push_back(key);
  }
  OPENSSL_cleanse(text.data(), text.size());
  if (all.size() < kDecryptingKeys) {
    *why = "it holds " + std::to_string(all.size()) + " keys, fewer than 3";
    OPENSSL_cleanse(all.data(), all.size() * sizeof(TicketKey));
    return false;
  }
  keys->decrypt.assign(all.end() - kDecryptingKeys, all.end());
  keys->encrypting = kDecryptingKeys - 2;  // the one before the last
  OPENSSL_cleanse(all.data(), all.size() * sizeof(TicketKey));
  return true;
}

int initHmac(EVP_MAC_CTX* hctx, const TicketKey& key, size_t keyBytes) {
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_END};
  return EVP_MAC_init(hctx, key.hmac, keyBytes, params);
}

const EVP_CIPHER* cipherFor(size_t keyBytes) {
  return keyBytes == 32 ? EVP_aes_256_cbc() : EVP_aes_128_cbc();
}

// 1: the ticket is made, or taken; 2: taken, and a new one made with the current key; 0: not
// taken (a full handshake follows); -1: failed.
int ticketKeyCallback(SSL* ssl, unsigned char* name, unsigned char* iv, EVP_CIPHER_CTX* cctx,
                      EVP_MAC_CTX* hctx, int encrypt) {
  const auto* keys =
      static_cast<const TicketKeys*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), keysIndex()));
  if (keys == nullptr) return -1;
  const EVP_CIPHER* cipher = cipherFor(keys->keyBytes);
  if (encrypt != 0) {
    const TicketKey& key = keys->decrypt[keys->encrypting];
    const int ivBytes = EVP_CIPHER_get_iv_length(cipher);
    if (ivBytes <= 0 || RAND_bytes(iv, ivBytes) != 1) return -1;
    std::memcpy(name, key.name, kNameBytes);
    if (EVP_EncryptInit_ex(cctx, cipher, nullptr, key.aes, iv) != 1 ||
        initHmac(hctx, key, keys->keyBytes) != 1) {
      return -1;
    }
    return 1;
  }
  for (size_t i = 0; i < keys->decrypt.size(); ++i) {
    const TicketKey& key = keys->decrypt[i];
    if (std::memcmp(name, key.name, kNameBytes) != 0) continue;
    if (initHmac(hctx, key, keys->keyBytes) != 1 ||
        EVP_DecryptInit_ex(cctx, cipher, nullptr, key.aes, iv) != 1) {
      return -1;
    }
    return i == keys->encrypting ? 1 : 2;
  }
  return 0;
}

}  // namespace

bool attachTicketKeys(SSL_CTX* ctx, const std::string& file, std::string* why) {
  auto* keys = new (std::nothrow) TicketKeys;
  if (keys == nullptr) {
    *why = "no memory is left";
    return false;
  }
  if (!readKeys(file, keys, why)) {
    delete keys;
    return false;
  }
  if (keysIndex() < 0 || SSL_CTX_set_ex_data(ctx, keysIndex(), keys) != 1) {
    freeKeys(nullptr, keys, nullptr, 0, 0, nullptr);
    *why = "the library could not keep them";
    return false;
  }
  if (SSL_CTX_set_tlsext_ticket_key_evp_cb(ctx, ticketKeyCallback) != 1) {
    *why = "the library does not take them";
    return false;
  }
  return true;
}

}  // namespace relay
