// The questions a connection thread asks when a handshake needs something the settings do not
// hold: the pass phrase of an encrypted private key (or a PKCS#12 file) and a client certificate
// for a server that asks for one. The answers come from the front end (relay/observer.h): a
// dialog on the desktop, the store for the daemon.
//
// One question is asked at a time (the certificate-dialog lock): a thread that needs the same
// answer waits and then uses what the first was given. The remembered pass phrase (the in-memory
// "ssl.passwd") and the cached client certificate serve every later handshake until Clear Keys.
// Any thread; `clearKeys` never waits for a question that is being asked.
#pragma once

#include <openssl/ssl.h>

#include <string>

#include "relay/observer.h"

namespace relay {

// The password callback of the shared context (OpenSSL passes its read/write flag as `rwflag`;
// the program's own callers pass their prompt text there). Returns the length put into `buf`.
int sharedPasswordCallback(char* buf, int size, int rwflag, void* prompt);
// Asks for a pass phrase with a prompt of the caller's (empty: the default prompt).
std::string askPassphrase(const std::string& prompt);
// The client-certificate callback of the shared context: 1 with new references to the cached
// certificate and key (asked for when none is cached), 0 when there is none.
int sharedClientCertificateCallback(SSL* ssl, X509** certificate, EVP_PKEY** key);
// Forgets the remembered pass phrase (not the stored one) and the cached client certificate.
void clearKeys();

}  // namespace relay
