#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/socket_errors.h"
#include "platform/syscalls.h"

namespace platform {

namespace {

sockaddr_in inetAddress(uint32_t address, uint16_t port) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = address;
  sin.sin_port = port;
  return sin;
}

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

UniqueFd tcpSocket(int* error) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) *error = lastSocketError();
  return fd;
}

void setRelayOptions(int fd, uint32_t nodelay, uint32_t linger, uint32_t lingerSeconds) {
  if (nodelay != 0) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  if (linger != 0) setLinger(fd, lingerSeconds);
}

void setLinger(int fd, uint32_t lingerSeconds) {
  ::linger value{};
  value.l_onoff = 1;
  value.l_linger = static_cast<int>(lingerSeconds & 0xFFFF);
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof value);
}

void setReuseAddress(int fd) {
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

int setReceiveTimeout(int fd, uint32_t milliseconds) {
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
  return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 ? 0 : lastSocketError();
}

int bindTo(int fd, uint32_t address, uint16_t port) {
  const sockaddr_in sin = inetAddress(address, port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0) {
    return lastSocketError();
  }
  return 0;
}

int listenOn(int fd, int backlog) { return ::listen(fd, backlog) == 0 ? 0 : lastSocketError(); }

UniqueFd acceptOn(int fd, uint32_t* address, uint16_t* port, int* error, bool* passing) {
  for (;;) {
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    const int client = sys().accept(fd, reinterpret_cast<sockaddr*>(&sin), &len, SOCK_CLOEXEC);
    if (client >= 0) {
      *address = sin.sin_addr.s_addr;
      *port = sin.sin_port;
      return UniqueFd(client);
    }
    const int err = errno;  // logging may clobber it
    // A connection that died in the queue, or a signal, is no reason to stop listening.
    if (err == EINTR || err == ECONNABORTED || err == EPROTO) continue;
    *error = wsaErrorFromErrno(err);
    *passing = err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM || err == EPERM;
    return UniqueFd();
  }
}

int connectTo(int fd, uint32_t address, uint16_t port) {
  const sockaddr_in sin = inetAddress(address, port);
  for (;;) {
    if (sys().connect(fd, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) == 0) return 0;
    if (errno != EINTR) return lastSocketError();
  }
}

int localAddress(int fd, uint32_t* address, uint16_t* port) {
  sockaddr_in sin{};
  socklen_t len = sizeof sin;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0) return lastSocketError();
  *address = sin.sin_addr.s_addr;
  *port = sin.sin_port;
  return 0;
}

void shutdownBoth(int fd) { ::shutdown(fd, SHUT_RDWR); }

int closeSocket(UniqueFd* fd) {
  const int raw = fd->release();
  if (raw < 0) return 0;
  return ::close(raw) == 0 ? 0 : lastSocketError();
}

int sendAll(int fd, const void* data, unsigned long size) {
  unsigned long sent = 0;
  while (sent < size) {
    const ssize_t n =
        sys().send(fd, static_cast<const char*>(data) + sent, size - sent, MSG_NOSIGNAL);
    if (n >= 0) {
      sent += static_cast<unsigned long>(n);
      continue;
    }
    if (errno == EINTR) continue;
    return lastSocketError();
  }
  return 0;
}

WaitBudget::WaitBudget(uint32_t milliseconds)
    : unlimited_(milliseconds == 0), leftMs_(static_cast<int64_t>(milliseconds)) {}

bool WaitBudget::waitFor(int fd, unsigned want) {
  IoWait wait;
  wait.fd = fd;
  wait.want = want;
  for (int round = 0; round < 1000; ++round) {
    if (spent()) return false;
    const auto start = std::chrono::steady_clock::now();
    const int n = waitForIo(&wait, 1, unlimited_ ? -1 : static_cast<int>(leftMs_));
    if (!unlimited_) {
      leftMs_ -= std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - start)
                     .count();
    }
    if (n != 0) return true;  // ready, or failed: the socket call that follows reports it
    if (!unlimited_) {
      leftMs_ = 0;  // the wait ran its whole length: nothing is left
      return false;
    }
  }
  return false;
}

