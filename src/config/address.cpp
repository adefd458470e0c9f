#include "config/address.h"

#include <arpa/inet.h>

#include <cstdio>
#include <string>

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

uint32_t parseDottedQuad(std::string_view text) {
  uint32_t address = 0;
  return readDottedQuad(text, &address) ? address : kMalformedQuad;
}

}  // namespace

uint32_t parseAddress(std::string_view text) {
  if (text.empty()) return 0;
  if (text == "Local Machine Only") return htonl(0xFFFFFFFFu);
  if (text == "All") return 0;
  if (text == "A net") return htonl(0xFF000000u);
  if (text == "B net") return htonl(0xFFFF0000u);
  if (text == "C net") return htonl(0xFFFFFF00u);
  if (!isDigit(text.front())) {
    uint32_t address = 0;
    return platform::resolveHostV4(std::string(text), &address) ? address : 0;
  }
  return parseDottedQuad(text);
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

bool literalAddress(std::string_view text, uint32_t* address) {
  if (!text.empty() && !isDigit(text.front()) && text != "Local Machine Only" && text != "All" &&
      text != "A net" && text != "B net" && text != "C net") {
    return false;
  }
  *address = parseAddress(text);
  return true;
}

bool dottedQuad(std::string_view text, uint32_t* address) { return readDottedQuad(text, address); }

void formatAddress(uint32_t address, char (&text)[16]) {
  const uint32_t host = ntohl(address);
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", (host >> 24) & 0xFF, (host >> 16) & 0xFF,
                (host >> 8) & 0xFF, host & 0xFF);
}

}  // namespace config
