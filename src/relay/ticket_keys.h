// Session-ticket keys shared by a fleet of relays: a file that every relay of the fleet reads, so
// that a client resumed by one relay is resumed by any other.
//
// The file holds one key per line, base64, each of 48 bytes (a 16-byte name, a 16-byte AES-128
// key, a 16-byte HMAC key) or of 80 bytes (name, AES-256 key and HMAC key of 32 bytes each), all
// of one length, at least three. The last three keys decrypt tickets and the one before the last
// encrypts them: rotating is appending a key and reloading, and tickets of the key that
// encrypted before are still taken (and renewed).
#pragma once

#include <openssl/ssl.h>

#include <string>

namespace relay {

// Reads the key file and makes the context issue and take tickets with its keys. False (the
// context untouched, the library's own keys serving) when the file cannot be read or holds a
// line that is no key; *why tells which.
bool attachTicketKeys(SSL_CTX* ctx, const std::string& file, std::string* why);

}  // namespace relay
