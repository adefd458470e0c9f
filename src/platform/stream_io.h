// Blocking socket reads for the request and response readers of the proxy front and back ends
// (net.h has the connection calls). Errors come back as Winsock codes (socket_errors.h). Safe to
// call from any thread on descriptors that thread owns.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// One recv of at most `size` bytes (MSG_PEEK when `peek`), retried on EINTR. Returns the count
// (0: the peer closed), or -1 with *error set (a receive time-out gives WSAETIMEDOUT).
long receiveOnce(int fd, void* buffer, size_t size, bool peek, int* error);
// The socket's receive time-out in milliseconds (0: none).
uint32_t receiveTimeout(int fd);
// Waits until the socket has bytes (or an end) to read; false after `timeoutMs` or on error.
bool waitReadable(int fd, int timeoutMs);
// Switches SO_LINGER off: a close returns at once and the rest is sent in the background.
void setLingerOff(int fd);

}  // namespace platform
