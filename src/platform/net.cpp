#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/socket_errors.h"

namespace platform {

namespace {

sockaddr_in inetAddress(uint32_t address, uint16_t port) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = address;
  sin.sin_port = port;
  return sin;
}

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

void setReceiveTimeout(int fd, uint32_t milliseconds) {
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

int bindTo(int fd, uint32_t address, uint16_t port) {
  const sockaddr_in sin = inetAddress(address, port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0) {
    return lastSocketError();
  }
  return 0;
}

int listenOn(int fd, int backlog) { return ::listen(fd, backlog) == 0 ? 0 : lastSocketError(); }

UniqueFd acceptOn(int fd, uint32_t* address, uint16_t* port, int* error) {
  for (;;) {
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    const int client = ::accept4(fd, reinterpret_cast<sockaddr*>(&sin), &len, SOCK_CLOEXEC);
    if (client >= 0) {
      *address = sin.sin_addr.s_addr;
      *port = sin.sin_port;
      return UniqueFd(client);
    }
    const int err = errno;  // logging may clobber it
    // A connection that died in the queue, or a signal, is no reason to stop listening.
    if (err == EINTR || err == ECONNABORTED || err == EPROTO) continue;
    *error = wsaErrorFromErrno(err);
    return UniqueFd();
  }
}

int connectTo(int fd, uint32_t address, uint16_t port) {
  const sockaddr_in sin = inetAddress(address, port);
  for (;;) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) == 0) return 0;
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

long receiveSome(int fd, void* buffer, unsigned long size, int* error) {
  unsigned long got = 0;
  while (got < size) {
    const ssize_t n = ::recv(fd, static_cast<char*>(buffer) + got, size - got, 0);
    if (n > 0) {
      got += static_cast<unsigned long>(n);
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    *error = lastSocketError();
    return -1;
  }
  return static_cast<long>(got);
}

int sendAll(int fd, const void* data, unsigned long size) {
  unsigned long sent = 0;
  while (sent < size) {
    const ssize_t n = ::send(fd, static_cast<const char*>(data) + sent, size - sent, MSG_NOSIGNAL);
    if (n >= 0) {
      sent += static_cast<unsigned long>(n);
      continue;
    }
    if (errno == EINTR) continue;
    return lastSocketError();
  }
  return 0;
}

}  // namespace platform
