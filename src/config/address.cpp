#include "config/address.h"

#include <arpa/inet.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/system.h"

namespace config {

namespace {

constexpr uint32_t kMalformedQuad = 0xFFFFFFFFu;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads one decimal part of a dotted quad; leading zeros carry no meaning.
bool readQuadPart(std::string_view* rest, uint32_t* value) {
  size_t i = 0;
  uint32_t v = 0;
  while (i < rest->size() && isDigit((*rest)[i])) {
    v = v * 10 + static_cast<uint32_t>((*rest)[i] - '0');
    if (v > 255) return false;
    ++i;
  }
  if (i == 0) return false;
  *value = v;
  rest->remove_prefix(i);
  return true;
}

// A well-formed quad's address (network byte order); false for anything else.
bool readDottedQuad(std::string_view text, uint32_t* address) {
  uint32_t host = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (text.empty() || text.front() != '.') return false;
      text.remove_prefix(1);
    }
    uint32_t value = 0;
    if (!readQuadPart(&text, &value)) return false;
    host = (host << 8) | value;
  }
  if (!text.empty()) return false;
  *address = htonl(host);
  return true;
}

IpAddress parseDottedQuad(std::string_view text) {
  uint32_t address = 0;
  return IpAddress::ipv4(readDottedQuad(text, &address) ? address : kMalformedQuad);
}

bool isKeyword(std::string_view text) {
  return text == "Local Machine Only" || text == "All" || text == "A net" || text == "B net" ||
         text == "C net";
}

// Keywords, dotted quads and IPv6 texts: everything but a host name.
IpAddress literalOf(std::string_view text) {
  if (text.empty() || text == "All") return IpAddress();
  if (text == "Local Machine Only") return IpAddress::ipv4(htonl(0xFFFFFFFFu));
  if (text == "A net") return IpAddress::ipv4(htonl(0xFF000000u));
  if (text == "B net") return IpAddress::ipv4(htonl(0xFFFF0000u));
  if (text == "C net") return IpAddress::ipv4(htonl(0xFFFFFF00u));
  if (text.find(':') != std::string_view::npos) {
    IpAddress address;
    return platform::parseIpv6(text, &address) ? address : IpAddress::ipv4(kMalformedQuad);
  }
  return parseDottedQuad(text);
}

bool isHostName(std::string_view text) {
  return !text.empty() && !isDigit(text.front()) && !isKeyword(text) &&
         text.find(':') == std::string_view::npos;
}

// "64" or "/64": one to three digits, a leading slash allowed.
bool prefixLength(std::string_view text, int* length) {
  if (!text.empty() && text.front() == '/') text.remove_prefix(1);
  if (text.empty() || text.size() > 3) return false;
  int value = 0;
  for (char c : text) {
    if (!isDigit(c)) return false;
    value = value * 10 + (c - '0');
  }
  *length = value;
  return true;
}

}  // namespace

IpAddress parseAddress(std::string_view text) {
  if (!isHostName(text)) return literalOf(text);
  std::vector<IpAddress> found;
  return platform::resolveHost(std::string(text), &found) ? found.front() : IpAddress();
}

bool resolveAddresses(std::string_view text, std::vector<IpAddress>* addresses) {
  addresses->clear();
  if (!isHostName(text)) {
    addresses->push_back(literalOf(text));
    return true;
  }
  return platform::resolveHost(std::string(text), addresses);
}

bool reachableAddresses(std::string_view text, std::vector<IpAddress>* addresses) {
  if (!resolveAddresses(text, addresses)) return false;
  std::erase_if(*addresses, [](const IpAddress& a) {
    return a.isZero() || a == IpAddress::ipv4(kMalformedQuad);
  });
  return !addresses->empty();
}

bool parseMask(std::string_view text, bool v6Source, IpAddress* mask, std::string* why) {
  int length = 0;
  const bool prefix = prefixLength(text, &length);
  if (!v6Source) {
    if (prefix) {
      if (why != nullptr) *why = "a prefix length is a mask for IPv6 sources only";
      return false;
    }
    *mask = parseAddress(text);
    return true;
  }
  if (text == "All") {
    *mask = IpAddress();
    return true;
  }
  if (!prefix || length > 128) {
    if (why != nullptr) *why = "an IPv6 source takes a prefix length from 0 to 128 as its mask";
    return false;
  }
  IpAddress bits;
  bits.v6 = true;
  for (int i = 0; i < 16; ++i) {
    const int left = length - i * 8;
    bits.bytes[i] = left >= 8 ? 0xFF : left <= 0 ? 0 : static_cast<uint8_t>(0xFF << (8 - left));
  }
  *mask = bits;
  return true;
}

bool maskedMatch(const IpAddress& source, const IpAddress& mask, const IpAddress& client) {
  if (mask.isZero()) return true;
  if (source.v6 != client.v6) return false;
  const int size = source.v6 ? 16 : 4;
  for (int i = 0; i < size; ++i) {
    if ((source.bytes[i] & mask.bytes[i]) != (client.bytes[i] & mask.bytes[i])) return false;
  }
  return true;
}

uint16_t parsePort(std::string_view text) {
  if (text.empty()) return 0;
  if (text == "socks") return htons(1080);
  uint32_t value = 0;
  size_t digits = 0;
  while (digits < text.size() && isDigit(text[digits]) && value <= 65535) {
    value = value * 10 + static_cast<uint32_t>(text[digits] - '0');
    ++digits;
  }
  if (digits > 0 && value > 65535) return 0;
  if (value != 0) return htons(static_cast<uint16_t>(value));
  return htons(platform::tcpServicePort(std::string(text)));
}

bool isPortText(std::string_view text) {
  if (text.empty()) return false;
  if (!isDigit(text.front())) return parsePort(text) != 0;
  for (char c : text) {
    if (!isDigit(c)) return false;
  }
  return parsePort(text) != 0;
}

bool literalAddress(std::string_view text, IpAddress* address) {
  if (isHostName(text)) return false;
  *address = literalOf(text);
  return true;
}

bool dottedQuad(std::string_view text, uint32_t* address) { return readDottedQuad(text, address); }

}  // namespace config
