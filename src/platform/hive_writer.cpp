#include "platform/hive_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/hive_apply.h"
#include "platform/syscalls.h"

namespace platform {
namespace {

std::mutex gReporterMutex;  // guards gReporter
RegistryReporter gReporter;

// The result of a file write that failed with err.
long writeError(int err) {
  return err == ENOSPC || err == EDQUOT ? kErrorDiskFull : kErrorAccessDenied;
}

}  // namespace

bool validKeyPath(std::string_view path) {
  std::vector<std::string_view> parts;
  return path.find_first_of(std::string_view("\n\r\0", 3)) == std::string_view::npos &&
         splitKeyPath(path, &parts);
}

std::string joinPath(std::string_view parent, std::string_view sub) {
  if (parent.empty()) return std::string(sub);
  if (sub.empty()) return std::string(parent);
  return std::string(parent) + "\\" + std::string(sub);
}

void report(const std::vector<std::string>& messages) {
  for (const std::string& m : messages) {
    RegistryReporter reporter;
    {
      std::lock_guard<std::mutex> lock(gReporterMutex);
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

void setRegistryReporter(RegistryReporter reporter) {
  std::lock_guard<std::mutex> lock(gReporterMutex);
  gReporter = std::move(reporter);
}

HiveState& stateOf(Hive hive) {
  static HiveState states[2];
  return states[hive == Hive::kLocalMachine ? 1 : 0];
}

namespace {

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

}  // namespace

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

namespace {

// An administrator's change of a store that another user owns (the service's machine.reg, edited
// with sudo) keeps the file that user's: the new file takes the old one's owner, group and mode.
void keepOwner(const std::string& file, int fd) {
  struct stat old {};
  if (::geteuid() != 0 || ::stat(file.c_str(), &old) != 0) return;
  struct stat now {};
  if (::fstat(fd, &now) != 0 || (now.st_uid == old.st_uid && now.st_gid == old.st_gid)) return;
  if (::fchown(fd, old.st_uid, old.st_gid) == 0) ::fchmod(fd, old.st_mode & 0660);
}

}  // namespace

HiveWriter::~HiveWriter() {
  if (!tmp_.empty()) ::unlink(tmp_.c_str());
}

long HiveWriter::begin(std::vector<std::string>* msgs) {
  file_ = hiveFilePath(hive_);
  if (const int err = makeDirectories(directoryOf(file_)); err != 0) {
    msgs->push_back(errnoText(directoryOf(file_), err));
    return kErrorAccessDenied;
  }
  const std::string lockFile = file_ + ".lock";
  lock_.reset(sys().open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (lock_.valid()) keepOwner(file_, lock_.get());
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
  if (const UniqueFd written(::open(tmp_.c_str(), O_RDONLY | O_CLOEXEC)); written.valid()) {
    keepOwner(file_, written.get());
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

}  // namespace platform
