#include "platform/poll_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include "platform/socket_errors.h"

namespace platform {

namespace {

IoResult failedWith(int err) {
  IoResult result;
  if (err == EAGAIN || err == EWOULDBLOCK) {
    result.status = IoStatus::kWouldBlock;
  } else {
    result.status = IoStatus::kFailed;
    result.error = wsaErrorFromErrno(err);
  }
  return result;
}

IoResult doneWith(ssize_t n) {
  IoResult result;
  result.status = n == 0 ? IoStatus::kEndOfFile : IoStatus::kDone;
  result.bytes = static_cast<size_t>(n);
  return result;
}

constexpr size_t kMaxWaitEntries = 8;

}  // namespace

int setNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return lastSocketError();
  if ((flags & O_NONBLOCK) != 0) return 0;
  if (::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return lastSocketError();
  return 0;
}

IoResult receiveNow(int fd, void* data, size_t size) {
  for (;;) {
    const ssize_t n = ::recv(fd, data, size, 0);
    if (n >= 0) return doneWith(n);
    const int err = errno;
    if (err != EINTR) return failedWith(err);
  }
}

IoResult sendNow(int fd, const void* data, size_t size) {
  for (;;) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n > 0) return doneWith(n);
    if (n == 0) return failedWith(EAGAIN);  // nothing taken: treat as a full buffer
    const int err = errno;
    if (err != EINTR) return failedWith(err);
  }
}

void shutdownWrite(int fd) {
  if (fd >= 0) ::shutdown(fd, SHUT_WR);
}

int waitForIo(IoWait* entries, size_t count, int timeoutMs) {
  if (count > kMaxWaitEntries) return -wsaErrorFromErrno(EINVAL);
  pollfd fds[kMaxWaitEntries];
  for (size_t i = 0; i < count; ++i) {
    entries[i].ready = 0;
    const bool used = entries[i].fd >= 0 && entries[i].want != 0;
    // An ignored entry gets fd -1: poll would otherwise report its hang-up on every call.
    fds[i].fd = used ? entries[i].fd : -1;
    fds[i].events = static_cast<short>(((entries[i].want & kIoReadable) ? POLLIN : 0) |
                                       ((entries[i].want & kIoWritable) ? POLLOUT : 0));
    fds[i].revents = 0;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int n = 0;
  for (;;) {
    int wait = timeoutMs;
    if (timeoutMs > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    n = ::poll(fds, count, wait);
    if (n >= 0) break;
    const int err = errno;
    if (err != EINTR) return -wsaErrorFromErrno(err);
  }
  for (size_t i = 0; i < count; ++i) {
    const short r = fds[i].revents;
    if (r & POLLIN) entries[i].ready |= kIoReadable;
    if (r & POLLOUT) entries[i].ready |= kIoWritable;
    if (r & (POLLERR | POLLHUP | POLLNVAL)) entries[i].ready |= kIoHangup;
  }
  return n;
}

}  // namespace platform
