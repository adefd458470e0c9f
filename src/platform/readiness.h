// A readiness set: many sockets waited on by one thread (epoll), each with the readiness it waits
// for and a number that names its owner. A descriptor reports once and is then left out until
// it is added again (one-shot), so a descriptor that stays ready does not report twice. Any
// thread may add, remove and wake; one thread waits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/unique_fd.h"

namespace platform {

class ReadinessSet {
 public:
  struct Event {
    uint64_t token = 0;  // the number the descriptor was added with
    unsigned ready = 0;  // kIoReadable | kIoWritable | kIoHangup (platform/net.h)
  };

  ReadinessSet() = default;
  ReadinessSet(const ReadinessSet&) = delete;
  ReadinessSet& operator=(const ReadinessSet&) = delete;

  // Makes the set and its wake-up. 0, or the errno of the failure.
  int open();
  // Waits for `want` (kIoReadable | kIoWritable; an error or hang-up always reports) on `fd`,
  // once. 0, or the errno of the failure.
  int add(int fd, unsigned want, uint64_t token);
  // Takes `fd` out, whether it reported or not; before the descriptor is closed.
  void remove(int fd);
  // Waits until descriptors report, `wake` is called or `timeoutMs` passes (-1: no limit).
  // Returns the number of events stored (0 after a wake-up or the time-out), or minus the errno.
  int wait(Event* events, size_t capacity, int timeoutMs);
  // Ends the current or next `wait` early.
  void wake();

 private:
  UniqueFd set_;
  UniqueFd wakeUp_;  // an eventfd, always in the set
};

}  // namespace platform
