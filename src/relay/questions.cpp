#include "relay/questions.h"

#include <openssl/x509.h>

#include <algorithm>
#include <cstring>

#include "relay/relay_state.h"

namespace relay {
namespace {

std::string serverSubject(SSL* ssl) {
  X509* server = ssl != nullptr ? SSL_get0_peer_certificate(ssl) : nullptr;
  if (server == nullptr) return {};
  char name[1024] = "";
  X509_NAME_oneline(X509_get_subject_name(server), name, sizeof name);
  return name;
}

}  // namespace

bool Questions::takeCachedClient(X509** certificate, EVP_PKEY** key) {
  std::lock_guard<std::mutex> hold(cacheMutex_);
  if (cachedClient_.certificate == nullptr || cachedClient_.key == nullptr) return false;
  X509_up_ref(cachedClient_.certificate.get());
  EVP_PKEY_up_ref(cachedClient_.key.get());
  *certificate = cachedClient_.certificate.get();
  *key = cachedClient_.key.get();
  return true;
}

std::string Questions::askPassphrase(const std::string& prompt) {
  std::lock_guard<std::mutex> hold(questionMutex_);
  std::string phrase = passphrase();
  if (!phrase.empty()) return phrase;
  ObserverCall observer(*observer_);
  if (!observer) return {};
  phrase = observer->askPassphrase(prompt);
  if (!phrase.empty()) rememberPassphrase(phrase);
  return phrase;
}

bool Questions::clientCertificate(SSL* ssl, X509** certificate, EVP_PKEY** key) {
  std::lock_guard<std::mutex> hold(questionMutex_);
  if (takeCachedClient(certificate, key)) return true;
  ObserverCall observer(*observer_);
  ClientCredentials answer;
  if (!observer || !observer->askClientCertificate(serverSubject(ssl), &answer) ||
      answer.certificate == nullptr || answer.key == nullptr) {
    return false;
  }
  {
    std::lock_guard<std::mutex> cache(cacheMutex_);
    cachedClient_ = std::move(answer);
  }
  return takeCachedClient(certificate, key);
}

void Questions::clearKeys() {
  ClientCredentials old;
  std::string phrase;
  std::lock_guard<std::mutex> hold(cacheMutex_);
  std::swap(old, cachedClient_);
  phrase.swap(phrase_);
  OPENSSL_cleanse(phrase.data(), phrase.size());
}

std::string Questions::passphrase() const {
  std::lock_guard<std::mutex> hold(cacheMutex_);
  return phrase_;
}

void Questions::rememberPassphrase(const std::string& text) {
  std::lock_guard<std::mutex> hold(cacheMutex_);
  OPENSSL_cleanse(phrase_.data(), phrase_.size());
  phrase_ = text;
}

void Questions::forgetPassphrase(const std::string& phrase) {
  std::lock_guard<std::mutex> hold(cacheMutex_);
  if (phrase_ != phrase) return;
  OPENSSL_cleanse(phrase_.data(), phrase_.size());
  phrase_.clear();
}

int sharedPasswordCallback(char* buf, int size, int /*rwflag*/, void* questions) {
  if (buf == nullptr || size <= 0 || questions == nullptr) return 0;
  std::string phrase = static_cast<Questions*>(questions)->askPassphrase("");
  // Leave room for a terminating zero: some readers treat the buffer as a C string.
  const size_t n = std::min(phrase.size(), static_cast<size_t>(size - 1));
  std::memcpy(buf, phrase.data(), n);
  buf[n] = '\0';
  OPENSSL_cleanse(phrase.data(), phrase.size());
  return static_cast<int>(n);
}

int sharedClientCertificateCallback(SSL* ssl, X509** certificate, EVP_PKEY** key) {
  RelayState* state = stateOf(ssl);
  return state != nullptr && state->questions.clientCertificate(ssl, certificate, key) ? 1 : 0;
}

}  // namespace relay
