// The one SSL context of the process and what is configured on it: protocol versions, callbacks,
// cipher list and its friendly names, trusted CA certificates, the two session caches, and the
// loading of a rule's certificate and key into an SSL object. Also the cipher-description and
// connection-summary report lines.
//
// `sharedContext` is made by `sslStartup` and replaced by every `startRelay`: a new context is
// built whole from the running settings (protocols, callbacks, CA certificates, CRLs, cipher list)
// and then put in place with one swap, so nothing ever changes a context that connections use.
// Connection threads take their own reference with `acquireSharedContext`; a connection keeps
// the context it started with until it ends.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "log/openssl_ptr.h"

namespace relay {

using ::SslCtxPtr;
using ::SslPtr;
using ::SslSessionPtr;

// The current shared context, with a reference taken for the caller (null before start-up).
SslCtxPtr acquireSharedContext();
// A new SSL object of the shared context; null (with the error dump logged) when none can be made.
SslPtr newSharedSsl();
// A new context made from the settings' protocol switches, with the password, verify and
// client-certificate callbacks; null (logged) when none can be made.
SslCtxPtr buildSharedContext(const config::Settings& settings);
// Makes `ctx` the shared context. The one it replaces lives on in the SSL objects made from it;
// its handshake and cache figures are carried into `sessionFigures`.
void installSharedContext(SslCtxPtr ctx);
// Builds a context from the running settings and installs it (start-up). False when none can be
// made.
bool createSharedContext();
// Drops the shared context (shut-down).
void freeSharedContext();

// The session figures of the shared context, with those of the contexts it replaced added.
struct SessionFigures {
  long connect = 0;
  long connectGood = 0;
  long connectRenegotiate = 0;
  long accept = 0;
  long acceptGood = 0;
  long acceptRenegotiate = 0;
  long cacheSize = 0;  // the current context's cache only
  long hits = 0;
  long misses = 0;
  long timeouts = 0;
};
SessionFigures sessionFigures(SSL_CTX* ctx);

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
// Sets the context's cipher list from "ssl.cipher" (unset keeps the library's default), logging a
// failure. Returns false when the list was refused.
bool applyCipherList(SSL_CTX* ctx, const config::Settings& settings);

// The distinct cipher names a fresh SSL object of the shared context offers, in offer order.
// Filled at start-up by the thread that runs it; read by the settings dialog on the same thread.
void fillContextCipherNames();
const std::vector<std::string>& contextCipherNames();

// Describes a cipher: name, protocol version, key exchange, authentication, encryption, MAC and
// export mark. `padded` chooses the column format of the cipher list over the one-line format of
// the connection summary. Returns null (and writes nothing) for a buffer under 128 bytes or no
// cipher.
constexpr size_t kCipherDescriptionSize = 128;
const char* describeCipher(const SSL_CIPHER* cipher, bool padded, char* buf, size_t size);

// Logs the heading and one line per cipher the shared context offers.
void logCipherDescriptions(const char* heading);
// Logs the "connection to" line of one SSL side after its handshake. Address and port are in
// network byte order, as `connectInfo` keeps them; the line shows the port in host order.
void logConnectionSummary(const char* direction, SSL* ssl, uint32_t role, uint32_t address,
                          uint16_t port);

// Loads the rule's certificate and private key (PEM, DER or PKCS#12) into the SSL object, logging
// failures; the connection goes on either way. An empty key file means none.
void loadCertAndKey(SSL* ssl, const std::string& certFile, const std::string& keyFile);
// Forgets the certificates and keys kept from earlier loads (the next connection reads its files
// again); part of resetting the session caches.
void forgetLoadedCertificates();
// Adds the trusted CA certificates ("ssl.ca_cert", the HKLM CA key, the system trust store) to the
// context's store and lists them.
void loadCaCertificates(SSL_CTX* ctx, const config::Settings& settings);

// Empties the destination session cache and the server-side session cache, and forgets the kept
// certificates and keys.
void resetSessionCaches();
// Flushes the server-side session cache of the shared context.
void flushServerSessions();

// Identifies an outgoing SSL side for session reuse: a session is only resumed by a connection
// that would have made the same handshake (a session made without checking the server is never
// offered by a rule that checks it).
struct DestSessionKey {
  uint32_t address = 0;  // network byte order
  uint16_t port = 0;     // network byte order
  std::string serverName;
  uint32_t verifyServer = 0;
  std::string certFile;
};
// A saved session for this destination (a new reference), or null.
SslSessionPtr destSessionLookup(const DestSessionKey& key);
// Saves the session of a successful handshake; a later one replaces it. Sessions that cannot be
// resumed are not kept.
void destSessionStore(const DestSessionKey& key, SSL_SESSION* session);
// Saves the current session of an outgoing SSL object whose application data (SSL_set_app_data)
// points to its DestSessionKey; the key must outlive the object. Called after the handshake and
// again when the connection ends, since TLS 1.3 tickets arrive after the handshake. The shared
// context keeps no client sessions itself: they would share the server cache's session ids.
void rememberDestSession(SSL* ssl);

}  // namespace relay
