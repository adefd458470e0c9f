#include "proxy/http_request.h"

namespace proxy {

namespace {

bool isLineEnd(char c) { return c == '\r' || c == '\n'; }

// The text from `pos` up to the first of `stops`; false when a line end or the end of the text
// comes first, or the text is empty or longer than `limit`.
bool takeUntil(std::string_view text, size_t* pos, std::string_view stops, size_t limit,
               std::string* out) {
  const size_t start = *pos;
  size_t i = start;
  while (i < text.size() && stops.find(text[i]) == std::string_view::npos) {
    if (isLineEnd(text[i]) || i - start >= limit) return false;
    ++i;
  }
  if (i >= text.size() || i == start) return false;
  out->assign(text.substr(start, i - start));
  *pos = i;
  return true;
}

}  // namespace

bool looksLikeConnect(std::string_view request) {
  return request.size() < 7 || request.substr(0, 7) == "CONNECT";
}

bool parseConnectRequest(std::string_view request, RequestTarget* target) {
  size_t pos = request.find("CONNECT ");
  if (pos == std::string_view::npos) return false;
  pos += 8;
  while (pos < request.size() && request[pos] == ' ') ++pos;
  if (!takeUntil(request, &pos, ":", kMaxRequestHost, &target->host)) return false;
  ++pos;  // the ':'
  return takeUntil(request, &pos, " ", kMaxRequestPort, &target->port);
}

bool parseUrlRequest(std::string_view request, RequestTarget* target) {
  if (request.empty()) return false;
  request.remove_suffix(1);  // the last byte is not examined
  const size_t space = request.find(' ');
  if (space == std::string_view::npos) return false;
  size_t lineEnd = request.find_first_of("\r\n", space);
  if (lineEnd == std::string_view::npos) lineEnd = request.size();
  const std::string_view line = request.substr(0, lineEnd);
  const size_t slashes = line.find("//", space + 1);
  if (slashes == std::string_view::npos) return false;
  size_t pos = slashes + 2;
  if (!takeUntil(line, &pos, " /:", kMaxRequestHost, &target->host)) return false;
  if (line[pos] != ':') {
    target->port = "80";
    return true;
  }
  ++pos;
  return takeUntil(line, &pos, " /", kMaxRequestPort, &target->port);
}

}  // namespace proxy
