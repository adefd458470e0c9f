// What the data pump's tests share: connected sockets, test data, and SSL contexts with a
// certificate made in memory.
#pragma once

#include <openssl/ssl.h>

#include <string>
#include <utility>

#include "platform/unique_fd.h"
#include "relay/ssl_context.h"

namespace pump_test {

// Two connected TCP sockets on 127.0.0.1; the first is the peer, with 10 s time-outs.
std::pair<platform::UniqueFd, platform::UniqueFd> tcpPair();

// `size` bytes of a pattern that differs with `seed`.
std::string pattern(size_t size, unsigned seed);

// A self-signed EC certificate made in memory, and contexts for both roles. With
// `quietShutdown` (the relay's own context does so) neither sends close_notify.
struct TlsContexts {
  relay::SslCtxPtr server{SSL_CTX_new(TLS_server_method())};
  relay::SslCtxPtr client{SSL_CTX_new(TLS_client_method())};
  bool ok = false;

  explicit TlsContexts(bool quietShutdown = true);
};

// Both handshakes on blocking sockets, as the connection handler makes them.
bool handshake(SSL* client, int clientFd, SSL* server, int serverFd);

}  // namespace pump_test
