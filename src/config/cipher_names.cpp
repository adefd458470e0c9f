#include "config/cipher_names.h"

namespace config {

const FriendlyCipher friendlyCipherTable[9] = {
    {"Default", "DEFAULT"},
    {"Strong Only", "ALL:!ADH:+RSA:+HIGH:-LOW:-MEDIUM:-EXP"},
    {"Strong and Medium", "ALL:!ADH:+RSA:+HIGH:+MEDIUM:-LOW:-EXP"},
    {"Strong Only (SSLv2)", "ALL:!ADH:+RSA:-SSLv3:+SSLv2:+HIGH:-MEDIUM:-LOW:-EXP"},
    {"Strong Only (SSLv3)", "ALL:!ADH:+RSA:+SSLv3:-SSLv2:+HIGH:-MEDIUM:-LOW:-EXP"},
    {"Strong and Medium (SSLv3)", "ALL:!ADH:+RSA:+SSLv3:-SSLv2:+HIGH:+MEDIUM:-LOW:-EXP"},
    {"Strong and Medium (SSLv2)", "ALL:!ADH:+RSA:-SSLv3:+SSLv2:+HIGH:+MEDIUM:-LOW:-EXP"},
    {"Medium Only (SSLv3)", "ALL:!ADH:+RSA:+SSLv3:-SSLv2:-HIGH:-MEDIUM:-LOW:-EXP"},
    {"Medium Only (SSLv2)", "ALL:!ADH:+RSA:-SSLv3:+SSLv2:-HIGH:-MEDIUM:-LOW:-EXP"},
};

std::string cipherRuleFor(const std::string& setting) {
  for (const FriendlyCipher& row : friendlyCipherTable) {
    if (setting == row.name) return row.rule;
  }
  return setting;
}

}  // namespace config
