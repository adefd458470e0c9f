// Named shared memory and named semaphores: what the counter block and its cross-process lock need
// of the system. Objects are POSIX shared-memory objects (`shm_open`, "/NAME") mapped with `mmap`,
// and POSIX named semaphores (`sem_open`). Both are created mode 0600: only the user who made them
// (and root) may open them, so no other user can hold the lock of a running relay.
//
// A shared-memory object outlives its processes until it is removed. Its users mark themselves
// with advisory locks on it (`flock`), which the kernel drops when a process ends however it ends:
// a process that finds an object nobody holds knows it was left behind.
//
// Each object is owned by one thread at a time; the calls themselves are safe from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/unique_fd.h"

namespace platform {

class SharedMemory {
 public:
  SharedMemory() = default;
  SharedMemory(SharedMemory&& other) noexcept;
  SharedMemory& operator=(SharedMemory&& other) noexcept;
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;
  ~SharedMemory() { close(); }

  // Opens an existing object; ENOENT when there is none. Returns 0 or the errno of the call.
  int open(const std::string& name, bool writable);
  // Opens the object read-write, creating it (empty) when it does not exist; *created tells
  // whether this call made it.
  int openOrCreate(const std::string& name, bool* created);
  // The object's size in bytes now.
  int objectSize(size_t* size) const;
  // Sets the size; new bytes read as zero. Sizing an object to the size it has changes nothing.
  int resize(size_t size);
  // Maps the first `size` bytes (which the caller has checked the object has), writable only when
  // it was opened so. A previous mapping is dropped.
  int map(size_t size);

  bool isOpen() const { return fd_.valid(); }
  uint8_t* data() const { return data_; }
  size_t mappedSize() const { return size_; }

  // Advisory locks on the object, held until unlock, close or the end of the process.
  int lockShared();         // waits for a holder of the exclusive lock
  bool tryLockExclusive();  // true when no one else holds any lock on the object
  void unlock();

  // Unmaps and closes; the object itself stays.
  void close();
  // Removes the name; processes that have the object open keep it until they close it.
  static int remove(const std::string& name);

 private:
  UniqueFd fd_;
  bool writable_ = false;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

class NamedSemaphore {
 public:
  NamedSemaphore() = default;
  NamedSemaphore(const NamedSemaphore&) = delete;
  NamedSemaphore& operator=(const NamedSemaphore&) = delete;
  ~NamedSemaphore() { close(); }

  // Opens the semaphore, creating it with the value 0 when it does not exist. Returns 0 or errno.
  int open(const std::string& name);
  bool isOpen() const { return sem_ != nullptr; }
  int post();
  // Takes one unit, waiting at most `timeout`; false when the time ran out or the wait failed.
  bool wait(std::chrono::milliseconds timeout);
  // Takes one unit when one is there, without waiting.
  bool tryWait();
  void close();
  static int remove(const std::string& name);

 private:
  void* sem_ = nullptr;  // the sem_t of sem_open
};

// Names of shared objects must be "/" and up to 250 of [A-Za-z0-9_.-].
bool validSharedObjectName(const std::string& name);

}  // namespace platform
