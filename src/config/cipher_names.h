// The friendly names of "ssl.cipher": the presets the settings sheet offers and the cipher rule
// each stands for. Any other text of the setting is a cipher rule of its own.
#pragma once

#include <string>

namespace config {

struct FriendlyCipher {
  const char* name;
  const char* rule;
};
extern const FriendlyCipher friendlyCipherTable[9];

// The rule string for a "ssl.cipher" text: the table's rule for a friendly name (exact,
// case-sensitive), else the text itself.
std::string cipherRuleFor(const std::string& setting);

}  // namespace config
