// Applies the key records of an export to a key tree in time linear in their size: keys and
// values are found through name indexes made once per key, not by a scan of all siblings for
// every record and every value. Loading a hive and importing a file go through it.
//
// Deletions cost what additions cost: a deleted value or key keeps its place, emptied and out of
// the indexes, until `finish` takes all of them out in one pass, so no deletion moves the entries
// after it or makes an index be built again. A name set again after its deletion is a new entry
// at the end, as it would be had the deletion been made at once. Between `apply` calls the tree
// still holds the emptied places; it is whole again after `finish` (which the destructor runs).
//
// One thread at a time; the tree must not change in other ways while an applier works on it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/hive_file.h"

namespace platform {

class HiveApplier {
 public:
  explicit HiveApplier(RegNode& root);
  HiveApplier(const HiveApplier&) = delete;
  HiveApplier& operator=(const HiveApplier&) = delete;
  ~HiveApplier() { finish(); }

  // The same as applyKeyRecord: sets and deletes values, creates or deletes the key. The second
  // form takes the record's values over instead of copying them.
  void apply(const HiveKeyRecord& record);
  void apply(HiveKeyRecord&& record);
  // Takes the deleted keys and values out of the tree. Further records may follow.
  void finish();

 private:
  // One key's subkeys and values by folded name, made when the key is first met, and which of
  // their places were deleted.
  struct KeyIndex {
    bool childrenKnown = false;
    std::unordered_map<std::string, size_t> children;
    std::vector<std::unique_ptr<KeyIndex>> childIndexes;  // by place; made on the first visit
    std::vector<bool> deadChildren;
    size_t deadChildCount = 0;
    bool valuesKnown = false;
    std::unordered_map<std::string, size_t> values;
    std::vector<bool> deadValues;
    size_t deadValueCount = 0;
  };

  // The key at `path` with its index; made with its parents when `create`, else null when it is
  // not there. Null for a bad path.
  RegNode* walk(std::string_view path, bool create, KeyIndex** index);
  void deleteKey(std::string_view path);
  void setValue(RegNode& node, KeyIndex& index, HiveValueRecord&& value);
  void removeValue(RegNode& node, KeyIndex& index, std::string_view name);
  static void knowChildren(const RegNode& node, KeyIndex& index);
  static void knowValues(const RegNode& node, KeyIndex& index, size_t expected);
  static void compact(RegNode& node, KeyIndex& index);

  RegNode& root_;
  std::unique_ptr<KeyIndex> rootIndex_;
};

}  // namespace platform
