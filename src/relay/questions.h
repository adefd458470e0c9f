// The questions a connection thread asks when a handshake needs something the settings do not
// hold: the pass phrase of an encrypted private key (or a PKCS#12 file) and a client certificate
// for a server that asks for one. The answers come from the front end (relay/observer.h): a
// dialog on the desktop, the store for the daemon. One `Questions` belongs to each relay.
//
// One question is asked at a time (the certificate-dialog lock): a thread that needs the same
// answer waits and then uses what the first was given. The remembered pass phrase (the in-memory
// "ssl.passwd", first the stored one) and the cached client certificate serve every later
// handshake until Clear Keys. Any thread; `clearKeys` never waits for a question that is being
// asked.
#pragma once

#include <openssl/ssl.h>

#include <mutex>
#include <string>

#include "relay/observer.h"
#include "relay/observer_slot.h"

namespace relay {

class Questions {
 public:
  explicit Questions(ObserverSlot* observer) : observer_(observer) {}
  Questions(const Questions&) = delete;
  Questions& operator=(const Questions&) = delete;

  // The remembered pass phrase, or one asked for with a prompt of the caller's (empty: the
  // default prompt), which is then remembered. Empty when there is none.
  std::string askPassphrase(const std::string& prompt);
  // New references to the cached client certificate and key, asked for (for the server of `ssl`)
  // when none is cached. False when there is none.
  bool clientCertificate(SSL* ssl, X509** certificate, EVP_PKEY** key);
  // Forgets the remembered pass phrase (not the stored one) and the cached client certificate.
  void clearKeys();
  std::string passphrase() const;
  // An empty text forgets the remembered pass phrase.
  void rememberPassphrase(const std::string& text);
  // Forgets the remembered pass phrase when it is `phrase` (one that opened nothing); a phrase
  // given since stays.
  void forgetPassphrase(const std::string& phrase);

 private:
  bool takeCachedClient(X509** certificate, EVP_PKEY** key);

  ObserverSlot* observer_;
  // Serialises the questions: held while one is asked, so the person sees one at a time and a
  // second thread that needs the same answer waits for it.
  std::mutex questionMutex_;
  // Guards phrase_ and cachedClient_; held only to read or replace them, never while a question
  // is asked, so Clear Keys never waits for a person.
  mutable std::mutex cacheMutex_;
  std::string phrase_;
  ClientCredentials cachedClient_;
};

// The password callback of a relay's SSL contexts; `questions` is the context's callback data
// (OpenSSL passes its read/write flag as `rwflag`). Returns the length put into `buf`.
int sharedPasswordCallback(char* buf, int size, int rwflag, void* questions);
// The client-certificate callback of a relay's SSL contexts: 1 with new references to the cached
// certificate and key (asked for when none is cached), 0 when there is none.
int sharedClientCertificateCallback(SSL* ssl, X509** certificate, EVP_PKEY** key);

}  // namespace relay
