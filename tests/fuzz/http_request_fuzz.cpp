// Feeds arbitrary bytes to both browser request parsers.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "proxy/http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  proxy::RequestTarget target;
  if (proxy::parseConnectRequest(text, &target)) {
    // What is found never crosses a line end and stays within its bounds.
    if (target.host.empty() || target.host.size() > proxy::kMaxRequestHost) __builtin_trap();
    if (target.host.find_first_of("\r\n") != std::string::npos) __builtin_trap();
    if (target.port.empty() || target.port.size() > proxy::kMaxRequestPort) __builtin_trap();
  }
  proxy::RequestTarget url;
  if (proxy::parseUrlRequest(text, &url)) {
    if (url.host.empty() || url.host.find_first_of(" /:\r\n") != std::string::npos)
      __builtin_trap();
    if (url.port.empty() || url.port.size() > proxy::kMaxRequestPort) __builtin_trap();
  }
  (void)proxy::looksLikeConnect(text);
  return 0;
}
