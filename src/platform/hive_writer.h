// The hives as this process holds them and the one way a hive file is changed, shared by the
// registry calls (registry.cpp) and the whole-file operations (registry_files.cpp). Internal to
// the store: the public face is registry.h.
//
// Each hive's state is guarded by its own mutex; a HiveWriter holds it, and the file's advisory
// lock, for the whole of one change. Problems found on the way are collected as messages and
// given to the registry reporter once the locks are let go (`report`).
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hive_file.h"
#include "platform/hive_files.h"
#include "platform/registry.h"
#include "platform/unique_fd.h"

namespace platform {

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

HiveState& stateOf(Hive hive);
// Re-reads the hive when its file changed since the last read, and always while it could not be
// read: a file made readable again (its permissions changed) is taken at the next access.
// Caller holds s.mutex.
void refresh(Hive hive, HiveState& s, std::vector<std::string>* msgs);
// Gives each message to the registry reporter (standard error when none is set).
void report(const std::vector<std::string>& messages);
std::string errnoText(const std::string& file, int err);
// A key path the store takes: parts as splitKeyPath takes them, no line breaks or zero bytes.
bool validKeyPath(std::string_view path);
// "parent\sub", either of them possibly empty.
std::string joinPath(std::string_view parent, std::string_view sub);

// One change of a hive file: holds the hive's mutex and the file lock from begin() until
// destruction.
class HiveWriter {
 public:
  explicit HiveWriter(Hive hive) : hive_(hive), state_(stateOf(hive)), guard_(state_.mutex) {}
  HiveWriter(const HiveWriter&) = delete;
  HiveWriter& operator=(const HiveWriter&) = delete;
  ~HiveWriter();  // removes a staged file that was not renamed

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

constexpr long kNoChange = -1;  // a change function found nothing to write

// Runs `change` on a copy of the hive's tree under a HiveWriter and writes the result; a change
// that returns kNoChange writes nothing. Messages are reported after the locks are let go.
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

// Runs `read` on the hive's tree as it is in its file now, under the hive's mutex.
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

}  // namespace platform
