// A kernel pipe that moves the bytes of one relayed direction from socket to socket without
// copying them through the program (splice). One direction of one connection owns it; one thread
// uses it. Made when bytes start to flow and closed when the connection goes idle, so that an idle
// connection holds no more descriptors than its two sockets.
#pragma once

#include <cstddef>

#include "platform/net.h"
#include "platform/unique_fd.h"

namespace platform {

class SplicePipe {
 public:
  SplicePipe() = default;
  SplicePipe(const SplicePipe&) = delete;
  SplicePipe& operator=(const SplicePipe&) = delete;

  // Makes the pipe (non-blocking, close-on-exec) and asks for `capacity` bytes of room. Returns 0
  // or the Winsock code of the failure (no descriptors left, for one).
  int open(size_t capacity);
  bool isOpen() const { return read_.valid(); }
  // The bytes the pipe can hold.
  size_t capacity() const { return capacity_; }
  void close();

  // Moves at most `size` bytes from the socket into the pipe. kEndOfFile when the peer ended its
  // sending; kWouldBlock when the socket has nothing now (the pipe must be empty, as the pump
  // keeps it). `unsupported` is set when these descriptors cannot be spliced at all.
  IoResult fill(int socketFd, size_t size);
  // Moves at most `size` bytes from the pipe to the socket; kWouldBlock when the socket is full.
  IoResult drain(int socketFd, size_t size);

 private:
  UniqueFd read_;
  UniqueFd write_;
  size_t capacity_ = 0;
};

}  // namespace platform
