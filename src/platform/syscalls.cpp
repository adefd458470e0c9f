#include "platform/syscalls.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>

namespace platform {

namespace {

// The system's table, and the one in force. Process-wide by nature: it stands for the system
// itself, which every part of the process shares.
SysCalls gSystem;
std::atomic<SysCalls*> gCurrent{&gSystem};

}  // namespace

int SysCalls::open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

ssize_t SysCalls::write(int fd, const void* data, size_t size) { return ::write(fd, data, size); }

int SysCalls::fsync(int fd) { return ::fsync(fd); }

int SysCalls::rename(const char* from, const char* to) { return ::rename(from, to); }

int SysCalls::shmOpen(const char* name, int flags, mode_t mode) {
  return ::shm_open(name, flags, mode);
}

int SysCalls::accept(int fd, sockaddr* address, socklen_t* length, int flags) {
  return ::accept4(fd, address, length, flags);
}

int SysCalls::connect(int fd, const sockaddr* address, socklen_t length) {
  return ::connect(fd, address, length);
}

ssize_t SysCalls::send(int fd, const void* data, size_t size, int flags) {
  return ::send(fd, data, size, flags);
}

ssize_t SysCalls::recv(int fd, void* data, size_t size, int flags) {
  return ::recv(fd, data, size, flags);
}

int SysCalls::poll(pollfd* fds, nfds_t count, int timeoutMs) {
  return ::poll(fds, count, timeoutMs);
}

int SysCalls::threadCreate(pthread_t* thread, const pthread_attr_t* attributes,
                           void* (*start)(void*), void* argument) {
  return ::pthread_create(thread, attributes, start, argument);
}

SysCalls& sys() { return *gCurrent.load(std::memory_order_acquire); }

SysCallsOverride::SysCallsOverride(SysCalls* replacement)
    : previous_(gCurrent.exchange(replacement, std::memory_order_acq_rel)) {}

SysCallsOverride::~SysCallsOverride() { gCurrent.store(previous_, std::memory_order_release); }

}  // namespace platform
