#include "heap.h"

#include <malloc.h>

#include <atomic>

namespace app {
namespace {

// One walk of the arenas at a time: the allocator is the process's, and so is this flag.
std::atomic<bool> returning{false};

}  // namespace

void returnFreeMemory() {
  // A walk that runs already takes in what this caller freed before it reached that arena; many
  // connections that go quiet together need not wait for each other.
  if (returning.exchange(true, std::memory_order_acquire)) return;
  malloc_trim(0);
  returning.store(false, std::memory_order_release);
}

void tuneHeapForRelaying() {
  constexpr int kKeptTop = 64 * 1024 * 1024;  // an arena's free top is given back beyond this
  constexpr int kOwnMapping = 1024 * 1024;    // blocks from this size on get a mapping each
  mallopt(M_TRIM_THRESHOLD, kKeptTop);
  mallopt(M_MMAP_THRESHOLD, kOwnMapping);
}

}  // namespace app
