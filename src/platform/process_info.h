// What the cross-process lock and the counter registration ask about threads and the program:
// thread ids that are unique across processes, whether a thread still runs, the processor count,
// and the folder the program was started from. Callable from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The calling thread's id; unique on the host among threads that run (the kernel's thread id).
uint32_t currentThreadId();
// False once the thread with this id has ended (a thread that has exited but was not yet reaped
// counts as ended); true while it runs or when it cannot be told.
bool threadAlive(uint32_t id);
// True on a machine with one processor online.
bool singleProcessor();
// The folder of the running program's file, without a trailing slash; empty when unknown.
std::string programDirectory();

}  // namespace platform
