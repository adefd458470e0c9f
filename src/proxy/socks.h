// SOCKS version 4 on both sides of the relay, on blocking sockets, from the connection threads.
//
// As a client, `socksConnect` sends outgoing connections through the SOCKS server of the settings
// ("socks.enable", "socks.server", "socks.port"), except those to the local host and the host's
// own networks. As a server, `socksAccept` reads one CONNECT request from a client that names its
// destination (rules in destination mode 1); SOCKS 4a requests (address 0.0.0.x and a host name
// after the user ID) are resolved by the relay, to addresses of either family. A SOCKS 4 request
// carries an IPv4 address only; ports are 16-bit in network byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/settings.h"
#include "platform/ip_address.h"
#include "platform/net.h"

namespace proxy {

// Socket errors of a refusing SOCKS server: this base plus the reply code (20091 to 20093).
constexpr int kSocksErrorBase = 20000;
// The user ID the relay sends.
constexpr char kSocksUserId[] = "BKL";

// True when a connection to this address goes direct: 127.0.0.1, ::1 or one of the local
// (IPv4) networks.
bool socksBypass(const config::Settings& s, const platform::IpAddress& address);

// Connects a new socket to the destination (`addresses` in order, as platform::connectFirst
// does), or through the SOCKS server when one is set and the first address is not local: the
// request then names the first IPv4 address, and a destination with none fails with 10047 (a
// SOCKS 4 server cannot be asked for an IPv6 one). `prepare` sets each socket's options. Returns
// 0 with the socket and the address asked for, or a Winsock code: the connect error, 20000 plus
// the server's reply code, or the receive error of a short or failed exchange.
int socksConnect(const config::Settings& s, const std::vector<platform::IpAddress>& addresses,
                 uint16_t port, const std::function<void(int fd)>& prepare,
                 platform::Connected* out);

struct SocksRequest {
  std::vector<platform::IpAddress> addresses;  // one, or every address of a SOCKS 4a name
  uint16_t port = 0;                           // network byte order
  std::string host;                            // the name of a SOCKS 4a request, empty otherwise
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
