// The program's version strings, compiled in from the build's project version, and the version
// lines written to the log at start-up when "debug" is set (also shown by the about box).
#pragma once

#include <string>

namespace relay {

struct VersionStrings {
  const char* companyName;
  const char* productName;
  const char* productVersion;
  const char* fileVersion;
  const char* fileDescription;
  const char* legalCopyright;
  const char* internalName;
};
const VersionStrings& programVersion();

// "CompanyName : %s\n", "Product Name : %s\n", ... one line per string, in that order.
std::string versionLines();

}  // namespace relay
