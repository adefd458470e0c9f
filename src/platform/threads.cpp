#include "platform/threads.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>

namespace platform {
namespace {

std::atomic<int> forcedFailure{0};

void* runBody(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return nullptr;
}

}  // namespace

int startDetachedThread(std::function<void()> body, size_t stackBytes) {
  if (const int forced = forcedFailure.load(); forced != 0) return forced;
  auto* heapBody = new (std::nothrow) std::function<void()>(std::move(body));
  if (heapBody == nullptr) return ENOMEM;
  pthread_attr_t attr;
  if (const int err = pthread_attr_init(&attr); err != 0) {
    delete heapBody;
    return err;
  }
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  int err = 0;
  if (stackBytes != 0) {
    // A chosen size keeps a guard page below the stack, so that an overflow faults at once.
    err = pthread_attr_setstacksize(&attr, stackBytes);
    if (err == 0)
      err = pthread_attr_setguardsize(&attr, static_cast<size_t>(::sysconf(_SC_PAGESIZE)));
  }
  pthread_t thread;
  if (err == 0) err = pthread_create(&thread, &attr, runBody, heapBody);
  pthread_attr_destroy(&attr);
  if (err != 0) delete heapBody;
  return err;
}

void releaseUnusedStack() {
  if (::gettid() == ::getpid()) return;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* low = nullptr;
  size_t size = 0;
  size_t guard = 0;
  const bool known = pthread_attr_getstack(&attr, &low, &size) == 0 &&
                     pthread_attr_getguardsize(&attr, &guard) == 0;
  pthread_attr_destroy(&attr);
  if (!known) return;
  const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  // What stays: the frames above, which the calls that follow use at once, this frame, and room
  // beneath it for the call to madvise, whose return address must not lie in a page that comes
  // back zero under the call. This frame takes a few hundred bytes in any build; the room below
  // it is what is left of 1 KiB. The frame's own address, not a local's: a sanitizer may keep
  // address-taken locals on a stack of its own.
  constexpr uintptr_t kFrameAndCallRoom = 1024;
  const uintptr_t frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  const uintptr_t keep = (frame - kFrameAndCallRoom) & ~(page - 1);
  const uintptr_t bottom = reinterpret_cast<uintptr_t>(low) + guard;
  if (keep <= bottom) return;
  ::madvise(reinterpret_cast<void*>(bottom), keep - bottom, MADV_DONTNEED);
}

void failThreadStartsForTesting(int error) { forcedFailure.store(error); }

}  // namespace platform
