// The configuration store: the registry calls the program needs, over hive files kept in the
// text format of a registry export.
//
// Two hives exist: the current user's (HKCU, `$XDG_CONFIG_HOME/brisklane/user.reg`, default
// `~/.config/brisklane/user.reg`) and the local machine's (HKLM, `/etc/brisklane/machine.reg`).
// When `BRISKLANE_CONFIG_DIR` is set, both files live in that folder. Key paths are relative
// to the hive ("Software\Tandry\Brisklane 4"), separated by backslashes; key and value names
// compare case-insensitively (ASCII) and keep the case they were created with.
//
// Every change is written at once: the file is locked (advisory lock on "<file>.lock"),
// re-read when another process changed it, changed, written to a temporary file, synced and
// renamed over the original. A reader sees changes made by another process because the file
// is re-read whenever its identity (inode, size, modification time) changed. Files are created
// mode 0600. A file that cannot be parsed is reported once with its file name and line, is never
// overwritten (every change to it fails with kErrorWriteProtect), and its keys and values read so
// far stay readable; once another process mends the file it is read again and writable. A file
// that cannot be read at all (permissions, a folder in its place) is reported the same way and
// changes fail with kErrorAccessDenied. A missing file is an empty hive.
//
// No change is written that the store could not read back: a change whose file would be larger
// than the reader takes (kMaxHiveFileBytes) fails whole with kErrorFileTooLarge, and the reason
// is reported; the file and the hive stay as they were. A write that fails at any step (the
// temporary file cannot be made, written or synced, or the rename fails) leaves the previous file
// whole and the hive unchanged; a full disk gives kErrorDiskFull, any other failure
// kErrorAccessDenied, each reported with the file and the system's text. Temporary files of
// writers that were killed are removed by the next writer.
//
// All calls are safe from any thread. Strings are 8-bit; REG_SZ data carries its terminating
// zero. UTF-16LE exports (with their byte-order mark, as the Windows registry editor writes them)
// are read and converted; the store itself is always written as UTF-8.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class Hive { kCurrentUser, kLocalMachine };

// Value types, with their registry numbers.
constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_EXPAND_SZ = 2;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;
constexpr uint32_t REG_MULTI_SZ = 7;

// Results, with the numbers of the system errors they stand for.
constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;  // no such key or value
constexpr long kErrorAccessDenied = 5;  // the file cannot be read or written
constexpr long kErrorInvalidParameter = 87;
constexpr long kErrorMoreData = 234;      // the buffer is too small; the size is set
constexpr long kErrorNoMoreItems = 259;   // enumeration ended
constexpr long kErrorBadDb = 1009;        // the hive file could not be parsed
constexpr long kErrorWriteProtect = 19;   // the hive is read-only after a parse failure
constexpr long kErrorDiskFull = 112;      // no space left for the rewritten file
constexpr long kErrorFileTooLarge = 223;  // the rewritten file would be too large to read back

// An open key. Closing happens on destruction; a default-constructed key is closed.
class RegKey {
 public:
  RegKey() = default;
  RegKey(RegKey&&) noexcept = default;
  RegKey& operator=(RegKey&&) noexcept = default;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  ~RegKey() = default;

  bool isOpen() const { return open_; }
  Hive hive() const { return hive_; }
  const std::string& path() const { return path_; }

 private:
  friend long regOpenKey(Hive, std::string_view, RegKey*);
  friend long regCreateKey(Hive, std::string_view, RegKey*);
  friend long regOpenSubKey(const RegKey&, std::string_view, bool, RegKey*);
  bool open_ = false;
  Hive hive_ = Hive::kCurrentUser;
  std::string path_;
};

// Opens an existing key; kErrorFileNotFound when it does not exist.
long regOpenKey(Hive hive, std::string_view path, RegKey* key);
// Opens a key, creating it and every missing parent.
long regCreateKey(Hive hive, std::string_view path, RegKey* key);
// Opens (create = false) or creates a subkey of an open key.
long regOpenSubKey(const RegKey& parent, std::string_view subkey, bool create, RegKey* key);
inline long regCloseKey(RegKey* key) {
  *key = RegKey();
  return kErrorSuccess;
}

// Like RegQueryValueEx: type may be null; with data null only the size is reported; when
// *size is smaller than the value, kErrorMoreData is returned and *size set to the size needed.
// An empty or null name is the key's default value.
long regQueryValue(const RegKey& key, std::string_view name, uint32_t* type, void* data,
                   uint32_t* size);
// Value names have up to 16383 characters and no line breaks; types run from REG_NONE to
// REG_QWORD (11); anything else is kErrorInvalidParameter.
long regSetValue(const RegKey& key, std::string_view name, uint32_t type, const void* data,
                 uint32_t size);
long regDeleteValue(const RegKey& key, std::string_view name);

// One change of a value in `regChangeValues`: set it (type and data), or delete it.
struct RegValueChange {
  std::string name;
  bool remove = false;
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;
};
// Makes all the changes of one key with one write of the hive file, in their order; a value to
// delete that is not there counts as deleted. Nothing is written when a name is unusable
// (kErrorInvalidParameter) or nothing changes.
long regChangeValues(const RegKey& key, const std::vector<RegValueChange>& changes);
// Deletes a subkey of an open key together with everything below it.
long regDeleteKey(const RegKey& parent, std::string_view subkey);
// The index-th direct subkey name, in the order the keys were created or read.
long regEnumKey(const RegKey& key, uint32_t index, std::string* name);
// The index-th value of a key: its name, type and data.
long regEnumValue(const RegKey& key, uint32_t index, std::string* name, uint32_t* type,
                  std::vector<uint8_t>* data);

// Every value of a key, or every subkey name, in their order, taken with one look at the store:
// a walk of index-th calls looks at the file once per value.
struct RegValueEntry {
  std::string name;
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;
};
long regEnumValues(const RegKey& key, std::vector<RegValueEntry>* values);
long regEnumKeys(const RegKey& key, std::vector<std::string>* names);

// Whether the hive was read whole: kErrorSuccess, kErrorAccessDenied (the file cannot be read)
// or kErrorWriteProtect (it cannot be parsed; what was read before the fault is kept).
long hiveStatus(Hive hive);

// Where the hives live, as described above.
std::string hiveFilePath(Hive hive);
// Overrides the folder of both hives (tests); an empty text returns to the environment's choice.
void setHiveDirectory(const std::string& dir);

// Receives a parse or file problem of a hive: one line naming the file and the line.
// The default reporter writes to standard error.
using RegistryReporter = std::function<void(const std::string& message)>;
void setRegistryReporter(RegistryReporter reporter);

// Whole-file operations for the configuration tool.
// Reads an export file (UTF-8 or UTF-16LE with BOM) and applies every key and value in it to
// the hives its key names choose (HKEY_CURRENT_USER / HKEY_LOCAL_MACHINE). Nothing is changed
// when the file cannot be parsed; *error then names the file and line. An import keeps to what a
// program may store: value names of up to 16383 characters, the registry's value types (hex(0)
// to hex(b)). When a hive's rewritten file would be refused (above) nothing of the import is
// written and *error gives the reason.
long regImportFile(const std::string& file, std::string* error);
// Writes the key and everything below it to an export file (UTF-8, mode 0600), replacing the
// file atomically. kErrorFileNotFound when there is no such key.
long regExportKey(Hive hive, std::string_view path, const std::string& file, std::string* error);

// The name of a hive in export files: "HKEY_CURRENT_USER" or "HKEY_LOCAL_MACHINE".
const char* hiveName(Hive hive);

}  // namespace platform
