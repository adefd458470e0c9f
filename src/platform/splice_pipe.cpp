#include "platform/splice_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/socket_errors.h"

namespace platform {
namespace {

constexpr unsigned kSpliceFlags = SPLICE_F_MOVE | SPLICE_F_NONBLOCK;

IoResult outcome(ssize_t n, int err) {
  IoResult result;
  if (n > 0) {
    result.status = IoStatus::kDone;
    result.bytes = static_cast<size_t>(n);
  } else if (n == 0) {
    result.status = IoStatus::kEndOfFile;
  } else if (err == EAGAIN || err == EWOULDBLOCK) {
    result.status = IoStatus::kWouldBlock;
  } else {
    result.status = IoStatus::kFailed;
    result.error = wsaErrorFromErrno(err);
    // Descriptors whose files have no splice support; the caller copies instead.
    result.unsupported = err == EINVAL || err == ENOSYS || err == EOPNOTSUPP;
  }
  return result;
}

}  // namespace

int SplicePipe::open(size_t capacity) {
  close();
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return wsaErrorFromErrno(errno);
  read_.reset(fds[0]);
  write_.reset(fds[1]);
  // A larger pipe moves more per call; when the system refuses, the default room serves.
  const int granted = ::fcntl(write_.get(), F_SETPIPE_SZ, static_cast<int>(capacity));
  const int size = granted > 0 ? granted : ::fcntl(write_.get(), F_GETPIPE_SZ);
  capacity_ = size > 0 ? static_cast<size_t>(size) : 4096;
  return 0;
}

void SplicePipe::close() {
  read_.reset();
  write_.reset();
  capacity_ = 0;
}

IoResult SplicePipe::fill(int socketFd, size_t size) {
  for (;;) {
    const ssize_t n = ::splice(socketFd, nullptr, write_.get(), nullptr, size, kSpliceFlags);
    const int err = errno;  // latched before anything else runs
    if (n < 0 && err == EINTR) continue;
    return outcome(n, err);
  }
}

IoResult SplicePipe::drain(int socketFd, size_t size) {
  for (;;) {
    const ssize_t n = ::splice(read_.get(), nullptr, socketFd, nullptr, size, kSpliceFlags);
    const int err = errno;  // latched before anything else runs
    if (n < 0 && err == EINTR) continue;
    // Nothing moved from a non-empty pipe: the socket is full.
    if (n == 0) return outcome(-1, EAGAIN);
    // A socket whose peer is gone raises no SIGPIPE here: the pump ignores the signal.
    return outcome(n, err);
  }
}

}  // namespace platform
