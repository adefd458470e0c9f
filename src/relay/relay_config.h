// One whole configuration of a relay: the settings, the rules with their numbers derived, and the
// SSL context built from them with its CA certificates, CRLs and cipher list. Internal to the
// relay.
//
// A configuration is built whole away from the live state (`buildRelayConfig`, on the relay's
// change thread), published with one pointer swap and never changed afterwards: a connection
// takes the snapshot of its accept and reads only that one for its whole life (rule matching, the
// verify callback through its SSL context, the proxy settings, the statistics switches). What
// connections share and change at run time lives in the relay's state (relay/relay_state.h).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/rules.h"
#include "config/settings.h"
#include "relay/ssl_context.h"

namespace relay {

struct RelayState;

struct RelayConfig {
  // Tells this configuration from the relay's others (its sessions are its own); from 1.
  uint64_t generation = 0;
  config::Settings ccSettings;
  // Rules of this configuration only (copies of what it was built from), numbers derived.
  config::RuleTable ruleTable;
  SslCtxPtr sharedContext;
  // The distinct cipher names a fresh SSL object of the context offers before the cipher list
  // applies: what the settings sheet lists beside the presets.
  std::vector<std::string> cipherNames;
};
using ConfigSnapshot = std::shared_ptr<const RelayConfig>;

// Builds a configuration from settings and rules: the rules are copied and their names looked up
// (each name that does not resolve is logged and added to `problems`), then the SSL context is made
// with the CRLs of "ssl.crl_lists" (when CRL checking is on), the trusted CA certificates and the
// cipher list (a refused list is logged and added to `problems`). May wait for the resolver and
// the file system: never on a window thread. The SSL context is null (logged) when none could be
// made; the configuration still serves plain rules then.
ConfigSnapshot buildRelayConfig(const config::Settings& settings, const config::RuleTable& rules,
                                const std::shared_ptr<RelayState>& state,
                                std::vector<std::string>* problems);

// The enabled rules that a listener serves (neither disabled nor refused).
bool servesConnections(const config::ccRule& rule);

}  // namespace relay
