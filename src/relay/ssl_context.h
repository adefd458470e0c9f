// The SSL context of a relay configuration and what is configured on it: protocol versions,
// callbacks, the verify policy, cipher list, trusted CA certificates; the two session caches and
// the kept certificates and keys; the loading of a rule's certificate and key into an SSL object;
// the cipher-description and connection-summary report lines. Internal to the relay.
//
// Each configuration (relay/relay_config.h) builds its own context whole (`buildSharedContext`,
// then CRLs, CA certificates and the cipher list) before it is published, so nothing ever changes
// a context that connections use; a connection keeps the context of the configuration it started
// with until it ends.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"
#include "log/openssl_ptr.h"
#include "platform/hive_files.h"
#include "platform/ip_address.h"

namespace relay {

using ::SslCtxPtr;
using ::SslPtr;
using ::SslSessionPtr;

struct RelayState;

// A new context made from the settings' protocol switches, with the password, verify and
// client-certificate callbacks, the verify policy and the relay's state attached; null (logged)
// when none can be made.
SslCtxPtr buildSharedContext(const config::Settings& settings,
                             const std::shared_ptr<RelayState>& state);
// A new SSL object of the context; null (with the error dump logged) when none can be made.
SslPtr newSharedSsl(SSL_CTX* ctx);

// The session figures of a context, with those of the contexts it replaced added.
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
// The figures of the contexts a relay's configurations replaced, carried into its status line.
class RetiredFigures {
 public:
  // Adds the figures of a context that serves no new connections any more.
  void retire(SSL_CTX* ctx);
  // The retired figures with those of the current context added.
  SessionFigures with(SSL_CTX* current) const;

 private:
  mutable std::mutex mutex_;  // guards sum_
  SessionFigures sum_;
};

// The options that the three protocol switches give (0x01000000 no SSLv2, 0x02000000 no SSLv3,
// 0x04000000 no TLSv1 in the old numbering); the TLS switch governs every TLS version.
uint32_t protocolOptionBits(uint32_t enableSsl2, uint32_t enableSsl3, uint32_t enableTls1);

// Sets the context's suites from a "ssl.cipher" text (a friendly name stands for its rule): TLS
// 1.3 suite names with the library's suite call, the rest with its cipher list. False (nothing
// logged) when the library refuses a part.
bool setCipherText(SSL_CTX* ctx, const std::string& setting);
// Sets the context's suites from "ssl.cipher" (unset keeps the library's defaults), logging a
// failure. Returns false when the text was refused.
bool applyCipherList(SSL_CTX* ctx, const config::Settings& settings);
// The distinct cipher names a fresh SSL object of the context offers, in offer order.
std::vector<std::string> contextCipherNames(SSL_CTX* ctx);

// Describes a cipher: name, protocol version, key exchange, authentication, encryption, MAC and
// export mark. `padded` chooses the column format of the cipher list over the one-line format of
// the connection summary. Returns null (and writes nothing) for a buffer under 128 bytes or no
// cipher.
constexpr size_t kCipherDescriptionSize = 128;
const char* describeCipher(const SSL_CIPHER* cipher, bool padded, char* buf, size_t size);

// Logs the heading and one line per cipher the context offers.
void logCipherDescriptions(SSL_CTX* ctx, const char* heading);
// Logs the "connection to" line of one SSL side after its handshake. Address and port are in
// network byte order, as `connectInfo` keeps them; the line shows the port in host order.
void logConnectionSummary(const char* direction, SSL* ssl, uint32_t role,
                          const platform::IpAddress& address, uint16_t port);

// Certificates and keys that loaded whole, so that each connection does not read and decrypt its
// files again. An entry serves only while both files are as they were when it was read (the same
// file, size, and modification and change times: a renewed file renamed over the old one is read
// again even when its size and modification time are the same); failures are never kept, so
// they are logged for every connection that meets them. Any thread.
class LoadedPairs {
 public:
  using FileIdentity = platform::FileIdentity;  // of platform::currentIdentity: one stat a file

