#include "reg_init.h"

#include <cstdio>
#include <string>

#include "config/default_settings.h"
#include "config/settings.h"

namespace reg_tool {
namespace {

std::string reason(long rc) {
  switch (rc) {
    case platform::kErrorAccessDenied:
      return "the file cannot be read or written";
    case platform::kErrorWriteProtect:
      return "the file could not be parsed; it stays unchanged until it is mended";
    default:
      return "error " + std::to_string(rc);
  }
}

}  // namespace

int runInit(platform::Hive hive) {
  const std::string key = std::string(platform::hiveName(hive)) + "\\" + config::settingsKeyPath();
  const std::string file = platform::hiveFilePath(hive);
  bool created = false;
  const long rc = config::createDefaultSettings(hive, &created);
  if (rc != platform::kErrorSuccess) {
    std::fprintf(stderr, "ERROR: The default settings could not be written to %s: %s.\n",
                 file.c_str(), reason(rc).c_str());
    return 1;
  }
  if (created) {
    std::printf("Created %s in %s with the default settings (%zu values).\n", key.c_str(),
                file.c_str(), config::defaultSettingsValues().size());
  } else {
    std::printf("%s already exists in %s; it was left as it is.\n", key.c_str(), file.c_str());
  }
  return 0;
}

}  // namespace reg_tool
