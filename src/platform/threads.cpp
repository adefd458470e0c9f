#include "platform/threads.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
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
  if (stackBytes != 0) err = pthread_attr_setstacksize(&attr, stackBytes);
  pthread_t thread;
  if (err == 0) err = pthread_create(&thread, &attr, runBody, heapBody);
  pthread_attr_destroy(&attr);
  if (err != 0) delete heapBody;
  return err;
}

void failThreadStartsForTesting(int error) { forcedFailure.store(error); }

}  // namespace platform
