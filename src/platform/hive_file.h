// The text format of a registry export, without any file access: the parser turns the bytes of
// an export ("Windows Registry Editor Version 5.00" or "REGEDIT4", UTF-8 or UTF-16LE with its
// byte-order mark) into key records, the writer turns a key tree back into export text. Used by
// the configuration store (registry.cpp) for its hive files and for import and export, and by
// the fuzz target. The parser is hive_file.cpp, the writer hive_format.cpp. Pure functions over
// values; callable from any thread.
//
// In memory every string is 8-bit. In "5.00" files the bytes of hex(1), hex(2) and hex(7)
// values are UTF-16LE; they are converted to UTF-8 when read and back when written. Bytes that
// are not valid UTF-8 are carried as the unpaired surrogates U+DC80..U+DCFF so that any byte
// string survives a write and a read unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// What a name may hold: value names up to 16383 characters (bytes here), key paths of up to 512
// parts of up to 255 characters each.
constexpr size_t kMaxValueNameLength = 16383;
constexpr size_t kMaxKeyDepth = 512;
constexpr size_t kMaxKeyPartLength = 255;
// The registry's value types run from REG_NONE (0) to REG_QWORD (11).
constexpr uint32_t kMaxValueType = 11;
// The first line of the files this program writes.
constexpr std::string_view kHiveHeader = "Windows Registry Editor Version 5.00";

// The types whose bytes are text (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ): UTF-16LE in "5.00" files.
inline bool isStringValueType(uint32_t type) { return type == 1 || type == 2 || type == 7; }

struct RegValue {
  std::string name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

// One key with its values and subkeys, both in creation (or file) order.
struct RegNode {
  std::string name;
  std::vector<RegValue> values;
  std::vector<RegNode> subkeys;
};

// ASCII case-insensitive comparison of key and value names.
bool namesEqual(std::string_view a, std::string_view b);
// Splits "A\B\C"; false when a part is empty. An empty path has no parts.
bool splitKeyPath(std::string_view path, std::vector<std::string_view>* parts);
RegNode* findSubkey(RegNode& node, std::string_view name);
RegValue* findValue(RegNode& node, std::string_view name);
// The key at path below root, or null.
RegNode* findNode(RegNode& root, std::string_view path);
// The key at path below root, created with its parents when missing; null for a bad path.
RegNode* createNode(RegNode& root, std::string_view path);
// Removes the key at path with everything below it; false when there is none.
bool deleteNode(RegNode& root, std::string_view path);
// Replaces the value of that name (keeping its place) or appends a new one.
void putValue(RegNode& node, std::string_view name, uint32_t type, std::vector<uint8_t> data);

// A value line of an export: set, or delete (`"name"=-`).
struct HiveValueRecord {
  std::string name;
  bool remove = false;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

// A key line of an export with the values that follow it. The root is "HKEY_CURRENT_USER" or
// "HKEY_LOCAL_MACHINE" when the file names one of them in long or short form, else as written.
struct HiveKeyRecord {
  std::string root;
  std::string path;
  bool remove = false;  // "[-...]": delete the key with its subtree
  int line = 0;
  std::vector<HiveValueRecord> values;
};

// The records read, in file order. On an error the records read before the error line are kept
// (the record being read keeps the values before it) and errorLine names the 1-based line.
struct HiveParseResult {
  std::vector<HiveKeyRecord> keys;
  bool unicode = true;  // "5.00" file, as opposed to "REGEDIT4"
  int errorLine = 0;
  std::string error;
  bool ok() const { return error.empty(); }
};

// What a file from outside (an import) must keep to besides the format: value names no longer
// than the store takes from a program, and only the registry's own value types. The store's own
// files are read without these checks, so that a file written before they existed stays
// readable.
struct HiveParseLimits {
  size_t maxValueName = static_cast<size_t>(-1);
  bool registryTypesOnly = false;
};
constexpr HiveParseLimits kImportLimits{kMaxValueNameLength, true};

HiveParseResult parseHiveText(std::string_view bytes, const HiveParseLimits& limits = {});

// Applies one record below root (the record's root is not looked at).
void applyKeyRecord(RegNode& root, const HiveKeyRecord& record);

// "Windows Registry Editor Version 5.00" text (UTF-8, LF) holding node and everything below it,
// the node named fullName ("HKEY_CURRENT_USER\Software\..."). A node without values is written
// as a key line unless it is the top node and skipEmptyTop is set (the root of a whole hive).
std::string formatHiveText(const RegNode& node, std::string_view fullName, bool skipEmptyTop);
// The same for a hive's root, refused when the parser would not read the text back whole: when it
// would have more than maxBytes bytes (the text is not made past that point) or a key more than
// kMaxKeyDepth levels deep. Then *out is left empty and *why says which limit it broke.
enum class HiveTextLimit { kWithin, kTooLarge, kTooDeep };
HiveTextLimit formatHiveTextWithin(const RegNode& root, std::string_view fullName,
                                   bool skipEmptyTop, size_t maxBytes, std::string* out,
                                   std::string* why);

}  // namespace platform
