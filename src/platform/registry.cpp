#include "platform/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

#include "platform/hive_apply.h"
#include "platform/hive_file.h"
#include "platform/hive_files.h"
#include "platform/syscalls.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

constexpr long kNoChange = -1;  // a change function found nothing to write

std::mutex gSettingsMutex;  // guards gHiveDir and gReporter
std::string gHiveDir;
RegistryReporter gReporter;

void report(const std::vector<std::string>& messages) {
  for (const std::string& m : messages) {
    RegistryReporter reporter;
    {
      std::lock_guard<std::mutex> lock(gSettingsMutex);
      reporter = gReporter;
    }
    if (reporter) {
      reporter(m);
    } else {
      std::fprintf(stderr, "%s\n", m.c_str());
    }
  }
}

std::string errnoText(const std::string& file, int err) { return file + ": " + std::strerror(err); }

// The result of a file write that failed with err.
long writeError(int err) {
  return err == ENOSPC || err == EDQUOT ? kErrorDiskFull : kErrorAccessDenied;
}

// One hive as this process last read it.
struct HiveState {
  std::mutex mutex;  // guards every member below
  bool loaded = false;
  std::string file;
  FileIdentity id;
  RegNode root;
  long refusal = kErrorSuccess;  // why changes are refused: kErrorWriteProtect, kErrorAccessDenied
  std::string lastReport;        // a problem is reported once, until the hive reads well again
};

HiveState& stateOf(Hive hive) {
  static HiveState states[2];
  return states[hive == Hive::kLocalMachine ? 1 : 0];
}

void noteProblem(HiveState& s, std::string message, std::vector<std::string>* msgs) {
  if (message == s.lastReport) return;
  s.lastReport = message;
  msgs->push_back(std::move(message));
}

void loadHive(Hive hive, HiveState& s, const std::string& file, std::vector<std::string>* msgs) {
  s.loaded = true;
  s.file = file;
  s.root = RegNode();
  s.refusal = kErrorSuccess;
  std::string bytes;
  if (const int err = readWholeFile(file, &bytes, &s.id); err != 0) {
    s.refusal = kErrorAccessDenied;
    noteProblem(s, errnoText(file, err), msgs);
    return;
  }
  if (bytes.empty()) {
    s.lastReport.clear();
    return;
  }
  HiveParseResult parsed = parseHiveText(bytes);
  int errorLine = parsed.errorLine;
  std::string error = parsed.error;
  HiveApplier applier(s.root);
  for (HiveKeyRecord& key : parsed.keys) {
    if (key.root != hiveName(hive)) {
      errorLine = key.line;
      error = "a key of " + key.root + " in the file of " + hiveName(hive);
      break;
    }
    applier.apply(std::move(key));
  }
  if (!error.empty()) {
    s.refusal = kErrorWriteProtect;
    noteProblem(s, file + ":" + std::to_string(errorLine) + ": " + error, msgs);
  } else {
    s.lastReport.clear();
  }
}

// Re-reads the hive when its file changed since the last read, and always while it could not be
// read: a file made readable again (its permissions changed) is taken at the next access.
// Caller holds s.mutex.
void refresh(Hive hive, HiveState& s, std::vector<std::string>* msgs) {
  const std::string file = hiveFilePath(hive);
  if (!s.loaded || s.file != file || s.refusal == kErrorAccessDenied ||
      currentIdentity(file) != s.id) {
    loadHive(hive, s, file, msgs);
  }
}

// One change of a hive file: holds the hive's mutex and the file lock from begin() until
// destruction.
class HiveWriter {
 public:
  explicit HiveWriter(Hive hive) : hive_(hive), state_(stateOf(hive)), guard_(state_.mutex) {}
  HiveWriter(const HiveWriter&) = delete;
  HiveWriter& operator=(const HiveWriter&) = delete;
  ~HiveWriter() {
    if (!tmp_.empty()) ::unlink(tmp_.c_str());
  }

  long begin(std::vector<std::string>* msgs);
  const RegNode& root() const { return state_.root; }
  // Writes the tree to the temporary file; on a failure *why says what went wrong.
  long stage(const RegNode& root, std::string* why);
  long commit(RegNode root, std::string* why);

