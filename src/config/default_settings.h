// The settings key as an installer leaves it: "Software\Tandry\Brisklane 4" holding every setting
// that has a default, at that default. Without the key the loader keeps the zeros of a new record
// (no SSL protocol, no log level, no statistics); with it every value reads as its default.
//
// `brisklane-reg init` and the programs' first start call `createDefaultSettings`; a key that
// exists is never touched. Any thread; the store serialises the writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace config {

// One value of the default settings key: a REG_DWORD number or a REG_SZ text.
struct DefaultValue {
  const char* name;
  uint32_t type;  // platform::REG_DWORD or platform::REG_SZ
  uint32_t number;
  const char* text;
};

// Every value `createDefaultSettings` writes, in the loader's order. Texts whose default is unset
// (the CA file, the cipher list, the SOCKS server, ...) and the host and port lists (empty) are not
// written: the store keeps no empty texts.
const std::vector<DefaultValue>& defaultSettingsValues();

// Creates the settings key of `root` with every default value, when the key does not exist.
// *created tells whether it was made (false: it was there and stays as it was). Returns 0, or the
// registry error that stopped it: kErrorAccessDenied (the store cannot be read or written),
// kErrorWriteProtect (the store cannot be parsed and is never rewritten), ...
long createDefaultSettings(platform::Hive root, bool* created);

}  // namespace config
