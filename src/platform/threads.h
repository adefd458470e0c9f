// Threads that the relay starts and never joins (listeners, connections, pool workers, the
// seeding thread), made with pthreads so that their stack size can be chosen. A start that fails
// (the system has no more threads, or no memory for a stack) is an error the caller handles:
// nothing throws.
#pragma once

#include <cstddef>
#include <functional>

namespace platform {

// Starts a detached thread running `body`. Returns 0, or the errno of the failure (EAGAIN when
// the system has no more threads). `stackBytes` 0 gives the system's default stack.
int startDetachedThread(std::function<void()> body, size_t stackBytes = 0);

// Gives the pages of the calling thread's stack below its current frame back to the system: a
// connection that went quiet keeps only the stack it still uses, not what its deepest call (the
// handshake) once touched. The pages come back, zero, when the thread goes deeper again. Does
// nothing on the main thread, whose stack bounds are not exact.
void releaseUnusedStack();

// While set to a non-zero errno, every start fails with it; tests use it to stand for a system
// that has run out of threads.
void failThreadStartsForTesting(int error);

}  // namespace platform
