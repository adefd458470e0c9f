// Base64 as HTTP authentication uses it (RFC 1521 alphabet, "=" padding).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace proxy {

std::string base64Encode(const uint8_t* data, size_t size);
inline std::string base64Encode(std::string_view text) {
  return base64Encode(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}
// Skips leading spaces and tabs and stops at the first character outside the alphabet ("="
// included); a dangling sixth of a byte at the end is dropped.
std::vector<uint8_t> base64Decode(std::string_view text);

}  // namespace proxy
