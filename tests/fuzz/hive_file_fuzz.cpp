// Feeds arbitrary bytes to the hive-file parser. Whatever parses must survive a write and a
// second read unchanged: the writer's output always parses, to the same tree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/hive_file.h"

namespace {

using platform::RegNode;

bool sameTree(const RegNode& a, const RegNode& b) {
  if (a.name != b.name || a.values.size() != b.values.size() ||
      a.subkeys.size() != b.subkeys.size()) {
    return false;
  }
  for (size_t i = 0; i < a.values.size(); ++i) {
    const auto& x = a.values[i];
    const auto& y = b.values[i];
    if (x.name != y.name || x.type != y.type || x.data != y.data) return false;
  }
  for (size_t i = 0; i < a.subkeys.size(); ++i) {
    if (!sameTree(a.subkeys[i], b.subkeys[i])) return false;
  }
  return true;
}

RegNode treeOf(const platform::HiveParseResult& parsed) {
  RegNode root;
  for (const auto& key : parsed.keys) platform::applyKeyRecord(root, key);
  return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const platform::HiveParseResult first =
      platform::parseHiveText(std::string_view(reinterpret_cast<const char*>(data), size));
  const RegNode tree = treeOf(first);
  const std::string text = platform::formatHiveText(tree, "HKEY_CURRENT_USER", true);
  const platform::HiveParseResult second = platform::parseHiveText(text);
  if (!second.ok() || !sameTree(treeOf(second), tree)) std::abort();
  return 0;
}
