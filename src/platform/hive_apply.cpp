#include "platform/hive_apply.h"

#include <vector>

namespace platform {
namespace {

// Names compare without ASCII case; the index keys are the folded names.
std::string folded(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

void indexChildren(const RegNode& node, std::unordered_map<std::string, size_t>* children) {
  children->clear();
  for (size_t i = 0; i < node.subkeys.size(); ++i)
    children->emplace(folded(node.subkeys[i].name), i);
}

void indexValues(const RegNode& node, std::unordered_map<std::string, size_t>* values) {
  values->clear();
  for (size_t i = 0; i < node.values.size(); ++i) values->emplace(folded(node.values[i].name), i);
}

}  // namespace

RegNode* HiveApplier::create(std::string_view path, KeyIndex** index) {
  std::vector<std::string_view> parts;
  if (!splitKeyPath(path, &parts)) return nullptr;
  std::string key;
  KeyIndex* at = &keys_[key];
  RegNode* node = &root_;
  for (std::string_view part : parts) {
    if (!at->childrenKnown) {
      indexChildren(*node, &at->children);
      at->childrenKnown = true;
    }
    const std::string name = folded(part);
    const auto [child, added] = at->children.emplace(name, node->subkeys.size());
    if (added) node->subkeys.push_back(RegNode{std::string(part), {}, {}});
    node = &node->subkeys[child->second];
    if (!key.empty()) key += '\\';
    key += name;
    at = &keys_[key];  // elements of the map keep their place when it grows
  }
  *index = at;
  return node;
}

void HiveApplier::setValue(RegNode& node, KeyIndex& index, HiveValueRecord&& value) {
  const auto [at, added] = index.values.emplace(folded(value.name), node.values.size());
  if (added) {
    node.values.push_back(RegValue{std::move(value.name), value.type, std::move(value.data)});
    return;
  }
  RegValue& old = node.values[at->second];
  old.type = value.type;
  old.data = std::move(value.data);
}

void HiveApplier::removeValue(RegNode& node, KeyIndex& index, std::string_view name) {
  const auto at = index.values.find(folded(name));
  if (at == index.values.end()) return;
  node.values.erase(node.values.begin() + static_cast<std::ptrdiff_t>(at->second));
  indexValues(node, &index.values);  // later positions moved
}

RegNode* HiveApplier::prepare(const HiveKeyRecord& record, KeyIndex** index) {
  if (record.remove) {
    deleteNode(root_, record.path);
    keys_.clear();  // positions below the deleted key's parent moved
    return nullptr;
  }
  RegNode* node = create(record.path, index);
  if (node == nullptr) return nullptr;
  if (!(*index)->valuesKnown) {
    (*index)->values.reserve(node->values.size() + record.values.size());
    indexValues(*node, &(*index)->values);
    (*index)->valuesKnown = true;
  }
  return node;
}

void HiveApplier::apply(HiveKeyRecord&& record) {
  KeyIndex* index = nullptr;
  RegNode* node = prepare(record, &index);
  if (node == nullptr) return;
  for (HiveValueRecord& v : record.values) {
    if (v.remove) {
      removeValue(*node, *index, v.name);
    } else {
      setValue(*node, *index, std::move(v));
    }
  }
}

void HiveApplier::apply(const HiveKeyRecord& record) {
  HiveKeyRecord copy = record;
  apply(std::move(copy));
}

}  // namespace platform