 private:
  Hive hive_;
  HiveState& state_;
  std::unique_lock<std::mutex> guard_;
  UniqueFd lock_;  // holds the flock on "<file>.lock"
  std::string file_;
  std::string tmp_;  // staged, not yet renamed
};

long HiveWriter::begin(std::vector<std::string>* msgs) {
  file_ = hiveFilePath(hive_);
  if (const int err = makeDirectories(directoryOf(file_)); err != 0) {
    msgs->push_back(errnoText(directoryOf(file_), err));
    return kErrorAccessDenied;
  }
  const std::string lockFile = file_ + ".lock";
  lock_.reset(sys().open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  int rc = lock_.valid() ? 0 : -1;
  while (rc == 0 && (rc = ::flock(lock_.get(), LOCK_EX)) != 0 && errno == EINTR) rc = 0;
  if (rc != 0) {
    const int err = errno;  // the message's making may clobber it
    msgs->push_back(errnoText(lockFile, err));
    return kErrorAccessDenied;
  }
  // Every writer holds the lock while its temporary file exists: those there now are the
  // leftovers of writers that were killed.
  removeStaleTemporaries(file_);
  refresh(hive_, state_, msgs);
  return state_.refusal;
}

long HiveWriter::stage(const RegNode& root, std::string* why) {
  // A file the reader would refuse is never written: the old one stays, readable.
  std::string text;
  std::string limit;
  const HiveTextLimit broken =
      formatHiveTextWithin(root, hiveName(hive_), true, kMaxHiveFileBytes, &text, &limit);
  if (broken != HiveTextLimit::kWithin) {
    *why = file_ + ": the change is refused, as the file could not be read back (" + limit +
           "); the file stays as it was";
    return broken == HiveTextLimit::kTooDeep ? kErrorInvalidParameter : kErrorFileTooLarge;
  }
  tmp_ = temporaryFileOf(file_);
  if (const int err = writeNewFile(tmp_, text); err != 0) {
    *why = errnoText(tmp_, err);
    return writeError(err);
  }
  return kErrorSuccess;
}

long HiveWriter::commit(RegNode root, std::string* why) {
  if (sys().rename(tmp_.c_str(), file_.c_str()) != 0) {
    const int err = errno;
    *why = errnoText(file_, err);
    return writeError(err);
  }
  tmp_.clear();
  syncDirectory(directoryOf(file_));
  state_.root = std::move(root);
  state_.id = currentIdentity(file_);
  return kErrorSuccess;
}

template <typename Change>
long modifyHive(Hive hive, Change change) {
  std::vector<std::string> msgs;
  long rc = kErrorSuccess;
  {
    HiveWriter writer(hive);
    rc = writer.begin(&msgs);
    if (rc == kErrorSuccess) {
      RegNode root = writer.root();
      std::string why;
      rc = change(root);
      if (rc == kErrorSuccess) rc = writer.stage(root, &why);
      if (rc == kErrorSuccess) rc = writer.commit(std::move(root), &why);
      if (rc == kNoChange) rc = kErrorSuccess;
      if (!why.empty()) msgs.push_back(why);
    }
  }
  report(msgs);
  return rc;
}

template <typename Read>
long readHive(Hive hive, Read read) {
  std::vector<std::string> msgs;
  long rc = kErrorSuccess;
  {
    HiveState& s = stateOf(hive);
    std::lock_guard<std::mutex> lock(s.mutex);
    refresh(hive, s, &msgs);
    rc = read(s.root);
  }
  report(msgs);
  return rc;
}

bool validKeyPath(std::string_view path) {
  std::vector<std::string_view> parts;
  return path.find_first_of(std::string_view("\n\r\0", 3)) == std::string_view::npos &&
         splitKeyPath(path, &parts);
}

bool validValueName(std::string_view name) {
  return name.size() <= kMaxValueNameLength && name.find_first_of("\n\r") == std::string_view::npos;
}

std::string joinPath(std::string_view parent, std::string_view sub) {
  if (parent.empty()) return std::string(sub);
  if (sub.empty()) return std::string(parent);
  return std::string(parent) + "\\" + std::string(sub);
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
    std::lock_guard<std::mutex> lock(gSettingsMutex);
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
  std::lock_guard<std::mutex> lock(gSettingsMutex);
  gHiveDir = dir;
}

void setRegistryReporter(RegistryReporter reporter) {
  std::lock_guard<std::mutex> lock(gSettingsMutex);
  gReporter = std::move(reporter);
}

const char* hiveName(Hive hive) {
  return hive == Hive::kLocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

namespace {

// Parses an import file and checks that it names only our two hives.
long parseImportFile(const std::string& file, HiveParseResult* parsed, std::string* error) {
  std::string bytes;
  FileIdentity id;
  int err = readWholeFile(file, &bytes, &id);
  if (err == 0 && id.statError != 0) err = id.statError;
  if (err != 0) {
    *error = errnoText(file, err);
    return err == ENOENT ? kErrorFileNotFound : kErrorAccessDenied;
  }
  *parsed = parseHiveText(bytes, kImportLimits);
  int line = parsed->errorLine;
  std::string what = parsed->error;
  for (const HiveKeyRecord& key : parsed->keys) {
    if (line != 0 && key.line > line) break;
    if (key.root != hiveName(Hive::kCurrentUser) && key.root != hiveName(Hive::kLocalMachine)) {
      line = key.line;
      what = "keys of " + key.root + " cannot be imported (only HKEY_CURRENT_USER and " +
             "HKEY_LOCAL_MACHINE)";
      break;
    }
  }
  if (line == 0) return kErrorSuccess;
  *error = file + ":" + std::to_string(line) + ": " + what;
  return kErrorBadDb;
}

std::string refusalText(Hive hive, long rc) {
  const std::string file = hiveFilePath(hive);
  if (rc == kErrorWriteProtect)
    return file + ": the file could not be parsed and is left unchanged";
  return file + ": the file cannot be read or written";
}

// Applies the import's records of one hive to its tree and stages the result.
long stageImport(HiveWriter& writer, Hive hive, HiveParseResult& parsed, RegNode* root,
                 std::string* why) {
  *root = writer.root();
  {
    HiveApplier applier(*root);
    for (HiveKeyRecord& key : parsed.keys) {
      if (key.root == hiveName(hive)) applier.apply(std::move(key));  // one hive each
    }
  }
  return writer.stage(*root, why);
}

}  // namespace

long regImportFile(const std::string& file, std::string* error) {
  HiveParseResult parsed;
  long rc = parseImportFile(file, &parsed, error);
  if (rc != kErrorSuccess) return rc;
  const Hive hives[2] = {Hive::kCurrentUser, Hive::kLocalMachine};
  std::vector<std::string> msgs;
  {
    // Both hives are locked in this order before either is written, so a refusal of the second
    // leaves the first unchanged.
    std::optional<HiveWriter> writers[2];
    RegNode roots[2];
    for (int h = 0; h < 2 && rc == kErrorSuccess; ++h) {
      const bool used =
          std::any_of(parsed.keys.begin(), parsed.keys.end(),
                      [&](const HiveKeyRecord& k) { return k.root == hiveName(hives[h]); });
      if (!used) continue;
      writers[h].emplace(hives[h]);
      rc = writers[h]->begin(&msgs);
      if (rc != kErrorSuccess) {
        *error = refusalText(hives[h], rc);
        break;
      }
      rc = stageImport(*writers[h], hives[h], parsed, &roots[h], error);
    }
    for (int h = 0; h < 2 && rc == kErrorSuccess; ++h) {
      if (writers[h]) rc = writers[h]->commit(std::move(roots[h]), error);
    }
  }
  report(msgs);
  return rc;
}

long regExportKey(Hive hive, std::string_view path, const std::string& file, std::string* error) {
  if (!validKeyPath(path)) return kErrorInvalidParameter;
  std::string text;
  const long rc = readHive(hive, [&](RegNode& root) {
    const RegNode* node = findNode(root, path);
    if (node == nullptr) return kErrorFileNotFound;
    text = formatHiveText(*node, joinPath(hiveName(hive), path), false);
    return kErrorSuccess;
  });
  if (rc != kErrorSuccess) {
    *error = joinPath(hiveName(hive), path) + ": no such key";
    return rc;
  }
  if (const int err = replaceFile(file, text); err != 0) {
    *error = errnoText(file, err);
    return kErrorAccessDenied;
  }
  return kErrorSuccess;
}

}  // namespace platform
