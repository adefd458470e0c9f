// The configuration store's whole-file operations: import of an export file into the hives, and
// export of a key to a file.
#include <algorithm>
#include <cerrno>
#include <optional>

#include "platform/hive_apply.h"
#include "platform/hive_writer.h"
#include "platform/registry.h"

namespace platform {
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
