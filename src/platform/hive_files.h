// File access of the configuration store: telling one version of a hive file from another
// without reading it, reading a whole file, creating folders, and replacing a file atomically
// (temporary file, fsync, rename, fsync of the folder). Functions return 0 or an errno value.
// The open, write, fsync and rename calls go through the system-call table (syscalls.h).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <ctime>
#include <string>

namespace platform {

// Larger hive files are refused.
constexpr size_t kMaxHiveFileBytes = size_t{64} << 20;

// What tells one version of a file from another without reading it.
struct FileIdentity {
  int statError = ENOENT;  // 0 when the file exists
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  time_t mtimeSec = 0;
  long mtimeNsec = 0;
  time_t ctimeSec = 0;  // changes with the permissions too
  long ctimeNsec = 0;
  bool operator==(const FileIdentity&) const = default;
};

FileIdentity identityOf(const struct stat& st);
FileIdentity currentIdentity(const std::string& file);
// Reads the whole file; a missing file reads as empty.
int readWholeFile(const std::string& file, std::string* bytes, FileIdentity* id);
// Writes bytes to a new file at path (mode 0600) and syncs it.
int writeNewFile(const std::string& path, const std::string& bytes);
std::string directoryOf(const std::string& file);
// Creates the folder and its missing parents, mode 0700.
int makeDirectories(const std::string& dir);
void syncDirectory(const std::string& dir);
// Writes the text to a temporary file beside target and renames it over target.
int replaceFile(const std::string& target, const std::string& text);

// The temporary file beside `file` that this process writes before it renames it over `file`:
// "<file>.tmp.<pid>".
constexpr char kTemporarySuffix[] = ".tmp.";
std::string temporaryFileOf(const std::string& file);
// Removes every "<file>.tmp.<digits>" beside `file`: the temporaries of writers that were killed
// before their rename. Only a writer that holds the file's lock may call it (every writer holds it
// while its temporary exists). Returns how many were removed.
int removeStaleTemporaries(const std::string& file);

}  // namespace platform
