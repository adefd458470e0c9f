// Feeds arbitrary bytes to the proxy response reader, split at a point the input chooses, with
// and without a scheme under way.
#include <cstddef>
#include <cstdint>
#include <string>

#include "proxy/proxy_response.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t split = data[0] % (size);
  const char* text = reinterpret_cast<const char*>(data + 1);
  const size_t length = size - 1;
  for (const char* scheme : {"", "NTLM"}) {
    proxy::ResponseHeaderReader reader(scheme);
    const size_t first = split < length ? split : length;
    proxy::HeaderState state = reader.feed(text, first);
    if (state != proxy::HeaderState::kTooLarge) state = reader.feed(text + first, length - first);
    const proxy::ProxyResponse& r = reader.response();
    if (r.header.size() > proxy::kMaxResponseHeader) __builtin_trap();
    if (state == proxy::HeaderState::kComplete && r.header.size() + r.extra.size() != length) {
      __builtin_trap();
    }
    size_t bytes = 1;
    for (const std::string& s : r.schemes) bytes += s.size() + 1;
    if (bytes > proxy::kMaxSchemeListBytes) __builtin_trap();
  }
  return 0;
}
