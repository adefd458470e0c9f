// Reading and writing single values of the settings and rule keys, with the program's rules:
// numbers are taken only as 4-byte REG_DWORD values, texts only as non-empty REG_SZ values of at
// most 260 bytes, and an unset (empty) text is deleted on save rather than written empty.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace config {

constexpr uint32_t kMaxRegistryText = 260;

// The value's number, or `fallback` when it is missing, not a REG_DWORD or not 4 bytes long.
uint32_t readDword(const platform::RegKey& key, const char* name, uint32_t fallback);
// True and the text (up to its first zero) when the value is a REG_SZ of 2 to 260 bytes.
bool readText(const platform::RegKey& key, const char* name, std::string* text);
// Writes the text with its terminating zero, or deletes the value when the text is empty.
long writeText(const platform::RegKey& key, const char* name, const std::string& text);
// Deletes the value; a value that is not there counts as deleted.
long deleteValue(const platform::RegKey& key, const char* name);
long writeDword(const platform::RegKey& key, const char* name, uint32_t value);

// Value changes gathered and then written with one rewrite of the hive file, under the same rules
// as the single writes above (an empty text deletes its value).
class ValueBatch {
 public:
  void text(const char* name, const std::string& text);
  void dword(const char* name, uint32_t value);
  void binary(const char* name, const void* data, uint32_t size);
  void remove(const char* name);
  // 0, or the registry error; nothing is written when the batch cannot be applied whole.
  long write(const platform::RegKey& key) const;

 private:
  std::vector<platform::RegValueChange> changes_;
};

}  // namespace config
