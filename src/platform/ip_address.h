// IPv4 and IPv6 addresses as the relay carries them from the accept to the log line.
//
// An IPv4 address keeps its number in network byte order in its first four bytes, an IPv6 one its
// sixteen bytes. A socket address of the form ::ffff:a.b.c.d is read as the IPv4 address it
// carries, so that a client reaching a dual-stack listener over IPv4 looks as it always did: its
// rules match, its log lines read the same.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct IpAddress {
  bool v6 = false;
  uint8_t bytes[16] = {};

  static IpAddress ipv4(uint32_t networkOrder);
  // Sixteen bytes; ::ffff:a.b.c.d gives that IPv4 address.
  static IpAddress ipv6(const uint8_t* bytes);
  // The IPv4 number in network byte order; 0 for an IPv6 address.
  uint32_t ipv4() const;
  // 0.0.0.0 or ::, "any address" to bind and "no address" to connect.
  bool isZero() const;
  bool operator==(const IpAddress& other) const = default;
};

// Longest text of an address (an IPv6 one with an IPv4 tail) and of "[address]:port".
constexpr size_t kAddressTextSize = 46;
constexpr size_t kEndpointTextSize = kAddressTextSize + 8;

// An IPv6 address in any of its usual forms ("::1", "2001:db8::5", "::ffff:192.0.2.1", with or
// without brackets); a mapped IPv4 one gives that IPv4 address. False for anything else.
bool parseIpv6(std::string_view text, IpAddress* address);
// The usual text: a dotted quad, or the shortest IPv6 form.
void formatIp(const IpAddress& address, char (&text)[kAddressTextSize]);
// "a.b.c.d<separator>port" for IPv4 (the separator is '.' or ':' as the log line has it),
// "[address]:port" for IPv6; the port in host byte order.
struct EndpointText {
  char text[kEndpointTextSize];
};
EndpointText endpointText(const IpAddress& address, int port, char separator);

// Socket addresses; the port in network byte order.
socklen_t toSocketAddress(const IpAddress& address, uint16_t port, sockaddr_storage* out);
// False for a family other than IPv4 and IPv6.
bool fromSocketAddress(const sockaddr* in, IpAddress* address, uint16_t* port);

}  // namespace platform
