// SOCKS version 4 on both sides of the relay, on blocking sockets, from the connection threads.
//
// As a client, `socksConnect` sends outgoing connections through the SOCKS server of the settings
// ("socks.enable", "socks.server", "socks.port"), except those to the local host and the host's
// own networks. As a server, `socksAccept` reads one CONNECT request from a client that names its
// destination (rules in destination mode 1); SOCKS 4a requests (address 0.0.0.x and a host name
// after the user ID) are resolved by the relay. Addresses are IPv4 in network byte order, ports
// 16-bit in network byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/settings.h"

namespace proxy {

// Socket errors of a refusing SOCKS server: this base plus the reply code (20091 to 20093).
constexpr int kSocksErrorBase = 20000;
// The user ID the relay sends.
constexpr char kSocksUserId[] = "BKL";

// True when a connection to this address goes direct: 127.0.0.1 or one of the local networks.
bool socksBypass(const config::Settings& s, uint32_t address);

// Connects the socket to the destination, through the SOCKS server when one is set and the
// destination is not local. Returns 0, or a Winsock code: the connect error, 20000 plus the
// server's reply code, or the receive error of a short or failed exchange.
int socksConnect(const config::Settings& s, int fd, uint32_t address, uint16_t port);

struct SocksRequest {
  uint32_t address = 0;  // network byte order
  uint16_t port = 0;     // network byte order
  std::string host;      // the name of a SOCKS 4a request, empty otherwise
};

// Reads one SOCKS 4 (or 4a) CONNECT request on a freshly accepted client socket, the whole of it
// within the request time-out ("tcp.timeout", and 120 seconds when that sets none). Returns 0 with
// the destination, to be answered with `socksAnswer` once the destination is connected (or not);
// or -1, answered with code 91 or 93 where the request was complete enough to answer. A request
// for 0.0.0.0, or a name that does not resolve, is refused.
int socksAccept(const config::Settings& s, int fd, SocksRequest* request);
// Answers the request: 90 granted, or 91 refused.
void socksAnswer(int fd, bool granted);

}  // namespace proxy
