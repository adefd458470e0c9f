#include "first_start.h"

#include "config/default_settings.h"
#include "config/settings.h"
#include "log/log.h"
#include "platform/user_files.h"

namespace app {

std::string prepareStore(platform::Hive root, relay::Relay* relay) {
  const std::string file = platform::hiveFilePath(root);
  const long status = platform::hiveStatus(root);
  if (status == platform::kErrorAccessDenied) {
    return "The configuration store " + file + " cannot be read: the relay does not start";
  }
  if (status != platform::kErrorSuccess) {
    return "The configuration store " + file + " cannot be parsed: the relay does not start";
  }
  bool created = false;
  const long rc = config::createDefaultSettings(root, &created);
  if (created) {
    relay->noteAtStart(LOG_INFO, std::string("No settings key <") + config::settingsKeyPath() +
                                     "> in " + file + ": created it with every default");
  } else if (rc != platform::kErrorSuccess) {
    relay->noteAtStart(LOG_WARNING, std::string("Couldn't create the settings key <") +
                                        config::settingsKeyPath() + "> in " + file + ": error " +
                                        std::to_string(rc));
  }
  // Where a user puts the client certificates the selection offers (the machine's folder is
  // the package's to make).
  if (root == platform::Hive::kCurrentUser) {
    platform::makeFolder(platform::certificateFolder(root), 0700);
  }
  return {};
}

}  // namespace app
