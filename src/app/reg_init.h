// brisklane-reg init: gives a store the settings key an installer would leave, with every default
// (config/default_settings.h), and says what it did. A key that exists is left as it is.
#pragma once

#include "platform/registry.h"

namespace reg_tool {

// Runs the command on the hive; prints what it did on standard output, or the error on standard
// error. Returns the exit status: 0 when the key was made or was there already, 1 on an error.
int runInit(platform::Hive hive);

}  // namespace reg_tool
