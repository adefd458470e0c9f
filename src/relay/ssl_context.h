// The one SSL context of the process and what is configured on it: protocol versions, callbacks,
// cipher list and its friendly names, trusted CA certificates, the two session caches, and the
// loading of a rule's certificate and key into an SSL object. Also the cipher-description and
// connection-summary report lines.
//
// `sharedContext` is made by `sslStartup` and replaced only by the thread that runs `startRelay`
// or edits settings; connection threads take their own reference with `acquireSharedContext`.
#pragma once

#include <netinet/in.h>
#include <openssl/ssl.h>

#include <memory>
#include <string>
#include <vector>

namespace relay {

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct SslSessionFree {
  void operator()(SSL_SESSION* s) const { SSL_SESSION_free(s); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;
using SslSessionPtr = std::unique_ptr<SSL_SESSION, SslSessionFree>;

// The current shared context, with a reference taken for the caller (null before start-up).
SslCtxPtr acquireSharedContext();
// Builds a new context from the protocol settings and makes it the shared one; the old one lives
// on in the SSL objects made from it. Returns false (and logs) when no context can be made.
bool createSharedContext();
// Drops the shared context (shut-down).
void freeSharedContext();

// The options that the three protocol switches give (0x01000000 no SSLv2, 0x02000000 no SSLv3,
// 0x04000000 no TLSv1 in the old numbering); the TLS switch governs every TLS version.
uint32_t protocolOptionBits(uint32_t enableSsl2, uint32_t enableSsl3, uint32_t enableTls1);

struct FriendlyCipher {
  const char* name;
  const char* rule;
};
extern const FriendlyCipher friendlyCipherTable[9];
// The rule string for a "ssl.cipher" text: the table's rule for a friendly name (exact,
// case-sensitive), else the text itself.
std::string cipherRuleFor(const std::string& setting);
// Sets the shared context's cipher list from "ssl.cipher", logging a failure.
void setSharedCipherList();

// The distinct cipher names a fresh SSL object of the shared context offers, in offer order.
void fillContextCipherNames();
const std::vector<std::string>& contextCipherNames();

void logCipherDescriptions(const char* heading);
void logConnectionSummary(const char* direction, SSL* ssl, uint32_t role, uint32_t address,
                          uint16_t port);
// "%s:%d" texts use host-order ports; address is network byte order.

// Loads the rule's certificate and private key (PEM, DER or PKCS#12) into the SSL object, logging
// failures; the connection goes on either way.
void loadCertAndKey(SSL* ssl, const std::string& certFile, const std::string& keyFile);
// Adds the trusted CA certificates ("ssl.ca_cert", the HKLM CA key, the system trust store) to the
// shared context's store and lists them.
void loadCaCertificates();

// Empties the destination session cache and the server-side session cache.
void resetSessionCaches();
// Flushes the server-side session cache of the shared context.
void flushServerSessions();

// Identifies an outgoing SSL side for session reuse: a session is only resumed by a connection
// that would have made the same handshake.
struct DestSessionKey {
  uint32_t address = 0;  // network byte order
  uint16_t port = 0;     // network byte order
  std::string serverName;
  uint32_t verifyServer = 0;
  std::string certFile;
};
// A saved session for this destination (a new reference), or null.
SslSessionPtr destSessionLookup(const DestSessionKey& key);
// Saves the session of a successful handshake; a later one replaces it.
void destSessionStore(const DestSessionKey& key, SSL_SESSION* session);

}  // namespace relay
