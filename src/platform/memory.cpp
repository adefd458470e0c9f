#include "platform/memory.h"

#include <malloc.h>

#include <atomic>

namespace platform {

namespace {

std::atomic<bool> returning{false};  // one walk of the arenas at a time

}  // namespace

void returnFreeMemory() {
  // A walk that runs already takes in what this caller freed before it reached that arena; many
  // connections that go quiet together need not wait for each other.
  if (returning.exchange(true, std::memory_order_acquire)) return;
  malloc_trim(0);
  returning.store(false, std::memory_order_release);
}

}  // namespace platform
