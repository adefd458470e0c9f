#include "proxy/proxy_header.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "log/log.h"

namespace proxy {

namespace {

constexpr uint8_t kSignature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                    0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr std::string_view kV1Start = "PROXY ";
constexpr size_t kMaxV1 = 107;

bool startsLike(const uint8_t* data, size_t size, const uint8_t* prefix, size_t length) {
  return std::memcmp(data, prefix, std::min(size, length)) == 0;
}

// A decimal port without leading zeros.
bool readPort(std::string_view text, uint16_t* port) {
  if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return false;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value > 65535) return false;
  *port = htons(static_cast<uint16_t>(value));
  return true;
}

// An address of the family the line names, in its canonical text.
bool readAddress(std::string_view text, bool v6, platform::IpAddress* address) {
  char buffer[platform::kAddressTextSize];
  if (text.empty() || text.size() >= sizeof buffer) return false;
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  if (v6) {
    in6_addr in6{};
    if (::inet_pton(AF_INET6, buffer, &in6) != 1) return false;
    *address = platform::IpAddress::ipv6(in6.s6_addr);
    return true;
  }
  in_addr in{};
  if (::inet_pton(AF_INET, buffer, &in) != 1) return false;
  *address = platform::IpAddress::ipv4(in.s_addr);
  return true;
}

HeaderParse parseV1(std::string_view line, ProxyHeader* header, size_t* used, std::string* why) {
  const size_t end = line.find("\r\n");
  if (end == std::string_view::npos) {
    if (line.size() >= kMaxV1) {
      *why = "a version 1 header without its line end in 107 bytes";
      return HeaderParse::kBad;
    }
    if (line.find('\n') != std::string_view::npos) {
      *why = "a version 1 header that ends without a carriage return";
      return HeaderParse::kBad;
    }
    return HeaderParse::kNeedMore;
  }
  if (end + 2 > kMaxV1) {
    *why = "a version 1 header longer than 107 bytes";
    return HeaderParse::kBad;
  }
  *used = end + 2;
  std::string_view rest = line.substr(kV1Start.size(), end - kV1Start.size());
  if (rest == "UNKNOWN" || rest.rfind("UNKNOWN ", 0) == 0) {
    header->local = true;
    return HeaderParse::kComplete;
  }
  std::string_view fields[5];
  for (int i = 0; i < 5; ++i) {
    const size_t space = i < 4 ? rest.find(' ') : std::string_view::npos;
    if (i < 4 && space == std::string_view::npos) {
      *why = "a version 1 header with fewer than five fields";
      return HeaderParse::kBad;
    }
    fields[i] = rest.substr(0, space);
    rest = i < 4 ? rest.substr(space + 1) : std::string_view();
  }
  const bool v6 = fields[0] == "TCP6";
  if (!v6 && fields[0] != "TCP4") {
    *why = "a version 1 header for neither TCP4 nor TCP6";
    return HeaderParse::kBad;
  }
  if (!readAddress(fields[1], v6, &header->source) ||
      !readAddress(fields[2], v6, &header->destination)) {
    *why = "a version 1 header with an address that is not of its family";
    return HeaderParse::kBad;
  }
  if (!readPort(fields[3], &header->sourcePort) || !readPort(fields[4], &header->destinationPort)) {
    *why = "a version 1 header with a port that is no port";
    return HeaderParse::kBad;
  }
  header->local = false;
  return HeaderParse::kComplete;
}

HeaderParse parseV2(const uint8_t* data, size_t size, ProxyHeader* header, size_t* used,
                    std::string* why) {
  if (size < 16) return HeaderParse::kNeedMore;
  const uint8_t version = data[12] >> 4;
  const uint8_t command = data[12] & 0x0F;
  if (version != 2 || command > 1) {
    *why = "a version 2 header of another version or command";
    return HeaderParse::kBad;
  }
  const size_t length = static_cast<size_t>(data[14]) << 8 | data[15];
  if (16 + length > kMaxProxyHeader) {
    *why = "a version 2 header longer than 1040 bytes";
    return HeaderParse::kBad;
  }
  if (size < 16 + length) return HeaderParse::kNeedMore;
  *used = 16 + length;
  const uint8_t family = data[13];
  const uint8_t* a = data + 16;
  header->local = true;
  if (command == 0) return HeaderParse::kComplete;  // LOCAL: the balancer's own connection
  if (family == 0x11) {                             // TCP over IPv4
    if (length < 12) {
      *why = "a version 2 header too short for its IPv4 addresses";
      return HeaderParse::kBad;
    }
    uint32_t source = 0;
    uint32_t destination = 0;
    std::memcpy(&source, a, 4);
    std::memcpy(&destination, a + 4, 4);
    header->source = platform::IpAddress::ipv4(source);
    header->destination = platform::IpAddress::ipv4(destination);
    std::memcpy(&header->sourcePort, a + 8, 2);
    std::memcpy(&header->destinationPort, a + 10, 2);
    header->local = false;
  } else if (family == 0x21) {  // TCP over IPv6
    if (length < 36) {
      *why = "a version 2 header too short for its IPv6 addresses";
      return HeaderParse::kBad;
    }
    header->source = platform::IpAddress::ipv6(a);
    header->destination = platform::IpAddress::ipv6(a + 16);
    std::memcpy(&header->sourcePort, a + 32, 2);
    std::memcpy(&header->destinationPort, a + 34, 2);
    header->local = false;
  }
  // Other families (UDP, UNIX sockets, unspecified): the connection's own addresses stand.
  return HeaderParse::kComplete;
}

}  // namespace

