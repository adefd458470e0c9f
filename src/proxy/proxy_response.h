// The response header of an upstream HTTP proxy, read from the bytes as they arrive: the status,
// the offered authentication schemes or the challenge of the scheme under way, the body length
// and whether the proxy keeps the connection. At most 8192 bytes of header are taken. One reader
// per response; not shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace proxy {

constexpr size_t kMaxResponseHeader = 8192;
// The offered scheme names together (each with its terminator, as in a 256-byte area).
constexpr size_t kMaxSchemeListBytes = 256;

struct ProxyResponse {
  int status = -1;  // -1: no status line
  bool keepAlive = false;
  long long bodyLength = -1;  // -1: no Content-Length
  std::vector<std::string> schemes;
  std::string challenge;  // the token after the scheme word of the scheme under way
  std::string header;     // the header's bytes, its empty line included
  std::string extra;      // bytes received after the header
};

enum class HeaderState { kNeedMore, kComplete, kTooLarge };

// Adds a scheme name unless the list would outgrow kMaxSchemeListBytes.
void addScheme(std::vector<std::string>* schemes, std::string name);

class ResponseHeaderReader {
 public:
  // `scheme`: the authentication scheme under way, or empty when none is.
  explicit ResponseHeaderReader(std::string_view scheme);
  // Appends received bytes; parses the header once it is complete.
  HeaderState feed(const char* data, size_t size);
  const ProxyResponse& response() const { return response_; }
  // Bytes still wanted before the header can be complete (never more than the area allows).
  size_t room() const { return kMaxResponseHeader - area_.size(); }

 private:
  void parse(size_t headerEnd);
  void takeLine(std::string_view line, bool first);

  std::string scheme_;
  std::string area_;
  ProxyResponse response_;
  HeaderState state_ = HeaderState::kNeedMore;
};

}  // namespace proxy
