// What the HTTP proxy front end reads of a browser's request header: the request line, in its two
// forms ("CONNECT host:port HTTP/1.x", and an ordinary request with an absolute URL, "GET
// http://[user[:password]@]host[:port]/path HTTP/1.x"), how the request's body is framed, and the
// header as it may be logged. Pure functions on text; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace proxy {

// The longest host text a request may name.
constexpr size_t kMaxRequestHost = 255;
// The longest port text a request may name.
constexpr size_t kMaxRequestPort = 15;

struct RequestTarget {
  std::string host;
  std::string port;  // the port text as written ("80" when a URL names none)
};

// The request line only (the first line of the header): the method "CONNECT", spaces, the host
// up to the last ":", the port up to the next space, then the version. Host and port are bounded;
// an IPv6 host keeps its brackets ("[2001:db8::5]"), as a request to an upstream proxy needs them.
bool parseConnectRequest(std::string_view header, RequestTarget* target);

// The request line only: a method other than CONNECT, then an absolute URL "scheme://authority"
// whose authority may carry user information before "@" (not part of the host); the host ends at
// "/", ":", "?", "#" or the space before the version (an IPv6 host in brackets ends after its
// "]", which it keeps); after ":" the port ends likewise; without one the port is "80". False for a
// request line without such a URL (a bare path, for one).
bool parseUrlRequest(std::string_view header, RequestTarget* target);

// True when the request line's method is CONNECT.
bool isConnectRequest(std::string_view header);

// How the body of a request with this header ends.
struct BodyFraming {
  enum Kind { kNone, kLength, kChunked, kBad } kind = kNone;
  uint64_t length = 0;  // kLength
};
// "Transfer-Encoding: chunked" gives kChunked; "Content-Length" gives kLength (kBad when it is
// not a number, or two of them disagree); any other transfer coding is kBad; else kNone.
BodyFraming requestBodyFraming(std::string_view header);

// The request header as it may be logged: cut at the end of the header (nothing after its empty
// line), the values of "Authorization", "Proxy-Authorization" and "Cookie" shown as "***".
std::string headerForLog(std::string_view bytes);

}  // namespace proxy
