// The PROXY protocol header (versions 1 and 2) that a load balancer sends before a client's
// first byte, naming the client it took the connection from; and the one the relay sends ahead
// of an outgoing connection for the same reason.
//
// A header is parsed from exactly what has arrived and read off the socket up to its last byte,
// never past it: what follows is the client's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ip_address.h"
#include "platform/net.h"

namespace proxy {

// Longest header read: a version 1 line is at most 107 bytes; a version 2 header is 16 bytes and
// its addresses and extensions, here up to 1024 bytes.
constexpr size_t kMaxProxyHeader = 16 + 1024;

struct ProxyHeader {
  // A LOCAL (version 2) or UNKNOWN (version 1) header, or one for another protocol than TCP:
  // the balancer speaks for itself, and the connection's own addresses stand.
  bool local = true;
  platform::IpAddress source;
  uint16_t sourcePort = 0;  // network byte order
  platform::IpAddress destination;
  uint16_t destinationPort = 0;  // network byte order
};

enum class HeaderParse { kComplete, kNeedMore, kBad };

// Parses the bytes that arrived so far. kComplete: the header is whole, its length in *used;
// kNeedMore: every byte given belongs to the header, which is not whole yet; kBad: no header,
// with the reason in *why.
HeaderParse parseProxyHeader(const uint8_t* data, size_t size, ProxyHeader* header, size_t* used,
                             std::string* why);

// Reads one header from the socket within the budget. True with the header; false with the
// reason (a malformed header, a connection closed or silent before its end).
bool readProxyHeader(int fd, platform::WaitBudget* budget, ProxyHeader* header, std::string* why);

// The header of `version` (1 or 2) for a client at source that reached destination; ports in
// network byte order. Addresses of two families are both written as IPv6.
std::string makeProxyHeader(int version, const platform::IpAddress& source, uint16_t sourcePort,
                            const platform::IpAddress& destination, uint16_t destinationPort);

}  // namespace proxy
