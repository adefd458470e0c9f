#include "platform/ip_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

namespace platform {

namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

IpAddress fromIn6(const in6_addr& in6) {
  IpAddress address;
  if (std::memcmp(in6.s6_addr, kMappedPrefix, sizeof kMappedPrefix) == 0) {
    std::memcpy(address.bytes, in6.s6_addr + 12, 4);
    return address;
  }
  address.v6 = true;
  std::memcpy(address.bytes, in6.s6_addr, 16);
  return address;
}

}  // namespace

IpAddress IpAddress::ipv4(uint32_t networkOrder) {
  IpAddress address;
  std::memcpy(address.bytes, &networkOrder, 4);
  return address;
}

IpAddress IpAddress::ipv6(const uint8_t* bytes) {
  in6_addr in6{};
  std::memcpy(in6.s6_addr, bytes, 16);
  return fromIn6(in6);
}

uint32_t IpAddress::ipv4() const {
  if (v6) return 0;
  uint32_t n = 0;
  std::memcpy(&n, bytes, 4);
  return n;
}

bool IpAddress::isZero() const {
  for (uint8_t b : bytes) {
    if (b != 0) return false;
  }
  return true;
}

bool parseIpv6(std::string_view text, IpAddress* address) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  char buffer[kAddressTextSize];
  if (text.empty() || text.size() >= sizeof buffer || text.find(':') == std::string_view::npos) {
    return false;
  }
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  in6_addr in6{};
  if (::inet_pton(AF_INET6, buffer, &in6) != 1) return false;
  *address = fromIn6(in6);
  return true;
}

void formatIp(const IpAddress& address, char (&text)[kAddressTextSize]) {
  if (!address.v6) {
    const uint8_t* b = address.bytes;
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return;
  }
  if (::inet_ntop(AF_INET6, address.bytes, text, sizeof text) == nullptr) text[0] = '\0';
}

EndpointText endpointText(const IpAddress& address, int port, char separator) {
  char ip[kAddressTextSize];
  formatIp(address, ip);
  EndpointText out;
  if (address.v6) {
    std::snprintf(out.text, sizeof out.text, "[%s]:%d", ip, port);
  } else {
    std::snprintf(out.text, sizeof out.text, "%s%c%d", ip, separator, port);
  }
  return out;
}

socklen_t toSocketAddress(const IpAddress& address, uint16_t port, sockaddr_storage* out) {
  std::memset(out, 0, sizeof *out);
  if (address.v6) {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(out);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = port;
    std::memcpy(sin6->sin6_addr.s6_addr, address.bytes, 16);
    return sizeof *sin6;
  }
  auto* sin = reinterpret_cast<sockaddr_in*>(out);
  sin->sin_family = AF_INET;
  sin->sin_port = port;
  sin->sin_addr.s_addr = address.ipv4();
  return sizeof *sin;
}

bool fromSocketAddress(const sockaddr* in, IpAddress* address, uint16_t* port) {
  if (in->sa_family == AF_INET) {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(in);
    *address = IpAddress::ipv4(sin->sin_addr.s_addr);
    *port = sin->sin_port;
    return true;
  }
  if (in->sa_family == AF_INET6) {
    const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(in);
    *address = fromIn6(sin6->sin6_addr);
    *port = sin6->sin6_port;
    return true;
  }
  return false;
}

}  // namespace platform
