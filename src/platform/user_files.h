// Where a user (or the machine's service) keeps the files the relay reads beside its store: the
// client certificates the selection dialog offers. Any thread.
#pragma once

#include <string>

#include "platform/registry.h"

namespace platform {

// The certificate folder of a root: "certificates" beside both stores when BRISKLANE_CONFIG_DIR
// is set; for the machine /etc/brisklane/certificates; for the user
// $XDG_DATA_HOME/brisklane/certificates (~/.local/share/brisklane/certificates by default).
std::string certificateFolder(Hive root);
// Makes the folder and its missing parents (the last one with `mode`). True when it is there.
bool makeFolder(const std::string& path, unsigned mode);

}  // namespace platform
