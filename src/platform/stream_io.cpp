#include "platform/stream_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

#include "platform/socket_errors.h"

namespace platform {

long receiveOnce(int fd, void* buffer, size_t size, bool peek, int* error) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const ssize_t n = ::recv(fd, buffer, size, peek ? MSG_PEEK : 0);
    if (n >= 0) return static_cast<long>(n);
    const int err = errno;  // logging may clobber it
    if (err == EINTR) continue;
    // A receive time-out reads as EAGAIN on a blocking socket.
    *error = (err == EAGAIN || err == EWOULDBLOCK) ? wsaErrorFromErrno(ETIMEDOUT)
                                                   : wsaErrorFromErrno(err);
    return -1;
  }
  *error = wsaErrorFromErrno(EINTR);
  return -1;
}

uint32_t receiveTimeout(int fd) {
  timeval tv{};
  socklen_t len = sizeof tv;
  if (::getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len) != 0) return 0;
  return static_cast<uint32_t>(tv.tv_sec) * 1000 + static_cast<uint32_t>(tv.tv_usec / 1000);
}

bool waitReadable(int fd, int timeoutMs) {
  pollfd p{};
  p.fd = fd;
  p.events = POLLIN;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const int n = ::poll(&p, 1, timeoutMs);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
  return false;
}

void setLingerOff(int fd) {
  ::linger value{};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof value);
}

}  // namespace platform
