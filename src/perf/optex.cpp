#include "perf/optex.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

#include "log/log.h"
#include "platform/process_info.h"

namespace perf {

namespace {

constexpr char kModule[] = "perf";
constexpr size_t kStateSize = 16;
// How long a waiter sleeps before it looks whether the owner still runs.
constexpr std::chrono::milliseconds kWaitSlice{100};
// A semaphore left with units by a process that died holding it has no more than this many.
constexpr int kMaxStaleUnits = 4096;

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

std::string Optex::eventName(const std::string& name, const std::string& prefix) {
  return "/" + prefix + "TAV_Optex_Event_" + name;
}

std::string Optex::stateName(const std::string& name, const std::string& prefix) {
  return "/" + prefix + "TAV_Optex_MMF_" + name;
}

Optex::Optex(const std::string& name, uint32_t spinCount, const std::string& prefix) {
  static_assert(sizeof(State) == kStateSize);
  const bool single = platform::singleProcessor();
  const std::string event = eventName(name, prefix);
  const std::string state = stateName(name, prefix);
  if (const int err = event_.open(event); err != 0) {
    log_event(LOG_ERROR, 0x6090, kModule, __LINE__, "Couldn't open the lock event %s: %s",
              event.c_str(), std::strerror(err));
    return;
  }
  bool created = false;
  size_t size = 0;
  int err = mapping_.openOrCreate(state, &created);
  if (err == 0) err = mapping_.objectSize(&size);
  // A state nobody has sized yet is new, whoever made the name: sizing it again changes nothing.
  const bool fresh = err == 0 && size == 0;
  if (fresh) err = mapping_.resize(kStateSize);
  if (err == 0 && !fresh && size != kStateSize) {
    log_event(LOG_ERROR, 0x6090, kModule, __LINE__,
              "The lock state %s has %zu bytes, not %zu; the counters go without their lock",
              state.c_str(), size, kStateSize);
    return;
  }
  if (err == 0) err = mapping_.map(kStateSize);
  if (err != 0) {
    log_event(LOG_ERROR, 0x6090, kModule, __LINE__, "Couldn't map the lock state %s: %s",
              state.c_str(), std::strerror(err));
    return;
  }
  if (fresh) {
    // Nobody can wait on a lock whose state was just made: units left in an older semaphore of
    // the same name would let a waiter in beside the owner.
    for (int i = 0; i < kMaxStaleUnits && event_.tryWait(); ++i) {
    }
  }
  state_ = reinterpret_cast<State*>(mapping_.data());
  if (!single) shared(state_->spinCount).exchange(spinCount);
}

bool Optex::TryEnter() {
  if (state_ == nullptr) return false;
  const uint32_t self = platform::currentThreadId();
  const uint32_t spins = shared(state_->spinCount).load();
  for (uint32_t attempt = 0;; ++attempt) {
    int32_t expected = 0;
    if (shared(state_->lockCount).compare_exchange_strong(expected, 1)) {
      shared(state_->owner).exchange(self);
      shared(state_->recursion).store(1);
      return true;
    }
    if (shared(state_->owner).load() == self) {
      shared(state_->lockCount).fetch_add(1);
      shared(state_->recursion).fetch_add(1);
      return true;
    }
    if (attempt >= spins) return false;
  }
}

bool Optex::Enter() {
  if (state_ == nullptr) return false;
  if (TryEnter()) return true;
  const uint32_t self = platform::currentThreadId();
  if (shared(state_->lockCount).fetch_add(1) + 1 != 1) {
    if (shared(state_->owner).load() == self) {
      shared(state_->recursion).fetch_add(1);
      return true;
    }
    waitForTurn(self);
  }
  shared(state_->owner).exchange(self);
  shared(state_->recursion).store(1);
  return true;
}

void Optex::Leave() {
  if (state_ == nullptr) return;
  if (shared(state_->recursion).fetch_sub(1) - 1 > 0) {
    shared(state_->lockCount).fetch_sub(1);
    return;
  }
  shared(state_->owner).exchange(0);
  if (shared(state_->lockCount).fetch_sub(1) - 1 > 0) event_.post();
}

void Optex::waitForTurn(uint32_t self) {
  while (!event_.wait(kWaitSlice)) {
    releaseDeadOwner(self);
  }
}

// The owner's last leave, done for an owner that no longer runs. Only the waiter that clears the
// owner does it. The owner's entries are its recursion count, at least 1: an owner that died
// between changing the lock count and the recursion count leaves one entry too many behind, which
// costs later entries a pass through the semaphore but never lets two threads in.
void Optex::releaseDeadOwner(uint32_t self) {
  uint32_t dead = shared(state_->owner).load();
  if (dead == 0 || dead == self || platform::threadAlive(dead)) return;
  if (!shared(state_->owner).compare_exchange_strong(dead, 0)) return;
  const auto entries =
      static_cast<int32_t>(std::max<uint32_t>(1, shared(state_->recursion).exchange(0)));
  log_event(LOG_WARNING, 0x6093, kModule, __LINE__,
            "The counter lock was held by thread %u, which no longer runs; it is released",
            static_cast<unsigned>(dead));
  if (shared(state_->lockCount).fetch_sub(entries) - entries > 0) event_.post();
}

}  // namespace perf
