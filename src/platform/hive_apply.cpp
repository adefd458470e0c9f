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

// Keeps the entries whose place is not marked dead, in their order.
template <typename T>
void dropDead(std::vector<T>* entries, const std::vector<bool>& dead) {
  size_t kept = 0;
  for (size_t i = 0; i < entries->size(); ++i) {
    if (i < dead.size() && dead[i]) continue;
    if (kept != i) (*entries)[kept] = std::move((*entries)[i]);
    ++kept;
  }
  entries->resize(kept);
}

}  // namespace

HiveApplier::HiveApplier(RegNode& root) : root_(root), rootIndex_(std::make_unique<KeyIndex>()) {}

void HiveApplier::knowChildren(const RegNode& node, KeyIndex& index) {
  if (index.childrenKnown) return;
  index.childrenKnown = true;
  index.children.clear();
  index.children.reserve(node.subkeys.size());
  for (size_t i = 0; i < node.subkeys.size(); ++i) {
    index.children.emplace(folded(node.subkeys[i].name), i);
  }
  index.childIndexes.resize(node.subkeys.size());
  index.deadChildren.assign(node.subkeys.size(), false);
}

void HiveApplier::knowValues(const RegNode& node, KeyIndex& index, size_t expected) {
  if (index.valuesKnown) return;
  index.valuesKnown = true;
  index.values.clear();
  index.values.reserve(node.values.size() + expected);
  for (size_t i = 0; i < node.values.size(); ++i)
    index.values.emplace(folded(node.values[i].name), i);
  index.deadValues.assign(node.values.size(), false);
}

RegNode* HiveApplier::walk(std::string_view path, bool create, KeyIndex** index) {
  std::vector<std::string_view> parts;
  if (!splitKeyPath(path, &parts)) return nullptr;
  KeyIndex* at = rootIndex_.get();
  RegNode* node = &root_;
  for (std::string_view part : parts) {
    knowChildren(*node, *at);
    auto child = at->children.find(folded(part));
    if (child == at->children.end()) {
      if (!create) return nullptr;
      child = at->children.emplace(folded(part), node->subkeys.size()).first;
      node->subkeys.push_back(RegNode{std::string(part), {}, {}});
      at->childIndexes.emplace_back();
      at->deadChildren.push_back(false);
    }
    const size_t place = child->second;
    node = &node->subkeys[place];  // only this key's list grew on the way down
    std::unique_ptr<KeyIndex>& next = at->childIndexes[place];
    if (!next) next = std::make_unique<KeyIndex>();
    at = next.get();
  }
  *index = at;
  return node;
}

void HiveApplier::deleteKey(std::string_view path) {
  const size_t slash = path.rfind('\\');
  const std::string_view parentPath =
      slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
  const std::string_view leaf = slash == std::string_view::npos ? path : path.substr(slash + 1);
  KeyIndex* index = nullptr;
  RegNode* parent = walk(parentPath, false, &index);
  if (parent == nullptr || leaf.empty()) return;
  knowChildren(*parent, *index);
  const auto child = index->children.find(folded(leaf));
  if (child == index->children.end()) return;
  const size_t place = child->second;
  index->children.erase(child);
  parent->subkeys[place] = RegNode();  // its subtree goes now; its place at finish
  index->childIndexes[place].reset();
  index->deadChildren[place] = true;
  ++index->deadChildCount;
}

void HiveApplier::setValue(RegNode& node, KeyIndex& index, HiveValueRecord&& value) {
  const auto [at, added] = index.values.emplace(folded(value.name), node.values.size());
  if (added) {
    node.values.push_back(RegValue{std::move(value.name), value.type, std::move(value.data)});
    index.deadValues.push_back(false);
    return;
  }
  RegValue& old = node.values[at->second];
  old.type = value.type;
  old.data = std::move(value.data);
}

void HiveApplier::removeValue(RegNode& node, KeyIndex& index, std::string_view name) {
  const auto at = index.values.find(folded(name));
  if (at == index.values.end()) return;
  const size_t place = at->second;
  index.values.erase(at);
  node.values[place] = RegValue();
  index.deadValues[place] = true;
  ++index.deadValueCount;
}

void HiveApplier::apply(HiveKeyRecord&& record) {
  if (record.remove) {
    deleteKey(record.path);
    return;
  }
  KeyIndex* index = nullptr;
  RegNode* node = walk(record.path, true, &index);
  if (node == nullptr) return;
  knowValues(*node, *index, record.values.size());
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

void HiveApplier::compact(RegNode& node, KeyIndex& index) {
  for (size_t i = 0; i < index.childIndexes.size(); ++i) {
    if (index.childIndexes[i] && !index.deadChildren[i]) {
      compact(node.subkeys[i], *index.childIndexes[i]);
    }
  }
  if (index.deadChildCount != 0) dropDead(&node.subkeys, index.deadChildren);
  if (index.deadValueCount != 0) dropDead(&node.values, index.deadValues);
}

void HiveApplier::finish() {
  compact(root_, *rootIndex_);
  rootIndex_ = std::make_unique<KeyIndex>();  // the places moved: indexes are made again
}

}  // namespace platform
