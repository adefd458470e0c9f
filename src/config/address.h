// Address and port texts as users type them into rules and settings.
//
// Addresses are IPv4 numbers in network byte order; ports are 16-bit numbers in network byte
// order. Host and service names are looked up each time (thread-safe, may block on the resolver).
#pragma once

#include <cstdint>
#include <string_view>

namespace config {

// "Local Machine Only", "All", "A net", "B net", "C net" (case-sensitive, in full); a dotted quad
// whose parts may carry leading zeros (010.001.002.003 is 10.1.2.3, never octal); a malformed quad
// gives 255.255.255.255; a text whose first character is not a digit is a host name (its first
// address, 0 when the lookup fails); an empty text gives 0.
uint32_t parseAddress(std::string_view text);

// "socks" is 1080; leading decimal digits with a value from 1 to 65535 give that port; any other
// text is a TCP service name ("https" is 443). Unknown names, out-of-range numbers and empty texts
// give 0.
uint16_t parsePort(std::string_view text);

// True when the whole text names a port: "socks", a decimal number from 1 to 65535 with nothing
// after it, or a known TCP service name. parsePort is more lenient ("17080abc" gives 17080).
bool isPortText(std::string_view text);

// The address of a keyword or dotted quad, without any name lookup; false for a host name.
bool literalAddress(std::string_view text, uint32_t* address);

// True for a well-formed dotted quad (four decimal parts of 0 to 255, leading zeros allowed,
// nothing else), with its address in network byte order.
bool dottedQuad(std::string_view text, uint32_t* address);

// The dotted-quad text of an address in network byte order.
void formatAddress(uint32_t address, char (&text)[16]);

}  // namespace config
