// Address and port texts as users type them into rules and settings.
//
// Addresses are IPv4 or IPv6 (platform/ip_address.h); ports are 16-bit numbers in network byte
// order. Host and service names are looked up each time (thread-safe, may block on the resolver).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ip_address.h"

namespace config {

using platform::IpAddress;

// "Local Machine Only", "All", "A net", "B net", "C net" (case-sensitive, in full); a dotted quad
// whose parts may carry leading zeros (010.001.002.003 is 10.1.2.3, never octal); a malformed quad
// gives 255.255.255.255; a text with a colon is an IPv6 address ("::1", "[2001:db8::5]"), and a
// malformed one gives 255.255.255.255 too; any other text whose first character is not a digit is
// a host name (its first address of either family, 0.0.0.0 when the lookup fails); an empty text
// gives 0.0.0.0.
IpAddress parseAddress(std::string_view text);

// Every address a text names: the one of a keyword or literal, or all of a host name in the
// resolver's order. False (and none) for a name that does not resolve.
bool resolveAddresses(std::string_view text, std::vector<IpAddress>* addresses);

// The addresses a destination text may be reached at: those of resolveAddresses without 0.0.0.0,
// :: (this host, whatever was meant) and 255.255.255.255 (a malformed text). False when none is
// left.
bool reachableAddresses(std::string_view text, std::vector<IpAddress>* addresses);

// "socks" is 1080; leading decimal digits with a value from 1 to 65535 give that port; any other
// text is a TCP service name ("https" is 443). Unknown names, out-of-range numbers and empty texts
// give 0.
uint16_t parsePort(std::string_view text);

// True when the whole text names a port: "socks", a decimal number from 1 to 65535 with nothing
// after it, or a known TCP service name. parsePort is more lenient ("17080abc" gives 17080).
bool isPortText(std::string_view text);

// The address of a keyword, dotted quad or IPv6 text, without any name lookup; false for a host
// name.
bool literalAddress(std::string_view text, IpAddress* address);

// True for a well-formed dotted quad (four decimal parts of 0 to 255, leading zeros allowed,
// nothing else), with its address in network byte order.
bool dottedQuad(std::string_view text, uint32_t* address);

// The client mask of a rule for a source of either family. An IPv4 source takes what
// parseAddress gives (a keyword, a dotted quad); an IPv6 source takes a prefix length from 0 to
// 128 ("64" or "/64") or "All". "All" is every client of both families. False, with the reason in
// *why (when given), for a mask of the other family's kind.
bool parseMask(std::string_view text, bool v6Source, IpAddress* mask, std::string* why = nullptr);

// True when the client is one of the source's: every client for an all-zero mask, otherwise a
// client of the source's family whose masked address is the source's.
bool maskedMatch(const IpAddress& source, const IpAddress& mask, const IpAddress& client);

// The dotted-quad text of an IPv4 address, the usual text of an IPv6 one.
inline void formatAddress(const IpAddress& address, char (&text)[platform::kAddressTextSize]) {
  platform::formatIp(address, text);
}

}  // namespace config
