// The `Optex`: a lock that spins before it waits and works across processes. Its state (spin
// count, lock count, owning thread, recursion count: 16 bytes) lives in the shared object
// "TAV_Optex_MMF_<name>"; a thread that must wait sleeps on the semaphore "TAV_Optex_Event_<name>",
// which the last leave before it posts once per waiter. The lock count counts the owner's entries
// and every waiter, and is changed only with atomic operations, as are the owner and the spin
// count; the recursion count is the owner's.
//
// A process that dies holding the lock would leave every other user waiting for ever. A waiter
// therefore looks at the recorded owner each time a slice of its wait ends, and when that thread
// no longer runs it does the owner's last leave for it.
//
// One instance per process and name; its operations may be called from any thread of the process.
#pragma once

#include <cstdint>
#include <string>

#include "platform/shared_memory.h"

namespace perf {

class Optex {
 public:
  // name: the lock's name ("BKL"); prefix: put before the kernel names (empty but in tests).
  Optex(const std::string& name, uint32_t spinCount, const std::string& prefix = "");
  Optex(const Optex&) = delete;
  Optex& operator=(const Optex&) = delete;
  ~Optex() = default;

  // The event, the mapping and its view all exist.
  bool usable() const { return state_ != nullptr; }
  // Takes the lock without waiting (after spinning); false when another thread holds it or the
  // lock is not usable.
  bool TryEnter();
  // Takes the lock, waiting as long as it takes; false only when the lock is not usable.
  bool Enter();
  // Gives back one entry of the calling thread, which must hold the lock.
  void Leave();

  static std::string eventName(const std::string& name, const std::string& prefix);
  static std::string stateName(const std::string& name, const std::string& prefix);

 private:
  struct State;
  void waitForTurn(uint32_t self);
  void releaseDeadOwner(uint32_t self);

  platform::NamedSemaphore event_;
  platform::SharedMemory mapping_;
  State* state_ = nullptr;
};

// Holds an Optex for a scope when it could be taken.
class OptexHold {
 public:
  explicit OptexHold(Optex& optex) : optex_(optex), held_(optex.Enter()) {}
  OptexHold(const OptexHold&) = delete;
  OptexHold& operator=(const OptexHold&) = delete;
  ~OptexHold() {
    if (held_) optex_.Leave();
  }
  bool held() const { return held_; }

 private:
  Optex& optex_;
  bool held_;
};

}  // namespace perf
