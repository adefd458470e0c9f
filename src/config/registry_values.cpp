#include "config/registry_values.h"

#include <cstring>

namespace config {

uint32_t readDword(const platform::RegKey& key, const char* name, uint32_t fallback) {
  uint32_t type = 0;
  uint32_t value = 0;
  uint32_t size = sizeof value;
  if (platform::regQueryValue(key, name, &type, &value, &size) != platform::kErrorSuccess ||
      type != platform::REG_DWORD || size != sizeof value) {
    return fallback;
  }
  return value;
}

bool readText(const platform::RegKey& key, const char* name, std::string* text) {
  uint32_t type = 0;
  char buf[kMaxRegistryText];
  uint32_t size = sizeof buf;
  if (platform::regQueryValue(key, name, &type, buf, &size) != platform::kErrorSuccess ||
      type != platform::REG_SZ || size <= 1) {
    return false;
  }
  const size_t length = strnlen(buf, size);
  if (length == 0) return false;
  *text = std::string(buf, length);
  return true;
}

long writeText(const platform::RegKey& key, const char* name, const std::string& text) {
  if (text.empty()) return deleteValue(key, name);
  return platform::regSetValue(key, name, platform::REG_SZ, text.c_str(),
                               static_cast<uint32_t>(text.size() + 1));
}

long deleteValue(const platform::RegKey& key, const char* name) {
  const long rc = platform::regDeleteValue(key, name);
  return rc == platform::kErrorFileNotFound ? platform::kErrorSuccess : rc;
}

long writeDword(const platform::RegKey& key, const char* name, uint32_t value) {
  return platform::regSetValue(key, name, platform::REG_DWORD, &value, sizeof value);
}

void ValueBatch::text(const char* name, const std::string& text) {
  if (text.empty()) {
    remove(name);
    return;
  }
  binary(name, text.c_str(), static_cast<uint32_t>(text.size() + 1));
  changes_.back().type = platform::REG_SZ;
}

void ValueBatch::dword(const char* name, uint32_t value) {
  binary(name, &value, sizeof value);
  changes_.back().type = platform::REG_DWORD;
}

void ValueBatch::binary(const char* name, const void* data, uint32_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  changes_.push_back(platform::RegValueChange{name, false, platform::REG_BINARY,
                                              std::vector<uint8_t>(bytes, bytes + size)});
}

void ValueBatch::remove(const char* name) {
  changes_.push_back(platform::RegValueChange{name, true, platform::REG_NONE, {}});
}

long ValueBatch::write(const platform::RegKey& key) const {
  return platform::regChangeValues(key, changes_);
}

}  // namespace config
