// Non-blocking socket I/O and readiness waits for the relay's data pump (net.h has the rest).
//
// Keeps poll(2), fcntl(2), recv(2) and send(2) out of the relay code. Errors come back as Winsock
// codes (socket_errors.h), so callers can quote them with `socket_error_text`. Sends never raise
// SIGPIPE. Every function is safe to call from any thread on descriptors that thread owns.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Puts the descriptor into non-blocking mode. Returns 0 or a Winsock code.
int setNonBlocking(int fd);

enum class IoStatus {
  kDone,        // some bytes moved
  kWouldBlock,  // nothing to do now; wait for readiness
  kEndOfFile,   // the peer closed its sending side (receive only)
  kFailed,      // a socket error; see the code
};

struct IoResult {
  IoStatus status = IoStatus::kFailed;
  size_t bytes = 0;  // bytes moved when kDone
  int error = 0;     // Winsock code when kFailed
};

// One recv of at most `size` bytes; retried on EINTR.
IoResult receiveNow(int fd, void* data, size_t size);
// One send of at most `size` bytes, without SIGPIPE; retried on EINTR.
IoResult sendNow(int fd, const void* data, size_t size);

// Ends the sending direction of a socket (the peer reads its end); errors are ignored.
void shutdownWrite(int fd);

// Readiness flags for `waitForIo`.
constexpr unsigned kIoReadable = 1;
constexpr unsigned kIoWritable = 2;
constexpr unsigned kIoHangup = 4;  // error or hang-up: any operation will now finish at once

struct IoWait {
  int fd = -1;         // -1: ignored
  unsigned want = 0;   // kIoReadable | kIoWritable; 0 ignores the entry
  unsigned ready = 0;  // filled in by waitForIo
};

// Waits until one entry is ready or `timeoutMs` passes (-1 waits forever). Returns the number of
// ready entries, 0 on time-out, or minus a Winsock code. No descriptor number limit applies.
int waitForIo(IoWait* entries, size_t count, int timeoutMs);

}  // namespace platform
