// The configuration check of `brisklaned --check`: the store read as a start would read it, every
// rule built, the SSL context made, every certificate, key and CA file the configuration names
// loaded (no pass phrase asked for: an encrypted key whose phrase is not stored is a problem),
// and every port tried. Nothing listens and nothing is written. Uses the process's log while it
// runs (it must not be open), so a check runs in a process of its own.
#pragma once

#include <string>
#include <vector>

#include "platform/registry.h"

namespace relay {

struct CheckResult {
  // One line each, naming the rule or setting; none when the relay would start with every rule
  // serving.
  std::vector<std::string> problems;
  // What a start would do that is no problem (a missing settings key made with every default).
  std::vector<std::string> notes;
};

CheckResult checkConfiguration(platform::Hive root);

}  // namespace relay
