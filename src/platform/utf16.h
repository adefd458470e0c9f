// Conversions between UTF-16LE and UTF-8 for the hive files: Windows writes its registry exports
// and the bytes of string values in UTF-16LE, the program keeps 8-bit strings. Bytes that are not
// valid UTF-8 travel as the unpaired surrogates U+DC80..U+DCFF, so any byte string survives a
// round trip. Pure functions, callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

void appendUtf8(uint32_t cp, std::string* out);
// Converts UTF-16LE to UTF-8. Stops at an odd trailing byte or an unpaired surrogate (other
// than a byte escape U+DC80..U+DCFF when escapes are allowed) and returns false; *consumed
// tells how many input bytes were converted.
bool utf16ToUtf8(std::string_view in, bool allowEscapes, std::string* out, size_t* consumed);
// The length of the well-formed UTF-8 character at s[i], or 0.
size_t utf8CharLength(std::string_view s, size_t i, uint32_t* cp);
// UTF-8 to UTF-16LE; a byte that starts no well-formed character becomes U+DC00 + byte.
std::vector<uint8_t> utf8ToUtf16(const std::vector<uint8_t>& data);

}  // namespace platform
