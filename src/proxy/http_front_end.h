// The HTTP proxy front end of rules in destination mode 2: reads the browser's first request
// (CONNECT, or an ordinary request with an absolute URL), opens the outgoing connection directly
// or through the rule's upstream proxy (authenticating when the rule says so), and answers a
// CONNECT. The pump that follows lives with the relay. Runs on the connection's thread; blocking
// sockets throughout; log lines at LOG_INFO, code 0x6001, module "httpsproxy".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/rules.h"
#include "config/settings.h"
#include "platform/unique_fd.h"

namespace proxy {

// The browser's first request is examined within this many bytes.
constexpr size_t kBrowserRequestSize = 16385;

// The replies to the browser, byte for byte.
extern const char kDirectConnectReply[];     // 17 bytes
extern const char kProxyConnectReply[];      // 49 bytes
extern const char kProxyUnauthorizedPage[];  // 107 bytes

struct FrontEndClient {
  int fd = -1;           // the browser's socket; stays the caller's
  uint32_t address = 0;  // network byte order
  uint16_t port = 0;     // network byte order
  const config::ccRule* rule = nullptr;
  const config::Settings* settings = nullptr;  // the connection's
};

// Results of `frontEndConnect`.
constexpr int kFrontEndRequestFailed = 1;
constexpr int kFrontEndNoSocket = 4;
constexpr int kFrontEndProxyFailed = 5;

// Connects the outgoing side for the browser's request. On 0, *outgoing is connected and
// *destAddress / *destPort (network byte order) and *destHost (as the browser named it) give the
// destination; for a plain HTTP request, which stays unread in the browser's socket, *mode
// becomes 0. Otherwise 1, 4 or 5.
int frontEndConnect(const FrontEndClient& client, platform::UniqueFd* outgoing,
                    uint32_t* destAddress, uint16_t* destPort, std::string* destHost,
                    uint32_t* mode);

// Reads the browser's request header (up to its empty line, never beyond it) into *request.
// False when the browser sent nothing, closed early, or the header does not fit the buffer.
bool receiveBrowserRequest(int fd, std::string* request, int* error);

}  // namespace proxy
