#include "relay/pump_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdint>
#include <memory>
#include <thread>

namespace pump_test {

using platform::UniqueFd;

std::pair<UniqueFd, UniqueFd> tcpPair() {
  UniqueFd listener(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener.get(), 1) != 0 ||
      getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return {};
  }
  UniqueFd peer(socket(AF_INET, SOCK_STREAM, 0));
  if (connect(peer.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return {};
  UniqueFd side(accept(listener.get(), nullptr, nullptr));
  timeval tv{10, 0};
  setsockopt(peer.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(peer.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return {std::move(peer), std::move(side)};
}

std::string pattern(size_t size, unsigned seed) {
  std::string data(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : data) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return data;
}

TlsContexts::TlsContexts(bool quietShutdown) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  if (!key || !cert || !server || !client) return;
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509_set_pubkey(cert.get(), key.get());
  ok = X509_sign(cert.get(), key.get(), EVP_sha256()) > 0 &&
       SSL_CTX_use_certificate(server.get(), cert.get()) == 1 &&
       SSL_CTX_use_PrivateKey(server.get(), key.get()) == 1;
  SSL_CTX_set_quiet_shutdown(server.get(), quietShutdown ? 1 : 0);
  SSL_CTX_set_quiet_shutdown(client.get(), quietShutdown ? 1 : 0);
}

bool handshake(SSL* client, int clientFd, SSL* server, int serverFd) {
  SSL_set_fd(client, clientFd);
  SSL_set_fd(server, serverFd);
  bool accepted = false;
  std::thread acceptor([&] { accepted = SSL_accept(server) == 1; });
  const bool connected = SSL_connect(client) == 1;
  acceptor.join();
  return connected && accepted;
}

}  // namespace pump_test
