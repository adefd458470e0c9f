#include "platform/shared_memory.h"

#include <fcntl.h>
#include <pwd.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/syscalls.h"

namespace platform {

namespace {

constexpr mode_t kObjectMode = 0600;
constexpr size_t kMaxNameLength = 251;  // the slash and 250 characters
constexpr int kCreateAttempts = 8;
// Where the C library keeps the objects: shared memory "/NAME" is /dev/shm/NAME, a semaphore
// "/NAME" is /dev/shm/sem.NAME.
constexpr char kShmDirectory[] = "/dev/shm";

int flockRetrying(int fd, int operation) {
  int rc = 0;
  while ((rc = ::flock(fd, operation)) != 0 && errno == EINTR) {
  }
  return rc == 0 ? 0 : errno;
}

ObjectOwner ownerOf(const struct stat& st) { return ObjectOwner{true, st.st_uid, st.st_mode}; }

// This user's own: a regular file of the effective user that nobody else may write.
bool ownObject(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string semaphorePath(const std::string& name) {
  return std::string(kShmDirectory) + "/sem." + name.substr(1);
}

}  // namespace

bool validSharedObjectName(const std::string& name) {
  if (name.size() < 2 || name.size() > kMaxNameLength || name[0] != '/') return false;
  for (size_t i = 1; i < name.size(); ++i) {
    const char c = name[i];
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '.' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::string userNameOf(uid_t uid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_name != nullptr) {
    return found->pw_name;
  }
  return std::to_string(uid);
}

std::string ownerText(const ObjectOwner& owner) {
  char details[64];
  std::snprintf(details, sizeof details, " (uid %u, mode %04o%s)", static_cast<unsigned>(owner.uid),
                static_cast<unsigned>(owner.mode & 07777),
                S_ISREG(owner.mode) ? "" : ", not a file");
  return userNameOf(owner.uid) + details;
}

SharedMemory::SharedMemory(SharedMemory&& other) noexcept
    : fd_(std::move(other.fd_)),
      writable_(other.writable_),
      data_(other.data_),
      size_(other.size_),
      found_(other.found_) {
  other.data_ = nullptr;
  other.size_ = 0;
}

SharedMemory& SharedMemory::operator=(SharedMemory&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::move(other.fd_);
    writable_ = other.writable_;
    data_ = other.data_;
    size_ = other.size_;
    found_ = other.found_;
    other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

int SharedMemory::openChecked(const std::string& name, int flags) {
  fd_.reset(sys().shmOpen(name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
  if (!fd_.valid()) {
    const int err = errno;
    struct stat st {};
    if (err == EACCES && ::stat((kShmDirectory + name).c_str(), &st) == 0) {
      found_ = ownerOf(st);
      if (!ownObject(st)) return EPERM;
    }
    return err;
  }
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) {
    const int err = errno;
    fd_.reset();
    return err;
  }
  found_ = ownerOf(st);
  if (!ownObject(st)) {
    fd_.reset();
    return EPERM;
  }
  return 0;
}

int SharedMemory::open(const std::string& name, bool writable) {
  close();
  found_ = ObjectOwner();
  if (!validSharedObjectName(name)) return EINVAL;
  writable_ = writable;
  return openChecked(name, writable ? O_RDWR : O_RDONLY);
}

int SharedMemory::openOrCreate(const std::string& name, bool* created) {
  close();
  found_ = ObjectOwner();
  *created = false;
  if (!validSharedObjectName(name)) return EINVAL;
  writable_ = true;
  // Exclusive creation first, so that exactly one of several racing processes is the creator.
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    fd_.reset(sys().shmOpen(name.c_str(), flags, kObjectMode));
    if (fd_.valid()) {
      ::fchmod(fd_.get(), kObjectMode);  // whatever the umask left of it
      found_ = ObjectOwner{true, ::geteuid(), S_IFREG | kObjectMode};
      *created = true;
      return 0;
    }
    if (errno != EEXIST) return errno;
    const int err = openChecked(name, O_RDWR);
    if (err != ENOENT) return err;  // 0, or a refusal; ENOENT: removed in between, try again
  }
  return EAGAIN;
}

int SharedMemory::objectSize(size_t* size) const {
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) return errno;
  *size = static_cast<size_t>(st.st_size);
  return 0;
}

int SharedMemory::resize(size_t size) {
  return ::ftruncate(fd_.get(), static_cast<off_t>(size)) == 0 ? 0 : errno;
}

int SharedMemory::map(size_t size) {
  if (data_ != nullptr) ::munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
  if (size == 0) return EINVAL;
  const int prot = writable_ ? PROT_READ | PROT_WRITE : PROT_READ;
  void* view = ::mmap(nullptr, size, prot, MAP_SHARED, fd_.get(), 0);
  if (view == MAP_FAILED) return errno;
  data_ = static_cast<uint8_t*>(view);
  size_ = size;
  return 0;
}

int SharedMemory::readAt(size_t offset, void* out, size_t size, size_t* got) const {
  *got = 0;
  auto* bytes = static_cast<uint8_t*>(out);
  while (*got < size) {
    const ssize_t n =
        ::pread(fd_.get(), bytes + *got, size - *got, static_cast<off_t>(offset + *got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    *got += static_cast<size_t>(n);
  }
  return 0;
}

bool SharedMemory::stillNamed(const std::string& name) const {
  if (!fd_.valid() || !validSharedObjectName(name)) return false;
  UniqueFd named(sys().shmOpen(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
  struct stat a {};
  struct stat b {};
  return named.valid() && ::fstat(fd_.get(), &a) == 0 && ::fstat(named.get(), &b) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int SharedMemory::lockShared() { return flockRetrying(fd_.get(), LOCK_SH); }

bool SharedMemory::lockSharedWithin(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const int err = flockRetrying(fd_.get(), LOCK_SH | LOCK_NB);
    if (err == 0) return true;
    if (err != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool SharedMemory::tryLockExclusive() { return flockRetrying(fd_.get(), LOCK_EX | LOCK_NB) == 0; }

void SharedMemory::unlock() {
  if (fd_.valid()) flockRetrying(fd_.get(), LOCK_UN);
}

void SharedMemory::close() {
  if (data_ != nullptr) ::munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
  fd_.reset();
}

int SharedMemory::remove(const std::string& name) {
  if (!validSharedObjectName(name)) return EINVAL;
  return ::shm_unlink(name.c_str()) == 0 ? 0 : errno;
}

int NamedSemaphore::open(const std::string& name, bool* created) {
  close();
  found_ = ObjectOwner();
  *created = false;
  if (!validSharedObjectName(name)) return EINVAL;
  const std::string path = semaphorePath(name);
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    sem_t* sem = ::sem_open(name.c_str(), O_CREAT | O_EXCL, kObjectMode, 0U);
    if (sem != SEM_FAILED) {
      ::chmod(path.c_str(), kObjectMode);  // whatever the umask left of it
      found_ = ObjectOwner{true, ::geteuid(), S_IFREG | kObjectMode};
      sem_ = sem;
      *created = true;
      return 0;
    }
    if (errno != EEXIST) return errno;
    // The existing file is checked before it is opened and looked at again after: nobody but
    // this user can remove or replace a file of this user's in /dev/shm (the folder is sticky).
    struct stat before {};
    if (::lstat(path.c_str(), &before) != 0) {
      if (errno == ENOENT) continue;
      return errno;
    }
    found_ = ownerOf(before);
    if (!ownObject(before)) return EPERM;
    if (static_cast<size_t>(before.st_size) != sizeof(sem_t)) return EPROTO;
    sem = ::sem_open(name.c_str(), 0);
    if (sem == SEM_FAILED) {
      if (errno == ENOENT) continue;
      return errno;
    }
    struct stat after {};
    if (::lstat(path.c_str(), &after) == 0 && after.st_dev == before.st_dev &&
        after.st_ino == before.st_ino) {
      sem_ = sem;
      return 0;
    }
    ::sem_close(sem);  // replaced meanwhile: look again
  }
  return EAGAIN;
}

int NamedSemaphore::post() {
  if (sem_ == nullptr) return EINVAL;
  return ::sem_post(static_cast<sem_t*>(sem_)) == 0 ? 0 : errno;
}

int NamedSemaphore::postIfNone() {
  if (sem_ == nullptr) return EINVAL;
  int value = 0;
  if (::sem_getvalue(static_cast<sem_t*>(sem_), &value) == 0 && value > 0) return 0;
  return post();
}

bool NamedSemaphore::wait(std::chrono::milliseconds timeout) {
  if (sem_ == nullptr) return false;
  timespec until{};
  ::clock_gettime(CLOCK_REALTIME, &until);
  const auto ns = until.tv_nsec + (timeout.count() % 1000) * 1000000L;
  until.tv_sec += static_cast<time_t>(timeout.count() / 1000 + ns / 1000000000L);
  until.tv_nsec = ns % 1000000000L;
  for (;;) {
    if (::sem_timedwait(static_cast<sem_t*>(sem_), &until) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool NamedSemaphore::tryWait() {
  if (sem_ == nullptr) return false;
  for (;;) {
    if (::sem_trywait(static_cast<sem_t*>(sem_)) == 0) return true;
    if (errno != EINTR) return false;
  }
}

void NamedSemaphore::close() {
  if (sem_ != nullptr) ::sem_close(static_cast<sem_t*>(sem_));
  sem_ = nullptr;
}

int NamedSemaphore::remove(const std::string& name) {
  if (!validSharedObjectName(name)) return EINVAL;
  return ::sem_unlink(name.c_str()) == 0 ? 0 : errno;
}

}  // namespace platform
