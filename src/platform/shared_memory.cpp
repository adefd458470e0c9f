#include "platform/shared_memory.h"

#include <fcntl.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>

namespace platform {

namespace {

constexpr mode_t kObjectMode = 0600;
constexpr size_t kMaxNameLength = 251;  // the slash and 250 characters

int flockRetrying(int fd, int operation) {
  int rc = 0;
  while ((rc = ::flock(fd, operation)) != 0 && errno == EINTR) {
  }
  return rc == 0 ? 0 : errno;
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

SharedMemory::SharedMemory(SharedMemory&& other) noexcept
    : fd_(std::move(other.fd_)),
      writable_(other.writable_),
      data_(other.data_),
      size_(other.size_) {
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
    other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

int SharedMemory::open(const std::string& name, bool writable) {
  close();
  if (!validSharedObjectName(name)) return EINVAL;
  fd_.reset(::shm_open(name.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC, 0));
  writable_ = writable;
  return fd_.valid() ? 0 : errno;
}

int SharedMemory::openOrCreate(const std::string& name, bool* created) {
  close();
  *created = false;
  if (!validSharedObjectName(name)) return EINVAL;
  // Exclusive creation first, so that exactly one of several racing processes is the creator.
  for (int attempt = 0; attempt < 8; ++attempt) {
    fd_.reset(::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kObjectMode));
    if (fd_.valid()) {
      *created = true;
      writable_ = true;
      return 0;
    }
    if (errno != EEXIST) return errno;
    fd_.reset(::shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0));
    if (fd_.valid()) {
      writable_ = true;
      return 0;
    }
    if (errno != ENOENT) return errno;  // removed in between: try again
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

int SharedMemory::lockShared() { return flockRetrying(fd_.get(), LOCK_SH); }

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

int NamedSemaphore::open(const std::string& name) {
  close();
  if (!validSharedObjectName(name)) return EINVAL;
  sem_t* sem = ::sem_open(name.c_str(), O_CREAT, kObjectMode, 0U);
  if (sem == SEM_FAILED) return errno;
  sem_ = sem;
  return 0;
}

int NamedSemaphore::post() {
  if (sem_ == nullptr) return EINVAL;
  return ::sem_post(static_cast<sem_t*>(sem_)) == 0 ? 0 : errno;
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
