// The HTTP proxy front end of rules in destination mode 2: reads the browser's first request
// header (a CONNECT, or an ordinary request with an absolute URL), and for a CONNECT opens the
// outgoing connection directly or through the rule's upstream proxy (authenticating when the rule
// says so) and answers it. Plain requests are relayed by the relay, request by request (the pump
// that follows lives there). Runs on the connection's thread; blocking sockets, every read from
// the browser and the proxy bounded by the request time-out; log lines at LOG_INFO, code 0x6001,
// module "httpsproxy". A request that cannot be served gets a short HTTP error before the close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/rules.h"
#include "config/settings.h"
#include "platform/gss_auth.h"
#include "platform/ip_address.h"
#include "platform/net.h"
#include "platform/unique_fd.h"

namespace proxy {

// The browser's request header is read within this many bytes.
constexpr size_t kBrowserRequestSize = 16385;

// The replies to the browser, byte for byte.
extern const char kDirectConnectReply[];     // 17 bytes
extern const char kProxyConnectReply[];      // 49 bytes
extern const char kProxyUnauthorizedPage[];  // 107 bytes
// Short answers to a request the front end cannot serve, sent before it closes.
extern const char kBadRequestReply[];      // 400: not understood
extern const char kTimeoutReply[];         // 408: the header did not come in time
extern const char kHeaderTooLargeReply[];  // 431
extern const char kBadGatewayReply[];      // 502: the destination cannot be reached
// Sends one of the replies; errors are of no use any more.
void sendErrorReply(int fd, const char* reply);

struct FrontEndClient {
  int fd = -1;  // the browser's socket; stays the caller's
  platform::IpAddress address;
  uint16_t port = 0;  // network byte order
  const config::ccRule* rule = nullptr;
  const config::Settings* settings = nullptr;  // the connection's
  // Where the upstream proxy's credentials are kept for later connections (the relay's); may be
  // null.
  platform::KeptCredentials* credentials = nullptr;
};

// Results of `frontEndConnect`.
constexpr int kFrontEndRequestFailed = 1;
constexpr int kFrontEndNoSocket = 4;
constexpr int kFrontEndProxyFailed = 5;

struct FrontEndResult {
  int code = 0;                     // 0 or one of the results above
  bool plainRequest = false;        // an ordinary request (the relay sends it on), not a CONNECT
  uint32_t mode = 0;                // 0 for a plain request, else the rule's role
  platform::IpAddress destAddress;  // the one reached
  uint16_t destPort = 0;            // network byte order
  std::string destHost;             // as the browser named it
  std::string request;              // a plain request: its header, read (the relay sends it on)
  std::string failure;              // why the upstream proxy gave no tunnel (kFrontEndProxyFailed)
};

// Reads the browser's request. A CONNECT is answered and *outgoing connected (directly or through
// the upstream proxy); a plain request is handed back whole in result.request (plainRequest set,
// mode 0), its destination in the result, nothing connected.
FrontEndResult frontEndConnect(const FrontEndClient& client, platform::UniqueFd* outgoing);

// How the browser's request header arrived.
enum class HeaderRead { kOk, kNothing, kTimedOut, kTooLarge };
// Reads the browser's request header (up to its empty line, never beyond it) into *request,
// within the budget.
HeaderRead receiveBrowserRequest(int fd, platform::WaitBudget* budget, std::string* request,
                                 int* error);

}  // namespace proxy
