// The system calls that fail in the field, behind one table that a test can replace, so that a
// full disk on the second write, a rename across devices or a process out of descriptors can be
// made to happen on purpose, without touching the code that meets them.
//
// The program calls `sys().open(...)` where it would call `::open(...)`. Each call keeps the
// system call's contract: the same arguments, the same result, errno set when it fails. A test
// derives from `SysCalls`, overrides the calls it wants to fail (forwarding the others, or the
// same call at other times, to the base class, which is the system) and installs its object for
// a scope with `SysCallsOverride`; the previous table is back when the scope ends.
//
// Routed through the table: the configuration store's file calls (open, write, fsync, rename),
// shm_open of the counter objects, the socket calls of platform/net (accept, connect, send, recv,
// poll) and the thread starts of platform/threads. The TLS library's own reads and writes, and
// the pump's splice, go to the system directly.
//
// The calls are safe from any thread. An override is installed before the code under test
// starts and removed after it ends; the object must outlive its installation.
#pragma once

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace platform {

class SysCalls {
 public:
  SysCalls() = default;
  SysCalls(const SysCalls&) = delete;
  SysCalls& operator=(const SysCalls&) = delete;
  virtual ~SysCalls() = default;

  // Files (the configuration store: its lock file, temporary files, the folder's sync).
  virtual int open(const char* path, int flags, mode_t mode);
  virtual ssize_t write(int fd, const void* data, size_t size);
  virtual int fsync(int fd);
  virtual int rename(const char* from, const char* to);

  // Shared memory (the counter block and its lock).
  virtual int shmOpen(const char* name, int flags, mode_t mode);

  // Sockets.
  virtual int accept(int fd, sockaddr* address, socklen_t* length, int flags);  // accept4
  virtual int connect(int fd, const sockaddr* address, socklen_t length);
  virtual ssize_t send(int fd, const void* data, size_t size, int flags);
  virtual ssize_t recv(int fd, void* data, size_t size, int flags);
  virtual int poll(pollfd* fds, nfds_t count, int timeoutMs);

  // Threads. Like pthread_create, returns 0 or the error number (errno is not used).
  virtual int threadCreate(pthread_t* thread, const pthread_attr_t* attributes,
                           void* (*start)(void*), void* argument);
};

// The table in force: the system's, or a test's.
SysCalls& sys();

// Installs `replacement` until the end of the scope, then puts back the table it replaced.
// Overrides nest; they end in the reverse order of their making.
class SysCallsOverride {
 public:
  explicit SysCallsOverride(SysCalls* replacement);
  SysCallsOverride(const SysCallsOverride&) = delete;
  SysCallsOverride& operator=(const SysCallsOverride&) = delete;
  ~SysCallsOverride();

 private:
  SysCalls* previous_;
};

}  // namespace platform
