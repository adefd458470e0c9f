// The process's heap as the relay sees it.
#pragma once

namespace platform {

// Gives the pages that the allocator holds free back to the system, in every arena: a connection
// that went quiet leaves holes where its handshake's memory was, and only the allocator can hand
// them back. Safe from any thread; it takes each arena's lock in turn, and a call made while
// another runs returns at once.
void returnFreeMemory();

// Sets the allocator up for many threads that each make and free a connection's worth of memory
// again and again: an arena keeps its free top instead of giving it back after every connection
// (and faulting it in again for the next), and the blocks of data in flight come from the arenas
// rather than a mapping of their own each. Memory goes back when connections go quiet
// (returnFreeMemory). Call once, before the relay's threads start.
void tuneHeapForRelaying();

}  // namespace platform
