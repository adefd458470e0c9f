#include "platform/threads.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>

#include "platform/syscalls.h"

namespace platform {
namespace {

// The usable stack of a thread started here (above its guard page), learnt once when it starts so
// that releaseUnusedStack needs no library call (it may run where only async-signal-safe calls
// are allowed). Zero on threads started elsewhere, the main thread among them.
thread_local uintptr_t stackBottom = 0;
thread_local uintptr_t stackTop = 0;
thread_local uintptr_t stackPage = 0;

void learnStack() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* low = nullptr;
  size_t size = 0;
  size_t guard = 0;
  if (pthread_attr_getstack(&attr, &low, &size) == 0 &&
      pthread_attr_getguardsize(&attr, &guard) == 0) {
    stackBottom = reinterpret_cast<uintptr_t>(low) + guard;
    stackTop = reinterpret_cast<uintptr_t>(low) + size;
    stackPage = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  }
  pthread_attr_destroy(&attr);
}

void* runBody(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  learnStack();
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  (*body)();
  return nullptr;
}

int createThread(pthread_t* thread, bool detached, std::function<void()> body, size_t stackBytes) {
  auto* heapBody = new (std::nothrow) std::function<void()>(std::move(body));
  if (heapBody == nullptr) return ENOMEM;
  pthread_attr_t attr;
  if (const int err = pthread_attr_init(&attr); err != 0) {
    delete heapBody;
    return err;
  }
  if (detached) pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  int err = 0;
  if (stackBytes != 0) {
    // A chosen size keeps a guard page below the stack, so that an overflow faults at once.
    err = pthread_attr_setstacksize(&attr, stackBytes);
    if (err == 0)
      err = pthread_attr_setguardsize(&attr, static_cast<size_t>(::sysconf(_SC_PAGESIZE)));
  }
  if (err == 0) err = sys().threadCreate(thread, &attr, runBody, heapBody);
  pthread_attr_destroy(&attr);
  if (err != 0) delete heapBody;
  return err;
}

// The stack pointer of the caller's frame.
__attribute__((always_inline)) inline uintptr_t stackPointer() {
#if defined(__x86_64__)
  uintptr_t sp;
  asm volatile("mov %%rsp, %0" : "=r"(sp));
  return sp;
#elif defined(__aarch64__)
  uintptr_t sp;
  asm volatile("mov %0, sp" : "=r"(sp));
  return sp;
#else
  return 0;
#endif
}

// madvise(MADV_DONTNEED) as one instruction: no return address or saved register goes below the
// stack pointer, so the range may end right under it.
__attribute__((always_inline)) inline void dropPages(uintptr_t start, uintptr_t length) {
#if defined(__x86_64__)
  long rc = SYS_madvise;
  asm volatile("syscall"
               : "+a"(rc)
               : "D"(start), "S"(length), "d"(static_cast<long>(MADV_DONTNEED))
               : "rcx", "r11", "memory");
#elif defined(__aarch64__)
  register long x8 asm("x8") = SYS_madvise;
  register uintptr_t x0 asm("x0") = start;
  register uintptr_t x1 asm("x1") = length;
  register long x2 asm("x2") = MADV_DONTNEED;
  asm volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2) : "memory");
#else
  (void)start;
  (void)length;
#endif
}

}  // namespace

int startDetachedThread(std::function<void()> body, size_t stackBytes) {
  pthread_t thread;
  return createThread(&thread, true, std::move(body), stackBytes);
}

int Thread::start(std::function<void()> body, size_t stackBytes) {
  join();
  const int err = createThread(&handle_, false, std::move(body), stackBytes);
  started_ = err == 0;
  return err;
}

void Thread::join() {
  if (!started_) return;
  started_ = false;
  pthread_join(handle_, nullptr);
}

bool Thread::isCurrent() const { return started_ && pthread_equal(handle_, pthread_self()) != 0; }

void releaseUnusedStack() {
  const uintptr_t bottom = stackBottom;
  const uintptr_t top = stackTop;
  const uintptr_t sp = stackPointer();
  if (bottom == 0 || sp == 0) return;
  // Only the thread's own stack: an alternate signal stack, or a stack a sanitizer keeps for
  // itself, is somebody else's memory.
  if (sp <= bottom || sp > top) return;
  const uintptr_t page = stackPage;
  // The area below the stack pointer that the ABI lets a function use without moving it (the red
  // zone of x86-64) stays, with the page it lies in.
  constexpr uintptr_t kRedZone = 128;
  const uintptr_t keep = (sp - kRedZone) & ~(page - 1);
  if (keep <= bottom) return;
  dropPages(bottom, keep - bottom);
}

}  // namespace platform
