#include "proxy/http_request.h"

#include <strings.h>

#include <algorithm>

namespace proxy {

namespace {

std::string_view firstLine(std::string_view header) {
  const size_t end = header.find_first_of("\r\n");
  return end == std::string_view::npos ? header : header.substr(0, end);
}

// The line's method, its target and its version, split at single spaces; false unless all three
// are there and the version is HTTP/x.
bool splitRequestLine(std::string_view line, std::string_view* method, std::string_view* target) {
  const size_t first = line.find(' ');
  if (first == std::string_view::npos || first == 0) return false;
  size_t start = first;
  while (start < line.size() && line[start] == ' ') ++start;
  const size_t second = line.find(' ', start);
  if (second == std::string_view::npos || second == start) return false;
  size_t version = second;
  while (version < line.size() && line[version] == ' ') ++version;
  if (line.substr(version, 5) != "HTTP/") return false;
  *method = line.substr(0, first);
  *target = line.substr(start, second - start);
  return true;
}

bool validHost(std::string_view host) {
  if (host.empty() || host.size() > kMaxRequestHost) return false;
  return std::none_of(host.begin(), host.end(), [](char c) {
    return c == ' ' || c == '\t' || c == '@' || static_cast<unsigned char>(c) < 0x21;
  });
}

bool validPort(std::string_view port) {
  return !port.empty() && port.size() <= kMaxRequestPort &&
         std::all_of(port.begin(), port.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// Calls `each` with every header line after the request line, up to the empty line.
template <typename Each>
void forEachHeaderLine(std::string_view header, Each each) {
  size_t pos = header.find('\n');
  while (pos != std::string_view::npos && pos + 1 < header.size()) {
    const size_t start = pos + 1;
    const size_t end = header.find('\n', start);
    std::string_view line = header.substr(start, end == std::string_view::npos ? end : end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return;
    each(line);
    pos = end;
  }
}

}  // namespace

bool isConnectRequest(std::string_view header) {
  std::string_view method;
  std::string_view target;
  return splitRequestLine(firstLine(header), &method, &target) && method == "CONNECT";
}

bool parseConnectRequest(std::string_view header, RequestTarget* target) {
  std::string_view method;
  std::string_view authority;
  if (!splitRequestLine(firstLine(header), &method, &authority) || method != "CONNECT") {
    return false;
  }
  const size_t colon = authority.rfind(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view host = authority.substr(0, colon);
  const std::string_view port = authority.substr(colon + 1);
  if (!validHost(host) || !validPort(port)) return false;
  target->host.assign(host);
  target->port.assign(port);
  return true;
}

bool parseUrlRequest(std::string_view header, RequestTarget* target) {
  std::string_view method;
  std::string_view url;
  if (!splitRequestLine(firstLine(header), &method, &url) || method == "CONNECT") return false;
  const size_t scheme = url.find("://");
  if (scheme == std::string_view::npos || scheme == 0) return false;
  std::string_view authority = url.substr(scheme + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  // User information ("user:password@") belongs to the URL, not to the host.
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  // An IPv6 host is written in brackets ("[::1]:8080"); its colons are not the port's.
  size_t colon = authority.find(':');
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    colon = close + 1 == authority.size() ? std::string_view::npos : close + 1;
    if (colon != std::string_view::npos && authority[colon] != ':') return false;
  }
  const std::string_view host = authority.substr(0, colon);
  const std::string_view port =
      colon == std::string_view::npos ? std::string_view("80") : authority.substr(colon + 1);
  if (!validHost(host) || !validPort(port)) return false;
  target->host.assign(host);
  target->port.assign(port);
  return true;
}

BodyFraming requestBodyFraming(std::string_view header) {
  BodyFraming framing;
  bool haveLength = false;
  forEachHeaderLine(header, [&](std::string_view line) {
    if (framing.kind == BodyFraming::kBad) return;
    if (startsWithNoCase(line, "Transfer-Encoding:")) {
      const std::string_view value = trim(line.substr(18));
      const bool chunked =
          value.size() >= 7 && strncasecmp(value.data() + value.size() - 7, "chunked", 7) == 0;
      framing.kind = chunked ? BodyFraming::kChunked : BodyFraming::kBad;
    } else if (startsWithNoCase(line, "Content-Length:") && framing.kind != BodyFraming::kChunked) {
      const std::string_view value = trim(line.substr(15));
      uint64_t length = 0;
      bool number = !value.empty() && value.size() <= 18;
      for (char c : value) {
        number = number && c >= '0' && c <= '9';
        if (number) length = length * 10 + static_cast<uint64_t>(c - '0');
      }
      if (!number || (haveLength && length != framing.length)) {
        framing.kind = BodyFraming::kBad;
        return;
      }
      haveLength = true;
      framing.kind = length == 0 ? BodyFraming::kNone : BodyFraming::kLength;
      framing.length = length;
    }
  });
  return framing;
}

std::string headerForLog(std::string_view bytes) {
  size_t end = bytes.size();
  for (const std::string_view mark : {std::string_view("\r\n\r\n"), std::string_view("\n\n")}) {
    if (const size_t at = bytes.find(mark); at != std::string_view::npos) {
      end = std::min(end, at + mark.size());
    }
  }
  const std::string_view header = bytes.substr(0, end);
  std::string out;
  out.reserve(header.size());
  size_t pos = 0;
  while (pos < header.size()) {
    size_t next = header.find('\n', pos);
    next = next == std::string_view::npos ? header.size() : next + 1;
    const std::string_view line = header.substr(pos, next - pos);
    bool secret = false;
    for (const std::string_view name :
         {std::string_view("Authorization:"), std::string_view("Proxy-Authorization:"),
          std::string_view("Cookie:")}) {
      if (startsWithNoCase(line, name)) {
        out.append(line.substr(0, name.size()));
        out.append(" ***");
        if (line.size() >= 2 && line.substr(line.size() - 2) == "\r\n") {
          out.append("\r\n");
        } else if (!line.empty() && line.back() == '\n') {
          out.push_back('\n');
        }
        secret = true;
        break;
      }
    }
    if (!secret) out.append(line);
    pos = next;
  }
  return out;
}

}  // namespace proxy
