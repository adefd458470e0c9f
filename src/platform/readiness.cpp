#include "platform/readiness.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <cerrno>

#include "platform/net.h"

namespace platform {

namespace {

// The token of the wake-up descriptor: no owner's number is this large.
constexpr uint64_t kWakeToken = ~uint64_t{0};
constexpr size_t kMaxBatch = 256;  // events taken from the kernel per wait

}  // namespace

int ReadinessSet::open() {
  UniqueFd set(epoll_create1(EPOLL_CLOEXEC));
  if (!set.valid()) return errno;
  UniqueFd wakeUp(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wakeUp.valid()) return errno;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWakeToken;
  if (epoll_ctl(set.get(), EPOLL_CTL_ADD, wakeUp.get(), &event) != 0) return errno;
  set_ = std::move(set);
  wakeUp_ = std::move(wakeUp);
  return 0;
}

int ReadinessSet::add(int fd, unsigned want, uint64_t token) {
  epoll_event event{};
  event.events =
      EPOLLONESHOT | ((want & kIoReadable) ? EPOLLIN : 0u) | ((want & kIoWritable) ? EPOLLOUT : 0u);
  event.data.u64 = token;
  return epoll_ctl(set_.get(), EPOLL_CTL_ADD, fd, &event) == 0 ? 0 : errno;
}

void ReadinessSet::remove(int fd) { epoll_ctl(set_.get(), EPOLL_CTL_DEL, fd, nullptr); }

int ReadinessSet::wait(Event* events, size_t capacity, int timeoutMs) {
  epoll_event got[kMaxBatch];
  const int max = static_cast<int>(capacity < kMaxBatch ? capacity : kMaxBatch);
  const int n = epoll_wait(set_.get(), got, max, timeoutMs);
  if (n < 0) return errno == EINTR ? 0 : -errno;
  size_t stored = 0;
  for (int i = 0; i < n; ++i) {
    if (got[i].data.u64 == kWakeToken) {
      uint64_t count = 0;
      while (::read(wakeUp_.get(), &count, sizeof count) > 0) {
      }
      continue;
    }
    const uint32_t e = got[i].events;
    events[stored].token = got[i].data.u64;
    events[stored].ready = ((e & EPOLLIN) ? kIoReadable : 0u) |
                           ((e & EPOLLOUT) ? kIoWritable : 0u) |
                           ((e & (EPOLLERR | EPOLLHUP)) ? kIoHangup : 0u);
    ++stored;
  }
  return static_cast<int>(stored);
}

void ReadinessSet::wake() {
  const uint64_t one = 1;
  // A full counter means a wake-up is waiting already.
  [[maybe_unused]] const ssize_t n = ::write(wakeUp_.get(), &one, sizeof one);
}

}  // namespace platform
