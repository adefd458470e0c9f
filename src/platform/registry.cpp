#include "platform/registry.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/hive_apply.h"
#include "platform/hive_file.h"
#include "platform/hive_writer.h"

namespace platform {
namespace {

std::mutex gDirMutex;  // guards gHiveDir
std::string gHiveDir;

bool validValueName(std::string_view name) {
  return name.size() <= kMaxValueNameLength && name.find_first_of("\n\r") == std::string_view::npos;
}

}  // namespace

long hiveStatus(Hive hive) {
  std::vector<std::string> msgs;
  long rc = kErrorSuccess;
  {
    HiveState& s = stateOf(hive);
    std::lock_guard<std::mutex> lock(s.mutex);
    refresh(hive, s, &msgs);
    rc = s.refusal;
  }
  report(msgs);
  return rc;
}

long regOpenKey(Hive hive, std::string_view path, RegKey* key) {
  *key = RegKey();
  if (!validKeyPath(path)) return kErrorInvalidParameter;
  const long rc = readHive(hive, [&](RegNode& root) {
    return findNode(root, path) != nullptr ? kErrorSuccess : kErrorFileNotFound;
  });
  if (rc != kErrorSuccess) return rc;
  key->open_ = true;
  key->hive_ = hive;
  key->path_ = path;
  return kErrorSuccess;
}

long regCreateKey(Hive hive, std::string_view path, RegKey* key) {
  *key = RegKey();
  if (!validKeyPath(path)) return kErrorInvalidParameter;
  if (regOpenKey(hive, path, key) == kErrorSuccess) return kErrorSuccess;
  const long rc = modifyHive(hive, [&](RegNode& root) {
    if (findNode(root, path) != nullptr) return kNoChange;
    return createNode(root, path) != nullptr ? kErrorSuccess : kErrorInvalidParameter;
  });
  if (rc != kErrorSuccess) return rc;
  key->open_ = true;
  key->hive_ = hive;
  key->path_ = path;
  return kErrorSuccess;
}

long regOpenSubKey(const RegKey& parent, std::string_view subkey, bool create, RegKey* key) {
  if (!parent.isOpen()) {
    *key = RegKey();
    return kErrorInvalidParameter;
  }
  const std::string path = joinPath(parent.path(), subkey);
  return create ? regCreateKey(parent.hive(), path, key) : regOpenKey(parent.hive(), path, key);
}

long regQueryValue(const RegKey& key, std::string_view name, uint32_t* type, void* data,
                   uint32_t* size) {
  if (!key.isOpen() || (data != nullptr && size == nullptr)) return kErrorInvalidParameter;
  return readHive(key.hive(), [&](RegNode& root) {
    RegNode* node = findNode(root, key.path());
    RegValue* value = node == nullptr ? nullptr : findValue(*node, name);
    if (value == nullptr) return kErrorFileNotFound;
    const auto needed = static_cast<uint32_t>(value->data.size());
    if (type != nullptr) *type = value->type;
    if (data != nullptr && *size < needed) {
      *size = needed;
      return kErrorMoreData;
    }
    if (data != nullptr && needed > 0) std::memcpy(data, value->data.data(), needed);
    if (size != nullptr) *size = needed;
    return kErrorSuccess;
  });
}

long regSetValue(const RegKey& key, std::string_view name, uint32_t type, const void* data,
                 uint32_t size) {
  if (!key.isOpen() || !validValueName(name) || type > kMaxValueType ||
      (data == nullptr && size > 0)) {
    return kErrorInvalidParameter;
  }
  const auto* bytes = static_cast<const uint8_t*>(data);
  std::vector<uint8_t> copy(bytes, bytes + size);
  return modifyHive(key.hive(), [&](RegNode& root) {
    RegNode* node = findNode(root, key.path());
    if (node == nullptr) return kErrorFileNotFound;
    const RegValue* old = findValue(*node, name);
    if (old != nullptr && old->type == type && old->data == copy) return kNoChange;
    putValue(*node, name, type, std::move(copy));
    return kErrorSuccess;
  });
}

long regDeleteValue(const RegKey& key, std::string_view name) {
  if (!key.isOpen()) return kErrorInvalidParameter;
  return modifyHive(key.hive(), [&](RegNode& root) {
    RegNode* node = findNode(root, key.path());
    if (node == nullptr) return kErrorFileNotFound;
    for (auto it = node->values.begin(); it != node->values.end(); ++it) {
      if (namesEqual(it->name, name)) {
        node->values.erase(it);
        return kErrorSuccess;
      }
    }
    return kErrorFileNotFound;
  });
}

long regChangeValues(const RegKey& key, const std::vector<RegValueChange>& changes) {
  if (!key.isOpen()) return kErrorInvalidParameter;
  for (const RegValueChange& c : changes) {
    if (!validValueName(c.name) || (!c.remove && c.type > kMaxValueType)) {
      return kErrorInvalidParameter;
    }
  }
  return modifyHive(key.hive(), [&](RegNode& root) {
    RegNode* node = findNode(root, key.path());
    if (node == nullptr) return kErrorFileNotFound;
    // All changes go through one applier, so that many of them cost one pass over the key.
    HiveKeyRecord record;
    record.path = key.path();
    for (const RegValueChange& c : changes) {
      record.values.push_back(HiveValueRecord{c.name, c.remove, c.type, c.data});
    }
    const std::vector<RegValue> before = node->values;
    HiveApplier(root).apply(record);
    const auto same = [](const RegValue& a, const RegValue& b) {
      return a.name == b.name && a.type == b.type && a.data == b.data;
    };
    const bool unchanged =
        std::equal(before.begin(), before.end(), node->values.begin(), node->values.end(), same);
    return unchanged ? kNoChange : kErrorSuccess;
  });
}

long regDeleteKey(const RegKey& parent, std::string_view subkey) {
  if (!parent.isOpen() || subkey.empty() || !validKeyPath(subkey)) return kErrorInvalidParameter;
  const std::string path = joinPath(parent.path(), subkey);
  return modifyHive(parent.hive(), [&](RegNode& root) {
    return deleteNode(root, path) ? kErrorSuccess : kErrorFileNotFound;
  });
}

long regEnumKey(const RegKey& key, uint32_t index, std::string* name) {
  if (!key.isOpen() || name == nullptr) return kErrorInvalidParameter;
  return readHive(key.hive(), [&](RegNode& root) {
    const RegNode* node = findNode(root, key.path());
    if (node == nullptr) return kErrorFileNotFound;
    if (index >= node->subkeys.size()) return kErrorNoMoreItems;
    *name = node->subkeys[index].name;
    return kErrorSuccess;
  });
}

long regEnumValue(const RegKey& key, uint32_t index, std::string* name, uint32_t* type,
                  std::vector<uint8_t>* data) {
  if (!key.isOpen()) return kErrorInvalidParameter;
  return readHive(key.hive(), [&](RegNode& root) {
    const RegNode* node = findNode(root, key.path());
    if (node == nullptr) return kErrorFileNotFound;
    if (index >= node->values.size()) return kErrorNoMoreItems;
    const RegValue& v = node->values[index];
    if (name != nullptr) *name = v.name;
    if (type != nullptr) *type = v.type;
    if (data != nullptr) *data = v.data;
    return kErrorSuccess;
  });
}

long regEnumValues(const RegKey& key, std::vector<RegValueEntry>* values) {
  if (!key.isOpen() || values == nullptr) return kErrorInvalidParameter;
  values->clear();
  return readHive(key.hive(), [&](RegNode& root) {
    const RegNode* node = findNode(root, key.path());
    if (node == nullptr) return kErrorFileNotFound;
    values->reserve(node->values.size());
    for (const RegValue& v : node->values) values->push_back(RegValueEntry{v.name, v.type, v.data});
    return kErrorSuccess;
  });
}

long regEnumKeys(const RegKey& key, std::vector<std::string>* names) {
  if (!key.isOpen() || names == nullptr) return kErrorInvalidParameter;
  names->clear();
  return readHive(key.hive(), [&](RegNode& root) {
    const RegNode* node = findNode(root, key.path());
    if (node == nullptr) return kErrorFileNotFound;
    for (const RegNode& sub : node->subkeys) names->push_back(sub.name);
    return kErrorSuccess;
  });
}

std::string hiveFilePath(Hive hive) {
  const char* leaf = hive == Hive::kLocalMachine ? "/machine.reg" : "/user.reg";
  {
    std::lock_guard<std::mutex> lock(gDirMutex);
    if (!gHiveDir.empty()) return gHiveDir + leaf;
  }
  const char* dir = std::getenv("BRISKLANE_CONFIG_DIR");
  if (dir != nullptr && *dir != '\0') return dir + std::string(leaf);
  if (hive == Hive::kLocalMachine) return "/etc/brisklane/machine.reg";
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg + std::string("/brisklane/user.reg");
  const char* home = std::getenv("HOME");
  std::string base = home != nullptr ? home : "";
  if (base.empty()) {
    const passwd* pw = ::getpwuid(::getuid());
    base = pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : ".";
  }
  return base + "/.config/brisklane/user.reg";
}

void setHiveDirectory(const std::string& dir) {
  std::lock_guard<std::mutex> lock(gDirMutex);
  gHiveDir = dir;
}

const char* hiveName(Hive hive) {
  return hive == Hive::kLocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

}  // namespace platform
