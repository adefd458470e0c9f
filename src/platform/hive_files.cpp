#include "platform/hive_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "platform/syscalls.h"
#include "platform/unique_fd.h"

namespace platform {

FileIdentity identityOf(const struct stat& st) {
  return FileIdentity{0,
                      st.st_dev,
                      st.st_ino,
                      st.st_size,
                      st.st_mtim.tv_sec,
                      st.st_mtim.tv_nsec,
                      st.st_ctim.tv_sec,
                      st.st_ctim.tv_nsec};
}

FileIdentity currentIdentity(const std::string& file) {
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) {
    FileIdentity id;
    id.statError = errno;
    return id;
  }
  return identityOf(st);
}

int readWholeFile(const std::string& file, std::string* bytes, FileIdentity* id) {
  UniqueFd fd(sys().open(file.c_str(), O_RDONLY | O_CLOEXEC, 0));
  if (!fd.valid()) {
    const int err = errno;
    *id = currentIdentity(file);
    return err == ENOENT ? 0 : err;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return errno;
  *id = identityOf(st);
  if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  if (static_cast<size_t>(st.st_size) > kMaxHiveFileBytes) return EFBIG;
  bytes->reserve(static_cast<size_t>(st.st_size) + 1);
  char buf[65536];
  while (bytes->size() <= kMaxHiveFileBytes) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    bytes->append(buf, static_cast<size_t>(n));
  }
  return EFBIG;
}

int writeNewFile(const std::string& path, const std::string& bytes) {
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
  UniqueFd fd(sys().open(path.c_str(), flags, 0600));
  if (!fd.valid() && errno == EEXIST && ::unlink(path.c_str()) == 0) {
    fd.reset(sys().open(path.c_str(), flags, 0600));  // left behind by a crashed process of our pid
  }
  if (!fd.valid()) return errno;
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = sys().write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;  // a write that moves nothing would never end
    done += static_cast<size_t>(n);
  }
  if (sys().fsync(fd.get()) != 0) return errno;
  return ::close(fd.release()) == 0 ? 0 : errno;
}

std::string directoryOf(const std::string& file) {
  const size_t slash = file.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : file.substr(0, slash);
}

int makeDirectories(const std::string& dir) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos < dir.size() && dir[pos] != '/') continue;
    const std::string prefix = dir.substr(0, pos);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

void syncDirectory(const std::string& dir) {
  UniqueFd fd(sys().open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
  if (fd.valid()) sys().fsync(fd.get());
}

int replaceFile(const std::string& target, const std::string& text) {
  const std::string tmp = temporaryFileOf(target);
  int err = writeNewFile(tmp, text);
  if (err == 0 && sys().rename(tmp.c_str(), target.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(tmp.c_str());
    return err;
  }
  syncDirectory(directoryOf(target));
  return 0;
}

std::string temporaryFileOf(const std::string& file) {
  return file + kTemporarySuffix + std::to_string(::getpid());
}

int removeStaleTemporaries(const std::string& file) {
  const std::string dir = directoryOf(file);
  const size_t slash = file.rfind('/');
  const std::string stem =
      (slash == std::string::npos ? file : file.substr(slash + 1)) + kTemporarySuffix;
  const std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(dir.c_str()), ::closedir);
  if (!folder) return 0;
  int removed = 0;
  while (const dirent* entry = ::readdir(folder.get())) {
    const std::string name = entry->d_name;
    if (name.size() <= stem.size() || name.compare(0, stem.size(), stem) != 0) continue;
    const bool digits = name.find_first_not_of("0123456789", stem.size()) == std::string::npos;
    if (digits && ::unlink((dir + "/" + name).c_str()) == 0) ++removed;
  }
  return removed;
}

}  // namespace platform
