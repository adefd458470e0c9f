// Feeds arbitrary bytes to the browser request parsers and to the request stream.
#include <strings.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "proxy/http_request.h"
#include "proxy/request_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  proxy::RequestTarget target;
  if (proxy::parseConnectRequest(text, &target)) {
    // What is found never crosses a line end and stays within its bounds.
    if (target.host.empty() || target.host.size() > proxy::kMaxRequestHost) __builtin_trap();
    if (target.host.find_first_of("\r\n @") != std::string::npos) __builtin_trap();
    if (target.port.empty() || target.port.size() > proxy::kMaxRequestPort) __builtin_trap();
  }
  proxy::RequestTarget url;
  if (proxy::parseUrlRequest(text, &url)) {
    if (url.host.empty() || url.host.find_first_of(" \r\n@") != std::string::npos) __builtin_trap();
    if (url.port.empty() || url.port.size() > proxy::kMaxRequestPort) __builtin_trap();
  }
  (void)proxy::isConnectRequest(text);
  (void)proxy::requestBodyFraming(text);
  // The logged header never shows the value of a Cookie line.
  const std::string logged = proxy::headerForLog(text);
  for (size_t at = 0; at < logged.size();) {
    size_t end = logged.find('\n', at);
    if (end == std::string::npos) end = logged.size();
    std::string line = logged.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() >= 7 && strncasecmp(line.c_str(), "cookie:", 7) == 0 &&
        line.substr(7) != " ***") {
      __builtin_trap();
    }
    at = end + 1;
  }
  // The stream passes on exactly the bytes it took, whatever the pieces they arrive in.
  proxy::RequestStream stream;
  std::vector<proxy::RequestStream::Piece> pieces;
  size_t fed = 0;
  for (size_t step = 1 + size % 7; fed < size; fed += step) {
    const size_t n = std::min(step, size - fed);
    if (stream.feed(text.data() + fed, n, &pieces) != proxy::RequestStream::Status::kOk) break;
  }
  std::string joined;
  for (const auto& piece : pieces) {
    if (piece.header && piece.bytes.size() > proxy::kMaxRequestHeader) __builtin_trap();
    joined += piece.bytes;
  }
  if (text.substr(0, joined.size()) != joined) __builtin_trap();
  return 0;
}
