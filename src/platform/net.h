// TCP sockets as the relay uses them: IPv4 addresses and ports in network byte order, results as
// 0 or a Winsock error code (platform/socket_errors.h), so callers log them with their old texts.
#pragma once

#include <cstdint>

#include "platform/unique_fd.h"

namespace platform {

// A new TCP socket (close-on-exec), or an invalid one with *error set.
UniqueFd tcpSocket(int* error);
// TCP_NODELAY when nodelay is non-zero; SO_LINGER on with `lingerSeconds` when linger is non-zero.
void setRelayOptions(int fd, uint32_t nodelay, uint32_t linger, uint32_t lingerSeconds);
// SO_LINGER alone (listening sockets).
void setLinger(int fd, uint32_t lingerSeconds);
void setReuseAddress(int fd);
// A receive time-out on reads of the socket; 0 removes it.
void setReceiveTimeout(int fd, uint32_t milliseconds);
int bindTo(int fd, uint32_t address, uint16_t port);
int listenOn(int fd, int backlog);
// Waits for a connection; EINTR is retried. *error is set when the result is invalid.
UniqueFd acceptOn(int fd, uint32_t* address, uint16_t* port, int* error);
// A blocking connect; 0 or the error.
int connectTo(int fd, uint32_t address, uint16_t port);
// The local or peer address of a connected socket.
int localAddress(int fd, uint32_t* address, uint16_t* port);
// Shuts both directions down (the descriptor stays open).
void shutdownBoth(int fd);
// Closes the descriptor; 0 or the error of the close.
int closeSocket(UniqueFd* fd);
// Reads exactly `size` bytes unless the peer ends or an error (or time-out) comes first; returns
// the count read, or -1 with *error set.
long receiveSome(int fd, void* buffer, unsigned long size, int* error);
// Writes everything (MSG_NOSIGNAL); 0 or the error.
int sendAll(int fd, const void* data, unsigned long size);

}  // namespace platform
