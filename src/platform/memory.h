// The process's heap as the relay sees it.
#pragma once

namespace platform {

// Gives the pages that the allocator holds free back to the system, in every arena: a connection
// that went quiet leaves holes where its handshake's memory was, and only the allocator can hand
// them back. Safe from any thread; it takes each arena's lock in turn, and a call made while
// another runs returns at once.
void returnFreeMemory();

}  // namespace platform
