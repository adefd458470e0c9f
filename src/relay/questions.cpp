#include "relay/questions.h"

#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "config/settings.h"

namespace relay {
namespace {

// Serialises the questions: held while one is asked, so the person sees one at a time and a
// second thread that needs the same answer waits for it.
std::mutex& questionLock() {
  static std::mutex lock;
  return lock;
}

// Guards the cached client certificate and key; held only to read or replace them, never while
// a question is asked, so Clear Keys never waits for a person.
std::mutex cacheMutex;
ClientCredentials cachedClient;

bool takeCachedClient(X509** certificate, EVP_PKEY** key) {
  std::lock_guard<std::mutex> hold(cacheMutex);
  if (cachedClient.certificate == nullptr || cachedClient.key == nullptr) return false;
  X509_up_ref(cachedClient.certificate.get());
  EVP_PKEY_up_ref(cachedClient.key.get());
  *certificate = cachedClient.certificate.get();
  *key = cachedClient.key.get();
  return true;
}

std::string serverSubject(SSL* ssl) {
  X509* server = ssl != nullptr ? SSL_get0_peer_certificate(ssl) : nullptr;
  if (server == nullptr) return {};
  char name[1024] = "";
  X509_NAME_oneline(X509_get_subject_name(server), name, sizeof name);
  return name;
}

}  // namespace

std::string askPassphrase(const std::string& prompt) {
  std::lock_guard<std::mutex> hold(questionLock());
  std::string phrase = config::passphrase();
  if (!phrase.empty()) return phrase;
  ObserverCall observer;
  if (!observer) return {};
  phrase = observer->askPassphrase(prompt);
  if (!phrase.empty()) config::setPassphrase(phrase);
  return phrase;
}

int sharedPasswordCallback(char* buf, int size, int /*rwflag*/, void* /*prompt*/) {
  if (buf == nullptr || size <= 0) return 0;
  std::string phrase = askPassphrase("");
  // Leave room for a terminating zero: some readers treat the buffer as a C string.
  const size_t n = std::min(phrase.size(), static_cast<size_t>(size - 1));
  std::memcpy(buf, phrase.data(), n);
  buf[n] = '\0';
  OPENSSL_cleanse(phrase.data(), phrase.size());
  return static_cast<int>(n);
}

int sharedClientCertificateCallback(SSL* ssl, X509** certificate, EVP_PKEY** key) {
  std::lock_guard<std::mutex> hold(questionLock());
  if (takeCachedClient(certificate, key)) return 1;
  ObserverCall observer;
  ClientCredentials answer;
  if (!observer || !observer->askClientCertificate(serverSubject(ssl), &answer) ||
      answer.certificate == nullptr || answer.key == nullptr) {
    return 0;
  }
  {
    std::lock_guard<std::mutex> cache(cacheMutex);
    cachedClient = std::move(answer);
  }
  return takeCachedClient(certificate, key) ? 1 : 0;
}

void clearKeys() {
  config::setPassphrase("");
  ClientCredentials old;
  std::lock_guard<std::mutex> hold(cacheMutex);
  std::swap(old, cachedClient);
}

}  // namespace relay
