// Threads the relay starts, made with pthreads so that their stack size can be chosen: detached
// ones (connections, pool workers), which nobody waits for, and joinable ones (listeners, the
// status thread, a relay's change thread), which their owner stops and joins. A start that fails
// (the system has no more threads, or no memory for a stack) is an error the caller handles:
// nothing throws.
//
// Every thread started here has SIGPIPE blocked, so that a write to a closed socket (an SSL
// object writes with write(2), which MSG_NOSIGNAL cannot reach) fails with EPIPE instead of
// ending the process, whatever the program did with the signal's disposition. A SIGPIPE left
// pending on such a thread is never delivered.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>

namespace platform {

// Starts a detached thread running `body`. Returns 0, or the errno of the failure (EAGAIN when
// the system has no more threads). `stackBytes` 0 gives the system's default stack.
int startDetachedThread(std::function<void()> body, size_t stackBytes = 0);

// A thread its owner joins. Not copyable; the destructor joins a thread that still runs, so the
// owner stops its work first.
class Thread {
 public:
  Thread() = default;
  ~Thread() { join(); }
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts `body`; 0 or the errno of the failure. A thread already started is joined first.
  int start(std::function<void()> body, size_t stackBytes = 0);
  // Waits for the thread to end; nothing happens when none was started.
  void join();
  bool started() const { return started_; }
  // True when the calling thread is this one.
  bool isCurrent() const;

 private:
  pthread_t handle_{};
  bool started_ = false;
};

// Gives the pages of the calling thread's stack below its stack pointer back to the system: a
// connection that went quiet keeps only the stack it still uses, not what its deepest call (the
// handshake) once touched. The pages come back, zero, when the thread goes deeper again. The
// system call is made without a call frame of its own, so nothing the thread still needs lies in
// a page that is given back. Async-signal-safe. Does nothing on threads not started here (the main
// thread, whose stack bounds are not exact, among them), on a stack other than the thread's own
// (a signal handler's alternate stack), or on machines where the call cannot be made that way.
void releaseUnusedStack();

}  // namespace platform
