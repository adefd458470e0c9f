// Feeds arbitrary bytes to the proxy response reader, split at a point the input chooses, with
// and without a scheme under way.
#include <cstddef>
#include <cstdint>
#include <string>

#include "config/proxy_response.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t split = data[0] % (size);
  const char* text = reinterpret_cast<const char*>(data + 1);
  const size_t length = size - 1;
  for (const char* scheme : {"", "NTLM"}) {
    config::ResponseHeaderReader reader(scheme);
    const size_t first = split < length ? split : length;
    config::HeaderState state = reader.feed(text, first);
    if (state != config::HeaderState::kTooLarge) state = reader.feed(text + first, length - first);
    const config::ProxyResponse& r = reader.response();
    if (r.header.size() > config::kMaxResponseHeader) __builtin_trap();
    if (state == config::HeaderState::kComplete && r.header.size() + r.extra.size() != length) {
      __builtin_trap();
    }
    size_t bytes = 1;
    for (const std::string& s : r.schemes) bytes += s.size() + 1;
    if (bytes > config::kMaxSchemeListBytes) __builtin_trap();
  }
  return 0;
}
