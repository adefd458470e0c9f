// Applies the key records of an export to a key tree in time linear in their size: keys and
// values are found through name indexes made once per key, not by a scan of all siblings for
// every record and every value. Loading a hive and importing a file go through it. One thread at
// a time; the tree must not change in other ways while an applier works on it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/hive_file.h"

namespace platform {

class HiveApplier {
 public:
  explicit HiveApplier(RegNode& root) : root_(root) {}
  HiveApplier(const HiveApplier&) = delete;
  HiveApplier& operator=(const HiveApplier&) = delete;

  // The same as applyKeyRecord: sets and deletes values, creates or deletes the key. The second
  // form takes the record's values over instead of copying them.
  void apply(const HiveKeyRecord& record);
  void apply(HiveKeyRecord&& record);

 private:
  // One key's subkey and value positions by folded name, made when the key is first met.
  struct KeyIndex {
    bool childrenKnown = false;
    std::unordered_map<std::string, size_t> children;
    bool valuesKnown = false;
    std::unordered_map<std::string, size_t> values;
  };

  // The key at `path`, made with its parents when missing; null for a bad path.
  RegNode* create(std::string_view path, KeyIndex** index);
  // The key of the record, with its value index ready; null for a bad path or a deleted key.
  RegNode* prepare(const HiveKeyRecord& record, KeyIndex** index);
  void setValue(RegNode& node, KeyIndex& index, HiveValueRecord&& value);
  void removeValue(RegNode& node, KeyIndex& index, std::string_view name);

  RegNode& root_;
  std::unordered_map<std::string, KeyIndex> keys_;  // by folded path; "" is the root
};

}  // namespace platform
