// The relay of a browser's plain HTTP requests (rules in destination mode 2, requests with an
// absolute URL): each request goes to the host its request line names, so a browser that reuses
// its proxy connection for another host has that request (and its cookies) delivered there and
// nowhere else. The bytes pass as the browser sent them; the server's answers pass back
// unchanged. When the rule names an upstream proxy, every request goes to it.
#pragma once

#include <cstdint>
#include <string>

#include "config/rules.h"
#include "config/settings.h"
#include "platform/ip_address.h"
#include "platform/unique_fd.h"

namespace relay {

struct RelayState;

struct PlainRequestClient {
  platform::UniqueFd browser;
  platform::IpAddress address;
  uint16_t port = 0;  // network byte order
  const config::ccRule* rule = nullptr;
  // The connection's settings and its relay's state; both outlive the relay of the requests.
  const config::Settings* settings = nullptr;
  RelayState* state = nullptr;
};

// Relays from the browser's first request header (already read) until one side ends, the rule's
// drop time passes idle, or a request cannot be served (answered with a short HTTP error). Counts
// the connection and its bytes and logs the disconnect line; closes both sides.
void relayPlainRequests(PlainRequestClient client, std::string firstRequest);

}  // namespace relay
