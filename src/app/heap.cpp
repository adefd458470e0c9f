#include "heap.h"

#include <malloc.h>

#include <atomic>
#include <chrono>

namespace app {
namespace {

using Clock = std::chrono::steady_clock;

// A walk of every arena makes a system call for each free stretch it finds; connections that go
// quiet many times a second (chatty clients just past the quiet time) would pay for one each time.
constexpr Clock::duration kWalkSpacing = std::chrono::milliseconds(250);

// The allocator is the process's, and so is what follows: one walk of the arenas at a time,
// whether one is owed, and when the last one started.
std::atomic<bool> walking{false};
std::atomic<bool> owed{false};
std::atomic<Clock::rep> lastWalk{0};

void walkIfDue() {
  if (!owed.load(std::memory_order_relaxed)) return;
  // A walk that runs already leaves the debt standing for what was freed after it began; many
  // connections that go quiet together need not wait for each other.
  if (walking.exchange(true, std::memory_order_acquire)) return;
  const Clock::rep now = Clock::now().time_since_epoch().count();
  if (now - lastWalk.load(std::memory_order_relaxed) >= kWalkSpacing.count()) {
    lastWalk.store(now, std::memory_order_relaxed);
    owed.store(false, std::memory_order_relaxed);
    malloc_trim(0);
  }
  walking.store(false, std::memory_order_release);
}

}  // namespace

void returnFreeMemory() {
  owed.store(true, std::memory_order_relaxed);
  walkIfDue();
}

void returnOwedMemory() { walkIfDue(); }

void tuneHeapForRelaying() {
  constexpr int kKeptTop = 64 * 1024 * 1024;  // an arena's free top is given back beyond this
  constexpr int kOwnMapping = 16 * 1024;      // blocks from this size on get a mapping each
  mallopt(M_TRIM_THRESHOLD, kKeptTop);
  mallopt(M_MMAP_THRESHOLD, kOwnMapping);
}

}  // namespace app