HeaderParse parseProxyHeader(const uint8_t* data, size_t size, ProxyHeader* header, size_t* used,
                             std::string* why) {
  if (size == 0) return HeaderParse::kNeedMore;
  if (startsLike(data, size, kSignature, sizeof kSignature)) {
    return parseV2(data, size, header, used, why);
  }
  if (startsLike(data, size, reinterpret_cast<const uint8_t*>(kV1Start.data()), kV1Start.size())) {
    if (size < kV1Start.size()) return HeaderParse::kNeedMore;
    return parseV1(std::string_view(reinterpret_cast<const char*>(data), size), header, used, why);
  }
  *why = "no PROXY header";
  return HeaderParse::kBad;
}

bool readProxyHeader(int fd, platform::WaitBudget* budget, ProxyHeader* header, std::string* why) {
  uint8_t bytes[kMaxProxyHeader];
  size_t taken = 0;
  // Each round takes at least one byte, or ends.
  for (size_t round = 0; round <= kMaxProxyHeader; ++round) {
    int err = 0;
    const long peeked =
        platform::receiveOnce(fd, bytes + taken, sizeof bytes - taken, true, budget, &err);
    if (peeked <= 0) {
      *why = peeked == 0       ? "the connection closed before its PROXY header ended"
             : budget->spent() ? "no whole PROXY header within the receive time-out"
                               : socket_error_text(err);
      return false;
    }
    size_t used = 0;
    const HeaderParse result =
        parseProxyHeader(bytes, taken + static_cast<size_t>(peeked), header, &used, why);
    if (result == HeaderParse::kBad) return false;
    // Every byte peeked belongs to the header while it is not whole; once it is, only its own.
    const size_t take =
        result == HeaderParse::kComplete ? used - taken : static_cast<size_t>(peeked);
    platform::WaitBudget there(0);  // the bytes are there already
    if (platform::receiveOnce(fd, bytes + taken, take, false, &there, &err) !=
        static_cast<long>(take)) {
      *why = "the PROXY header could not be taken off the connection";
      return false;
    }
    taken += take;
    if (result == HeaderParse::kComplete) return true;
  }
  *why = "a PROXY header longer than the relay reads";
  return false;
}

std::string makeProxyHeader(int version, const platform::IpAddress& source, uint16_t sourcePort,
                            const platform::IpAddress& destination, uint16_t destinationPort) {
  platform::IpAddress from = source;
  platform::IpAddress to = destination;
  // Both of one family: an IPv4 address beside an IPv6 one is written as ::ffff:a.b.c.d.
  for (platform::IpAddress* a : {&from, &to}) {
    if (a->v6 || (!from.v6 && !to.v6)) continue;
    const uint32_t v4 = a->ipv4();
    *a = platform::IpAddress();
    a->v6 = true;
    a->bytes[10] = a->bytes[11] = 0xFF;
    std::memcpy(a->bytes + 12, &v4, 4);
  }
  const bool v6 = from.v6;
  if (version == 1) {
    char a[platform::kAddressTextSize];
    char b[platform::kAddressTextSize];
    platform::formatIp(from, a);
    platform::formatIp(to, b);
    return std::string("PROXY ") + (v6 ? "TCP6 " : "TCP4 ") + a + " " + b + " " +
           std::to_string(ntohs(sourcePort)) + " " + std::to_string(ntohs(destinationPort)) +
           "\r\n";
  }
  std::string out(reinterpret_cast<const char*>(kSignature), sizeof kSignature);
  const size_t size = v6 ? 16 : 4;
  out += static_cast<char>(0x21);  // version 2, PROXY
  out += static_cast<char>(v6 ? 0x21 : 0x11);
  const size_t length = 2 * size + 4;
  out += static_cast<char>(length >> 8);
  out += static_cast<char>(length & 0xFF);
  out.append(reinterpret_cast<const char*>(from.bytes), size);
  out.append(reinterpret_cast<const char*>(to.bytes), size);
  out.append(reinterpret_cast<const char*>(&sourcePort), 2);
  out.append(reinterpret_cast<const char*>(&destinationPort), 2);
  return out;
}

}  // namespace proxy
