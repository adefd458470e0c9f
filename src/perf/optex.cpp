#include "perf/optex.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "log/log.h"
#include "platform/process_info.h"

namespace perf {

namespace {

constexpr char kModule[] = "perf";
constexpr size_t kStateSize = 16;
// How long a waiter sleeps at most before it looks at the lock again.
constexpr std::chrono::milliseconds kWaitSlice{20};
// How long joining the state may wait for a process that is removing it.
constexpr std::chrono::milliseconds kJoinWait{1000};
constexpr int kJoinAttempts = 4;
// Spins per try, whatever the shared state says.
constexpr uint32_t kMaxSpins = 100000;

template <typename T>
std::atomic_ref<T> shared(T& field) {
  return std::atomic_ref<T>(field);
}

}  // namespace

struct Optex::State {
  uint32_t spinCount;
  int32_t lockCount;
  uint32_t owner;
  uint32_t recursion;
};

std::string foreignObjectText(const std::string& name, const platform::ObjectOwner& owner) {
  if (!owner.known) return "The shared object " + name + " is not this user's own";
  return "The shared object " + name + " belongs to " + platform::ownerText(owner) +
         ", not to this user alone";
}

std::string Optex::eventName(const std::string& name, const std::string& prefix) {
  return "/" + prefix + "TAV_Optex_Event_" + name;
}

std::string Optex::stateName(const std::string& name, const std::string& prefix) {
  return "/" + prefix + "TAV_Optex_MMF_" + name;
}

Optex::Optex(const std::string& name, uint32_t spinCount, const std::string& prefix)
    : stateName_(stateName(name, prefix)), eventName_(eventName(name, prefix)) {
  static_assert(sizeof(State) == kStateSize);
  if (!joinState() || !joinEvent()) return;
  state_ = reinterpret_cast<State*>(mapping_.data());
  if (!platform::singleProcessor()) shared(state_->spinCount).exchange(spinCount);
}

Optex::~Optex() {
  state_ = nullptr;
  // The last user removes both objects while it holds the state alone, so that nobody joins a
  // state on its way out (a joiner that finds its state unnamed makes a new one).
  if (mapping_.isOpen() && mapping_.tryLockExclusive() && mapping_.stillNamed(stateName_)) {
    if (eventJoined_) platform::NamedSemaphore::remove(eventName_);
    platform::SharedMemory::remove(stateName_);
  }
  event_.close();
  mapping_.close();
}

bool Optex::joinState() {
  bool created = false;
  for (int attempt = 1;; ++attempt) {
    const int err = mapping_.openOrCreate(stateName_, &created);
    if (err == EPERM) {
      log_event(LOG_ERROR, 0x6090, kModule, __LINE__, "%s; the counters are not published",
                foreignObjectText(stateName_, mapping_.found()).c_str());
      return false;
    }
    if (err != 0) {
      log_event(LOG_ERROR, 0x6090, kModule, __LINE__,
                "Couldn't open the lock state %s: %s; the counters are not published",
                stateName_.c_str(), std::strerror(err));
      return false;
    }
    if (mapping_.lockSharedWithin(kJoinWait) && mapping_.stillNamed(stateName_)) break;
    mapping_.close();
    if (attempt == kJoinAttempts) {
      log_event(LOG_ERROR, 0x6090, kModule, __LINE__,
                "Couldn't join the lock state %s: it is being removed; the counters are not "
                "published",
                stateName_.c_str());
      return false;
    }
  }
  size_t size = 0;
  int err = mapping_.objectSize(&size);
  // A state nobody has sized yet is new, whoever of this user made the name.
  const bool fresh = err == 0 && size == 0;
  if (fresh) err = mapping_.resize(kStateSize);
  if (err == 0 && !fresh && size != kStateSize) {
    log_event(LOG_ERROR, 0x6090, kModule, __LINE__,
              "The lock state %s has %zu bytes, not %zu; the counters are not published",
              stateName_.c_str(), size, kStateSize);
    return false;
  }
  if (err == 0) err = mapping_.map(kStateSize);
  if (err != 0) {
    log_event(LOG_ERROR, 0x6090, kModule, __LINE__, "Couldn't map the lock state %s: %s",
              stateName_.c_str(), std::strerror(err));
    return false;
  }
  return true;
}

bool Optex::joinEvent() {
  bool created = false;
  const int err = event_.open(eventName_, &created);
  if (err == EPERM) {
    log_event(LOG_ERROR, 0x6090, kModule, __LINE__, "%s; the counters are not published",
              foreignObjectText(eventName_, event_.found()).c_str());
    return false;
  }
  if (err == EPROTO) {
    log_event(LOG_ERROR, 0x6090, kModule, __LINE__,
              "The lock event %s is not a semaphore; the counters are not published",
              eventName_.c_str());
    return false;
  }
  if (err != 0) {
    log_event(LOG_ERROR, 0x6090, kModule, __LINE__,
              "Couldn't open the lock event %s: %s; the counters are not published",
              eventName_.c_str(), std::strerror(err));
    return false;
  }
  eventJoined_ = true;
  return true;
}

bool Optex::TryEnter() {
  if (state_ == nullptr) return false;
  const uint32_t self = platform::currentThreadId();
  if (shared(state_->owner).load() == self) {
    shared(state_->recursion).fetch_add(1);
    shared(state_->lockCount).fetch_add(1);
    return true;
  }
  const uint32_t spins = std::min(shared(state_->spinCount).load(), kMaxSpins);
  for (uint32_t attempt = 0;; ++attempt) {
    uint32_t expected = 0;
    if (shared(state_->owner).compare_exchange_strong(expected, self)) {
      shared(state_->recursion).store(1);
      shared(state_->lockCount).store(1);
      return true;
    }
    if (attempt >= spins) return false;
  }
}

bool Optex::Enter(std::chrono::milliseconds limit) {
  if (state_ == nullptr) return false;
  if (TryEnter()) return true;
  const uint32_t self = platform::currentThreadId();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (takeFromDeadOwner(self)) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    event_.wait(std::clamp(left, std::chrono::milliseconds(1), kWaitSlice));
    if (TryEnter()) return true;
  }
}

void Optex::Leave() {
  if (state_ == nullptr) return;
  if (shared(state_->owner).load() != platform::currentThreadId()) return;
  if (shared(state_->recursion).load() > 1) {
    shared(state_->recursion).fetch_sub(1);
    shared(state_->lockCount).fetch_sub(1);
    return;
  }
  shared(state_->recursion).store(0);
  shared(state_->lockCount).store(0);
  shared(state_->owner).store(0);
  event_.postIfNone();
}

uint32_t Optex::owner() const { return state_ == nullptr ? 0 : shared(state_->owner).load(); }

// The owner's entries end with its thread; the waiter that changes the owner from the ended
// thread to itself holds the lock from then on.
bool Optex::takeFromDeadOwner(uint32_t self) {
  uint32_t dead = shared(state_->owner).load();
  if (dead == 0 || dead == self || platform::threadAlive(dead)) return false;
  if (!shared(state_->owner).compare_exchange_strong(dead, self)) return false;
  shared(state_->recursion).store(1);
  shared(state_->lockCount).store(1);
  log_event(LOG_WARNING, 0x6093, kModule, __LINE__,
            "The counter lock was held by thread %u, which no longer runs; it is released",
            static_cast<unsigned>(dead));
  return true;
}

}  // namespace perf
