// How the programs set up the process's allocator for relaying, and how the relay hands memory
// back when connections go quiet. These change the whole process, so only a program's main()
// decides them; the relay library only calls the give-back it is handed (Relay::setMemoryReturn).
#pragma once

namespace app {

// Sets the allocator up for many threads that each make and free a connection's worth of memory
// again and again: an arena keeps its free top instead of giving it back after every connection
// (and faulting it in again for the next), and the blocks of data in flight come from the arenas
// rather than a mapping of their own each. Call once, before the relay's threads start.
void tuneHeapForRelaying();

// Gives the pages that the allocator holds free back to the system, in every arena: a connection
// that went quiet leaves holes where its handshake's memory was. Safe from any thread; a call made
// while another runs returns at once.
void returnFreeMemory();

}  // namespace app
