#include "relay/version.h"

namespace relay {

#ifndef BKL_VERSION
#error "BKL_VERSION is set by the build"
#endif

const VersionStrings& programVersion() {
  static const VersionStrings strings{
      "Tandry",
      "Brisklane",
      BKL_VERSION,
      BKL_VERSION ".0",
      "Brisklane SSL/TLS application proxy",
      "Copyright (C) Tandry",
      "brisklane",
  };
  return strings;
}

std::string versionLines() {
  const VersionStrings& v = programVersion();
  std::string text;
  const std::pair<const char*, const char*> lines[] = {
      {"CompanyName : ", v.companyName},         {"Product Name : ", v.productName},
      {"Product Version : ", v.productVersion},  {"File Version : ", v.fileVersion},
      {"FileDescription : ", v.fileDescription}, {"LegalCopyright : ", v.legalCopyright},
      {"InternalName : ", v.internalName},
  };
  for (const auto& [label, value] : lines) {
    if (value == nullptr || *value == '\0') continue;
    text += label;
    text += value;
    text += '\n';
  }
  return text;
}

}  // namespace relay
