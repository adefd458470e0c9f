// The two request forms a browser uses towards an HTTP proxy, parsed from the bytes of its first
// receive: "CONNECT host:port HTTP/1.x" and an ordinary request with an absolute URL
// ("GET http://host[:port]/path HTTP/1.x"). Pure functions on a buffer; any thread.
#pragma once

#include <cstddef>
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

// "CONNECT " anywhere in the bytes, then spaces, the host up to ":", the port text up to the next
// space. Host and port may not cross a line end; both ":" and the space must be there.
bool parseConnectRequest(std::string_view request, RequestTarget* target);

// After the method's space on the request line, the text after the first "//" is the host, ending
// at a space, "/" or ":"; after ":" the port ends at a space or "/". The last byte received is not
// examined. False when the request line holds no such URL.
bool parseUrlRequest(std::string_view request, RequestTarget* target);

// True when the bytes begin a CONNECT request (or are too few to tell).
bool looksLikeConnect(std::string_view request);

}  // namespace proxy
