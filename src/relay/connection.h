// Internal to the relay: what one connection keeps while its handler sets it up, and the two
// SSL sides the handler adds (connection_handler.cpp drives them, ssl_sides.cpp makes them).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/rules.h"
#include "config/settings.h"
#include "relay/connect_info.h"
#include "relay/data_pump.h"
#include "relay/relay_config.h"
#include "relay/relay_state.h"
#include "relay/ssl_context.h"

namespace relay {

// Everything one connection keeps while it is set up; the texts are for its log lines.
struct Connection {
  std::unique_ptr<connectInfo> info;
  const RelayConfig* config = nullptr;         // the configuration of the accept (info holds it)
  const config::Settings* settings = nullptr;  // its settings
  RelayState* state = nullptr;                 // the relay's (info holds it)
  config::RuleRef rule;
  platform::IpAddress clientAddress;
  int clientPort = 0;  // host byte order
  // Every address the destination may be reached at, in order; the one reached once connected.
  std::vector<platform::IpAddress> destAddrs;
  platform::IpAddress destAddress;
  uint16_t destPort = 0;   // network byte order
  std::string serverName;  // the destination's host name, when one is known
  // Where the client connected to (a PROXY header's destination, when one named it); known
  // only for rules that send a PROXY header on.
  platform::IpAddress localAddress;
  uint16_t localPort = 0;  // network byte order

  // The client and the destination as the log lines write them: "a.b.c.d.port" (or with ':'),
  // "[address]:port" for IPv6.
  platform::EndpointText client(char separator = '.') const {
    return platform::endpointText(clientAddress, clientPort, separator);
  }
  platform::EndpointText dest(char separator = '.') const;
  // Takes the destination's addresses; the first stands for it until one is reached.
  void setDestination(std::vector<platform::IpAddress> addresses, uint16_t port);
};

// The handler of one accepted connection; owns `info`.
int connectionHandler(std::unique_ptr<connectInfo> info);

// The relay as SSL server towards the client, on client->fd. Returns 0, or the handler's result
// code (3). `logAlways`: the front end's lines are logged whether or not "verbose" is set.
int acceptClientSide(Connection* c, PumpEnd* client, bool logAlways = false);
// The relay as SSL client towards the destination, on dest->fd. Returns 0, or 6.
int connectDestSide(Connection* c, PumpEnd* dest);

}  // namespace relay