long receiveOnce(int fd, void* buffer, size_t size, bool peek, WaitBudget* budget, int* error) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    if (!budget->waitFor(fd, kIoReadable)) {
      *error = wsaErrorFromErrno(ETIMEDOUT);
      return -1;
    }
    const ssize_t n = sys().recv(fd, buffer, size, MSG_DONTWAIT | (peek ? MSG_PEEK : 0));
    if (n >= 0) return static_cast<long>(n);
    const int err = errno;  // logging may clobber it
    if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK) continue;
    *error = wsaErrorFromErrno(err);
    return -1;
  }
  *error = wsaErrorFromErrno(EINTR);
  return -1;
}

long receiveExactly(int fd, void* buffer, size_t count, WaitBudget* budget, int* error) {
  size_t got = 0;
  // Each round moves at least one byte, so `count` rounds are enough.
  for (size_t round = 0; got < count && round <= count; ++round) {
    const long n =
        receiveOnce(fd, static_cast<char*>(buffer) + got, count - got, false, budget, error);
    if (n < 1) return n;
    got += static_cast<size_t>(n);
  }
  return static_cast<long>(got);
}

void setLingerOff(int fd) {
  ::linger value{};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof value);
}

int setNonBlocking(int fd) {
  // One call, where reading the flags first and setting them would take two.
  int on = 1;
  if (::ioctl(fd, FIONBIO, &on) < 0) return lastSocketError();
  return 0;
}

IoResult receiveNow(int fd, void* data, size_t size) {
  for (;;) {
    const ssize_t n = sys().recv(fd, data, size, 0);
    if (n >= 0) return doneWith(n);
    const int err = errno;
    if (err != EINTR) return failedWith(err);
  }
}

IoResult sendNow(int fd, const void* data, size_t size) {
  for (;;) {
    const ssize_t n = sys().send(fd, data, size, MSG_NOSIGNAL);
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
    n = sys().poll(fds, count, wait);
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

int makeWakeUpPipe(UniqueFd* readEnd, UniqueFd* writeEnd) {
  int fds[2] = {-1, -1};
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return errno;
  readEnd->reset(fds[0]);
  writeEnd->reset(fds[1]);
  return 0;
}

void wakeUp(int writeEnd) {
  const char byte = 1;
  while (::write(writeEnd, &byte, 1) < 0 && errno == EINTR) {
  }
}

void drainWakeUps(int readEnd) {
  char bytes[64];
  for (int round = 0; round < 1024; ++round) {
    const ssize_t n = ::read(readEnd, bytes, sizeof bytes);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    return;
  }
}

bool endpointText(int fd, bool peer, std::string* address, int* port) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  auto* sa = reinterpret_cast<sockaddr*>(&ss);
  if ((peer ? ::getpeername(fd, sa, &len) : ::getsockname(fd, sa, &len)) != 0) return false;
  char text[INET6_ADDRSTRLEN] = {};
  if (ss.ss_family == AF_INET) {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(&ss);
    ::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
    *port = ntohs(sin->sin_port);
  } else if (ss.ss_family == AF_INET6) {
    const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&ss);
    ::inet_ntop(AF_INET6, &sin6->sin6_addr, text, sizeof text);
    *port = ntohs(sin6->sin6_port);
  } else {
    return false;
  }
  *address = text;
  return true;
}

bool isLoopbackHost(const std::string& host) {
  in_addr v4{};
  if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
  }
  if (host.size() != 9) return false;
  for (size_t i = 0; i < host.size(); ++i) {
    const char c = host[i] >= 'A' && host[i] <= 'Z' ? static_cast<char>(host[i] + 32) : host[i];
    if (c != "localhost"[i]) return false;
  }
  return true;
}

}  // namespace platform