  // True when the pair was kept and is now in the SSL object.
  bool use(SSL* ssl, const std::string& certFile, const std::string& keyFile);
  // Keeps the SSL object's certificate and key, read from files of these identities.
  void remember(SSL* ssl, const std::string& certFile, const std::string& keyFile,
                const FileIdentity& cert, const FileIdentity& key);
  // Gives the SSL object of a kept pair the CA certificates its certificate goes out with: the
  // chain to it in the store of `configuration`, without the root, which the peer has to hold
  // already. Built once per pair and configuration; left to each handshake otherwise (which
  // builds the chain again every time and sends the root too).
  void sendChain(SSL* ssl, const std::string& certFile, const std::string& keyFile,
                 uint64_t configuration);
  void clear();

 private:
  struct Pair {
    FileIdentity cert;
    FileIdentity key;
    X509Ptr certificate;
    EvpPkeyPtr privateKey;
    X509StackPtr chain;  // what sendChain built, for `chainConfiguration`
    uint64_t chainConfiguration = 0;
  };
  // Called with mutex_ held: the kept pair whose certificate `ssl` holds, or null.
  Pair* pairServing(const SSL* ssl, const std::string& certFile, const std::string& keyFile);

  std::mutex mutex_;  // guards pairs_
  std::map<std::pair<std::string, std::string>, Pair> pairs_;
};

// Loads the rule's certificate and private key (PEM, DER or PKCS#12) into the SSL object, logging
// failures; the connection goes on either way. An empty key file means none. A pair that loaded
// whole is kept in `kept` for the next connection, and a kept pair's certificate goes out with
// its chain in the store of `configuration` (LoadedPairs::sendChain).
void loadCertAndKey(SSL* ssl, LoadedPairs* kept, const std::string& certFile,
                    const std::string& keyFile, uint64_t configuration);
// Adds the trusted CA certificates ("ssl.ca_cert", the HKLM CA key, the system trust store) to the
// context's store and lists them.
void loadCaCertificates(SSL_CTX* ctx, const config::Settings& settings);

// Identifies an outgoing SSL side for session reuse: a session is only resumed by a connection
// that would have made the same handshake (a session made without checking the server is never
// offered by a rule that checks it).
struct DestSessionKey {
  // The configuration the session was made under: a session checked against one configuration's
  // trust is never resumed under another's.
  uint64_t configuration = 0;
  platform::IpAddress address;
  uint16_t port = 0;  // network byte order
  std::string serverName;
  uint32_t verifyServer = 0;
  std::string certFile;
  bool operator<(const DestSessionKey& other) const;
};

// The sessions of a relay's outgoing SSL sides, one per destination key, for the configuration
// that runs. Any thread.
class DestSessionCache {
 public:
  // A saved session for this destination (a new reference), or null.
  SslSessionPtr lookup(const DestSessionKey& key);
  // Saves the session of a successful handshake; a later one replaces it. Sessions that cannot be
  // resumed are not kept, nor those of a configuration that no longer runs (a connection of the
  // old one that ends after a restart).
  void store(const DestSessionKey& key, SSL_SESSION* session);
  // Empties the cache; from now on it keeps the sessions of `configuration` only.
  void clear(uint64_t configuration);
  void clear();

 private:
  std::mutex mutex_;  // guards sessions_ and configuration_
  std::map<DestSessionKey, SslSessionPtr> sessions_;
  uint64_t configuration_ = 0;
};

// Saves the current session of an outgoing SSL object whose application data (SSL_set_app_data)
// points to its DestSessionKey (the key must outlive the object) into the cache of its relay.
// Called after the handshake and again when the connection ends, since TLS 1.3 tickets arrive
// after the handshake. A context keeps no client sessions itself: they would share the server
// cache's session ids.
void rememberDestSession(SSL* ssl);

// Flushes the server-side session cache of the context.
void flushServerSessions(SSL_CTX* ctx);

}  // namespace relay
