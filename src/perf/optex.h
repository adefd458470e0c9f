// The `Optex`: a lock that spins before it waits and works across processes. Its state (spin
// count, lock count, owning thread, recursion count: 16 bytes) lives in the shared object
// "TAV_Optex_MMF_<name>"; a thread that must wait sleeps on the semaphore "TAV_Optex_Event_<name>",
// which the last leave posts to wake it.
//
// The lock is taken by changing the owner from 0 to the taker's thread id (ids are unique on the
// host) with one compare-exchange. The lock count and the recursion count are the owner's entries,
// written only by the owner. Waiters add nothing to the state: a waiter that gives up or is killed
// leaves nothing behind. They look again when the semaphore wakes them and at short intervals
// besides, so a unit that was taken by someone else or never posted costs a few milliseconds,
// never a wedge. No wait is without end: `Enter` gives up after the time it is given (the caller
// then goes on without what the lock guards), and a waiter that finds the owner's thread ended
// takes the lock over from it.
//
// The state and the semaphore are used only when this user made them or owns them alone
// (platform/shared_memory.h); otherwise the lock is not usable and one line names the object and
// its owner. Each process that uses the lock holds a shared advisory lock on the state; the last
// one to go removes the state and the semaphore, as the system drops objects nobody has open.
//
// One instance per process and name; its operations may be called from any thread of the process.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/shared_memory.h"

namespace perf {

// How long the program waits for the counter lock before it goes on without the counters.
constexpr std::chrono::milliseconds kOptexWait{1500};

class Optex {
 public:
  // name: the lock's name ("BKL"); prefix: put before the kernel names (empty but in tests).
  Optex(const std::string& name, uint32_t spinCount, const std::string& prefix = "");
  Optex(const Optex&) = delete;
  Optex& operator=(const Optex&) = delete;
  ~Optex();

  // The event, the mapping and its view all exist.
  bool usable() const { return state_ != nullptr; }
  // Takes the lock without waiting (after spinning); false when another thread holds it or the
  // lock is not usable.
  bool TryEnter();
  // Takes the lock, waiting at most `limit`; false when the time ran out or the lock is not
  // usable.
  bool Enter(std::chrono::milliseconds limit = kOptexWait);
  // Gives back one entry of the calling thread; nothing when the thread does not hold the lock.
  void Leave();
  // The thread that holds the lock now (0: nobody), for messages.
  uint32_t owner() const;

  const std::string& stateName() const { return stateName_; }
  static std::string eventName(const std::string& name, const std::string& prefix);
  static std::string stateName(const std::string& name, const std::string& prefix);

 private:
  struct State;
  bool joinState();
  bool joinEvent();
  bool takeFromDeadOwner(uint32_t self);

  const std::string stateName_;
  const std::string eventName_;
  platform::NamedSemaphore event_;
  platform::SharedMemory mapping_;
  bool eventJoined_ = false;
  State* state_ = nullptr;
};

// Holds an Optex for a scope when it could be taken within the limit.
class OptexHold {
 public:
  explicit OptexHold(Optex& optex, std::chrono::milliseconds limit = kOptexWait)
      : optex_(optex), held_(optex.Enter(limit)) {}
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

// One line for a shared object that is not this user's own: its name, owner and mode.
std::string foreignObjectText(const std::string& name, const platform::ObjectOwner& owner);

}  // namespace perf
