// The installer's step at a program's start: the store of the chosen root is checked before the
// relay runs on it, and a store without the settings key (a new user, a new machine) gets the key
// with every default, so that a first start finds TLS, logging and statistics on. The user's
// certificate folder is made when missing.
#pragma once

#include <string>

#include "platform/registry.h"
#include "relay/relay.h"

namespace app {

// Empty when the relay may start on the store (the lines of what was done are handed to the
// relay for its start-up log); else the reason the store cannot serve, one line naming the file:
// a program never runs on an empty configuration because its store could not be read.
std::string prepareStore(platform::Hive root, relay::Relay* relay);

}  // namespace app
