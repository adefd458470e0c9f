// How the programs set up the process's allocator for relaying, and how the relay hands memory
// back when connections go quiet. These change the whole process, so only a program's main()
// decides them; the relay library only calls the give-back it is handed (Relay::setMemoryReturn).
#pragma once

namespace app {

// Sets the allocator up for many threads that each make and free a connection's worth of memory
// again and again: an arena keeps its free top instead of giving it back after every connection
// (and faulting it in again for the next), and blocks of 16 KiB and more (the SSL library's
// record buffers, made while data flows and freed when a connection goes quiet) get a mapping of
// their own each. Freed inside an arena, such a block left a hole that other connections' small
// objects partly filled, and every idle connection came to hold pages that nothing used. Call
// once, before the relay's threads start.
void tuneHeapForRelaying();

// Gives the pages that the allocator holds free back to the system, in every arena: a connection
// that went quiet leaves holes where its handshake's memory was. Walks of the arenas are a
// quarter of a second apart at least, one at a time: a call that comes sooner, or while another
// walks, leaves the walk owed, and the next call or `returnOwedMemory` serves it. Safe from any
// thread.
void returnFreeMemory();

// Serves an owed walk once its quarter second has passed; nothing when none is owed. Called
// every few seconds (the relay's status tick), so that what the last connections to go quiet
// freed is given back soon, also when no other connection goes quiet after them.
void returnOwedMemory();

}  // namespace app
