#include "proxy/proxy_response.h"

#include <strings.h>

#include <cctype>

namespace proxy {

namespace {

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The number after the first word: skip the non-spaces, then the spaces, then read digits.
int statusOf(std::string_view line) {
  size_t i = 0;
  while (i < line.size() && line[i] != ' ') ++i;
  while (i < line.size() && line[i] == ' ') ++i;
  int status = 0;
  size_t digits = 0;
  for (; i < line.size() && digits < 9 && std::isdigit(static_cast<unsigned char>(line[i]));
       ++i, ++digits) {
    status = status * 10 + (line[i] - '0');
  }
  return status;
}

long long lengthOf(std::string_view value) {
  value = trim(value);
  long long length = 0;
  size_t digits = 0;
  for (char c : value) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    if (++digits > 15) return -1;  // no body of that size is read anyway
    length = length * 10 + (c - '0');
  }
  return digits == 0 ? -1 : length;
}

}  // namespace

void addScheme(std::vector<std::string>* schemes, std::string name) {
  size_t used = 1;  // the list's closing empty name
  for (const std::string& s : *schemes) used += s.size() + 1;
  if (name.empty() || used + name.size() + 1 > kMaxSchemeListBytes) return;
  schemes->push_back(std::move(name));
}

ResponseHeaderReader::ResponseHeaderReader(std::string_view scheme) : scheme_(scheme) {
  area_.reserve(kMaxResponseHeader);
}

HeaderState ResponseHeaderReader::feed(const char* data, size_t size) {
  if (state_ == HeaderState::kComplete) {
    response_.extra.append(data, size);
    return state_;
  }
  if (state_ == HeaderState::kTooLarge) return state_;
  const size_t searchFrom = area_.size() >= 3 ? area_.size() - 3 : 0;
  const size_t take = size < room() ? size : room();
  area_.append(data, take);
  const size_t end = area_.find("\r\n\r\n", searchFrom);
  if (end == std::string::npos) {
    if (area_.size() >= kMaxResponseHeader) state_ = HeaderState::kTooLarge;
    return state_;
  }
  parse(end + 4);
  response_.extra.append(data + take, size - take);
  state_ = HeaderState::kComplete;
  return state_;
}

void ResponseHeaderReader::parse(size_t headerEnd) {
  response_.header = area_.substr(0, headerEnd);
  response_.extra = area_.substr(headerEnd);
  const std::string_view text(response_.header);
  size_t pos = 0;
  for (bool first = true; pos < headerEnd; first = false) {
    const size_t eol = text.find("\r\n", pos);
    const std::string_view line = text.substr(pos, eol - pos);
    if (line.empty() && !first) break;
    takeLine(line, first);
    pos = eol + 2;
  }
}

void ResponseHeaderReader::takeLine(std::string_view line, bool first) {
  ProxyResponse& r = response_;
  if (first) {
    r.status = statusOf(line);
    return;
  }
  if (startsWithNoCase(line, "Proxy-Authenticate:")) {
    const std::string_view value = trim(line.substr(19));
    if (scheme_.empty()) {
      addScheme(&r.schemes, startsWithNoCase(value, "BASIC") ? "BASIC" : std::string(value));
      return;
    }
    // Only the line of the scheme under way carries its challenge.
    const size_t space = value.find(' ');
    const std::string_view word = value.substr(0, space);
    if (word.size() == scheme_.size() && startsWithNoCase(word, scheme_)) {
      r.challenge = space == std::string_view::npos ? "" : std::string(trim(value.substr(space)));
    }
  } else if (startsWithNoCase(line, "Content-Length:")) {
    r.bodyLength = lengthOf(line.substr(15));
  } else if (startsWithNoCase(line, "Proxy-Connection:") || startsWithNoCase(line, "Connection:")) {
    const size_t colon = line.find(':');
    if (startsWithNoCase(trim(line.substr(colon + 1)), "Keep-Alive")) r.keepAlive = true;
  }
}

}  // namespace proxy
