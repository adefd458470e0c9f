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

UniqueFd tcpSocket(int* error, bool v6) {
  UniqueFd fd(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) *error = lastSocketError();
  return fd;
}

UniqueFd listenSocket(const IpAddress& interfaceAddress, IpAddress* bindAddress, int* error) {
  *bindAddress = interfaceAddress;
  if (interfaceAddress.v6 || !interfaceAddress.isZero()) {
    return tcpSocket(error, interfaceAddress.v6);
  }
  UniqueFd fd = tcpSocket(error, true);
  if (fd.valid()) {
    const int off = 0;
    if (::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0) {
      bindAddress->v6 = true;
      return fd;
    }
  }
  return tcpSocket(error, false);
}

void setRelayOptions(int fd, uint32_t nodelay, uint32_t linger, uint32_t lingerSeconds) {
  if (nodelay != 0) setNoDelay(fd, true);
  if (linger != 0) setLinger(fd, lingerSeconds);
}

void setNoDelay(int fd, bool on) {
  const int value = on ? 1 : 0;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value);
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

int bindTo(int fd, const IpAddress& address, uint16_t port) {
  sockaddr_storage ss{};
  const socklen_t len = toSocketAddress(address, port, &ss);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&ss), len) != 0) {
    return lastSocketError();
  }
  return 0;
}

int listenOn(int fd, int backlog) { return ::listen(fd, backlog) == 0 ? 0 : lastSocketError(); }

UniqueFd acceptOn(int fd, IpAddress* address, uint16_t* port, int* error, bool* passing) {
  for (;;) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    const int client = sys().accept(fd, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
    if (client >= 0) {
      if (!fromSocketAddress(reinterpret_cast<const sockaddr*>(&ss), address, port)) {
        *address = IpAddress();
        *port = 0;
      }
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

int connectTo(int fd, const IpAddress& address, uint16_t port) {
  sockaddr_storage ss{};
  const socklen_t len = toSocketAddress(address, port, &ss);
  for (;;) {
    if (sys().connect(fd, reinterpret_cast<const sockaddr*>(&ss), len) == 0) return 0;
    if (errno != EINTR) return lastSocketError();
  }
}

int localAddress(int fd, IpAddress* address, uint16_t* port) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return lastSocketError();
  if (!fromSocketAddress(reinterpret_cast<const sockaddr*>(&ss), address, port)) {
    return wsaErrorFromErrno(EAFNOSUPPORT);
  }
  return 0;
}

namespace {

// One connect of several under way.
struct Attempt {
  UniqueFd fd;
  size_t index = 0;
};

void setBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

// Starts a non-blocking connect to one address. True when it is under way or done (*done); false
// with *error when it failed at once.
bool startAttempt(const IpAddress& address, uint16_t port,
                  const std::function<void(int fd)>& prepare, UniqueFd* fd, bool* done,
                  int* error) {
  *fd = tcpSocket(error, address.v6);
  if (!fd->valid()) return false;
  if (prepare) prepare(fd->get());
  if (const int err = setNonBlocking(fd->get()); err != 0) {
    *error = err;
    return false;
  }
  sockaddr_storage ss{};
  const socklen_t len = toSocketAddress(address, port, &ss);
  *done = sys().connect(fd->get(), reinterpret_cast<const sockaddr*>(&ss), len) == 0;
  // Interrupted, a non-blocking connect goes on by itself.
  if (*done || errno == EINPROGRESS || errno == EINTR) return true;
  *error = lastSocketError();
  return false;
}

}  // namespace

int connectFirst(const std::vector<IpAddress>& addresses, uint16_t port,
                 const std::function<void(int fd)>& prepare, Connected* out) {
  out->socketFailed = false;
  if (addresses.empty()) return wsaErrorFromErrno(EADDRNOTAVAIL);
  if (addresses.size() == 1) {
    int err = 0;
    UniqueFd fd = tcpSocket(&err, addresses.front().v6);
    if (!fd.valid()) {
      out->socketFailed = true;
      return err;
    }
    if (prepare) prepare(fd.get());
    err = connectTo(fd.get(), addresses.front(), port);
    out->fd = std::move(fd);
    if (err != 0) return err;
    out->address = addresses.front();
    return 0;
  }
  std::vector<Attempt> waiting;
  size_t next = 0;
  int lastError = 0;
  auto won = [&](UniqueFd fd, size_t index) {
    setBlocking(fd.get());
    out->fd = std::move(fd);
    out->address = addresses[index];
    out->socketFailed = false;
    return 0;
  };
  for (;;) {
    if (next < addresses.size() && waiting.size() < kMaxWaitEntries) {
      const size_t index = next++;
      UniqueFd fd;
      bool done = false;
      int err = 0;
      if (!startAttempt(addresses[index], port, prepare, &fd, &done, &err)) {
        lastError = err;
        out->socketFailed = !fd.valid();
        if (fd.valid()) out->fd = std::move(fd);
        continue;
      }
      if (done) return won(std::move(fd), index);
      waiting.push_back(Attempt{std::move(fd), index});
    }
    if (waiting.empty()) {
      if (next >= addresses.size()) return lastError;
      continue;
    }
    pollfd fds[kMaxWaitEntries];
    for (size_t i = 0; i < waiting.size(); ++i) fds[i] = pollfd{waiting[i].fd.get(), POLLOUT, 0};
    const bool more = next < addresses.size() && waiting.size() < kMaxWaitEntries;
    const int n = sys().poll(fds, waiting.size(), more ? kNextAddressMs : -1);
    if (n < 0 && errno != EINTR) return lastSocketError();
    if (n <= 0) continue;  // the next address's turn, or interrupted
    for (size_t i = waiting.size(); i-- > 0;) {
      if (fds[i].revents == 0) continue;
      int soError = 0;
      socklen_t len = sizeof soError;
      if (::getsockopt(waiting[i].fd.get(), SOL_SOCKET, SO_ERROR, &soError, &len) != 0) {
        soError = errno;
      }
      if (soError == 0) return won(std::move(waiting[i].fd), waiting[i].index);
      lastError = wsaErrorFromErrno(soError);
      out->socketFailed = false;
      out->fd = std::move(waiting[i].fd);
      waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
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
