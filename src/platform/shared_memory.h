// Named shared memory and named semaphores: what the counter block and its cross-process lock need
// of the system. Objects are POSIX shared-memory objects (`shm_open`, "/NAME", the file
// /dev/shm/NAME) and POSIX named semaphores (`sem_open`, the file /dev/shm/sem.NAME).
//
// Their names are fixed and known, and any local user may make an object under such a name
// first. So an object this process did not create is used only when it is this user's own: a
// regular file whose owner is the effective user and which nobody else may write (no group or
// other write bit). Anything else is refused with EPERM, and `found()` tells whose it is. Objects
// are made with O_EXCL and mode 0600, so no other user can open what this user made. Opening never
// follows a symbolic link and never blocks on a FIFO put in an object's place.
//
// A shared-memory object outlives its processes until it is removed. Its users mark themselves
// with advisory locks on it (`flock`), which the kernel drops when a process ends however it ends:
// a process that finds an object nobody holds knows it was left behind.
//
// shm_open goes through the system-call table (syscalls.h), so tests can make it fail.
//
// Each object is owned by one thread at a time; the calls themselves are safe from any thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/unique_fd.h"

namespace platform {

// Whose a shared object is, as the file system shows it.
struct ObjectOwner {
  bool known = false;
  uid_t uid = 0;
  mode_t mode = 0;  // permission bits and file type
};

class SharedMemory {
 public:
  SharedMemory() = default;
  SharedMemory(SharedMemory&& other) noexcept;
  SharedMemory& operator=(SharedMemory&& other) noexcept;
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;
  ~SharedMemory() { close(); }

  // Opens an existing object of this user; ENOENT when there is none, EPERM when it is not this
  // user's own (see found()). Returns 0 or the errno of the call.
  int open(const std::string& name, bool writable);
  // Opens the object read-write, creating it (empty, mode 0600) when it does not exist; *created
  // tells whether this call made it. An existing object is checked as open() checks it.
  int openOrCreate(const std::string& name, bool* created);
  // The owner of the object last opened or refused.
  const ObjectOwner& found() const { return found_; }
  // The object's size in bytes now.
  int objectSize(size_t* size) const;
  // Sets the size; new bytes read as zero. Sizing an object to the size it has changes nothing.
  int resize(size_t size);
  // Maps the first `size` bytes (which the caller has checked the object has), writable only when
  // it was opened so. A previous mapping is dropped. A mapping faults (SIGBUS) when the object is
  // cut short under it; readers that cannot trust the object's size use readAt instead.
  int map(size_t size);
  // Copies up to `size` bytes from `offset` into `out`; *got is how many came (fewer at the
  // object's end). Never faults, whatever happens to the object meanwhile.
  int readAt(size_t offset, void* out, size_t size, size_t* got) const;

  bool isOpen() const { return fd_.valid(); }
  uint8_t* data() const { return data_; }
  size_t mappedSize() const { return size_; }
  // The name still refers to this object (it was not removed, or removed and made again).
  bool stillNamed(const std::string& name) const;

  // Advisory locks on the object, held until unlock, close or the end of the process.
  int lockShared();  // waits for a holder of the exclusive lock
  // Takes the shared lock when the exclusive one is free within `limit`; false after that.
  bool lockSharedWithin(std::chrono::milliseconds limit);
  // True when no one else holds any lock on the object. Tried while this object holds the shared
  // lock, a failure drops it.
  bool tryLockExclusive();
  void unlock();

  // Unmaps and closes; the object itself stays.
  void close();
  // Removes the name; processes that have the object open keep it until they close it.
  static int remove(const std::string& name);

 private:
  int openChecked(const std::string& name, int flags);

  UniqueFd fd_;
  bool writable_ = false;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  ObjectOwner found_;
};

class NamedSemaphore {
 public:
  NamedSemaphore() = default;
  NamedSemaphore(const NamedSemaphore&) = delete;
  NamedSemaphore& operator=(const NamedSemaphore&) = delete;
  ~NamedSemaphore() { close(); }

  // Opens the semaphore, creating it with the value 0 and mode 0600 when it does not exist
  // (*created tells). An existing one is used only when it is this user's own, as for shared
  // memory (EPERM and found() otherwise) and a whole semaphore (EPROTO when its file has
  // another size). Returns 0 or errno.
  int open(const std::string& name, bool* created);
  const ObjectOwner& found() const { return found_; }
  bool isOpen() const { return sem_ != nullptr; }
  int post();
  // Posts unless a unit is already waiting to be taken: waiters use the units as a wake-up call,
  // and one call wakes one of them.
  int postIfNone();
  // Takes one unit, waiting at most `timeout`; false when the time ran out or the wait failed.
  bool wait(std::chrono::milliseconds timeout);
  // Takes one unit when one is there, without waiting.
  bool tryWait();
  void close();
  static int remove(const std::string& name);

 private:
  void* sem_ = nullptr;  // the sem_t of sem_open
  ObjectOwner found_;
};

// Names of shared objects must be "/" and up to 250 of [A-Za-z0-9_.-].
bool validSharedObjectName(const std::string& name);

// The user name of a uid, or its number as text when it has none.
std::string userNameOf(uid_t uid);
// "NAME (uid N, mode 0666)", with ", not a file" for anything but a regular file.
std::string ownerText(const ObjectOwner& owner);

}  // namespace platform
