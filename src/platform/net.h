// TCP sockets as the relay uses them: creation, options, connecting and listening; blocking reads
// and writes for the request readers of the proxy front and back ends; non-blocking I/O and
// readiness waits for the data pump. Addresses are IPv4 or IPv6 (platform/ip_address.h), ports are
// in network byte order; results are 0 or a Winsock error code (platform/socket_errors.h), so
// callers log them with their old texts. Sends never raise SIGPIPE. Every call is safe from any
// thread on descriptors that thread owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/ip_address.h"
#include "platform/unique_fd.h"

namespace platform {

// A new TCP socket (close-on-exec) of the IPv4 or the IPv6 family, or an invalid one with *error
// set.
UniqueFd tcpSocket(int* error, bool v6 = false);
// A socket to listen on `interfaceAddress`, and the address to bind it to. Every interface
// (0.0.0.0, as "All" and an empty interface give) is one IPv6 socket on :: that takes IPv4
// clients too, whatever the system's default says; on a system without IPv6, an IPv4 socket on
// 0.0.0.0. An invalid socket with *error set when none could be made.
UniqueFd listenSocket(const IpAddress& interfaceAddress, IpAddress* bindAddress, int* error);
// TCP_NODELAY when nodelay is non-zero; SO_LINGER on with `lingerSeconds` when linger is non-zero.
void setRelayOptions(int fd, uint32_t nodelay, uint32_t linger, uint32_t lingerSeconds);
// SO_LINGER alone (listening sockets).
void setLinger(int fd, uint32_t lingerSeconds);
// TCP_NODELAY on or off.
void setNoDelay(int fd, bool on);
void setReuseAddress(int fd);
// A receive time-out on blocking reads of the socket; 0 removes it. 0 or the Winsock code.
int setReceiveTimeout(int fd, uint32_t milliseconds);
int bindTo(int fd, const IpAddress& address, uint16_t port);
int listenOn(int fd, int backlog);
// Waits for a connection; a signal or a connection that died in the queue is retried. When the
// result is invalid, *error is set and *passing tells whether the failure may pass by itself (no
// descriptors or memory left for now) or the listening socket is broken.
UniqueFd acceptOn(int fd, IpAddress* address, uint16_t* port, int* error, bool* passing);
// A blocking connect; 0 or the error. The socket's family must be the address's.
int connectTo(int fd, const IpAddress& address, uint16_t port);
// The local address of a socket.
int localAddress(int fd, IpAddress* address, uint16_t* port);

// How long a connect to one address of a destination may go unanswered before the next address
// is tried beside it.
constexpr int kNextAddressMs = 250;

// Connects a new socket to the first of `addresses` that answers, in their order. One address
// gets a plain blocking connect. With more, the next attempt starts when the one before has
// failed or has not answered within kNextAddressMs; attempts still waiting go on, the first to
// connect wins and the others are closed; each attempt ends by the system's own connect time-out.
// `prepare` sets the options of each socket before its connect. Returns 0 with the socket and the
// address it reached, or the error of the attempt that failed last, with its socket (when one was
// made) for the caller to close as its settings say.
struct Connected {
  UniqueFd fd;
  IpAddress address;          // the address reached
  bool socketFailed = false;  // the last failure was making a socket, not connecting it
};
int connectFirst(const std::vector<IpAddress>& addresses, uint16_t port,
                 const std::function<void(int fd)>& prepare, Connected* out);
// Shuts both directions down (the descriptor stays open).
void shutdownBoth(int fd);
// Closes the descriptor; 0 or the error of the close.
int closeSocket(UniqueFd* fd);
// Writes everything (MSG_NOSIGNAL); 0 or the error.
int sendAll(int fd, const void* data, unsigned long size);

// Reads for the request and response readers, bounded per phase.

// How long a peer may keep one phase of a connection waiting in all (reading a request, a
// handshake, an exchange with an upstream proxy): every wait of the phase is counted against it,
// so a peer that sends one byte at a time cannot hold the phase for ever. Work between the waits
// (a question a person answers, for one) is not counted. 0 ms is no limit. One thread.
class WaitBudget {
 public:
  explicit WaitBudget(uint32_t milliseconds);
  bool spent() const { return !unlimited_ && leftMs_ <= 0; }
  // Waits until the socket is ready for `want` (kIoReadable, kIoWritable) or the budget is
  // spent. True when ready (an error or hang-up counts as ready: the next call reports it).
  bool waitFor(int fd, unsigned want);

 private:
  bool unlimited_;
  int64_t leftMs_;
};

// One recv of at most `size` bytes (MSG_PEEK when `peek`), once the socket has something within
// the budget. Returns the count (0: the peer closed), or -1 with *error set (WSAETIMEDOUT when
// the budget ran out).
long receiveOnce(int fd, void* buffer, size_t size, bool peek, WaitBudget* budget, int* error);
// Receives until `count` bytes arrived. Returns `count`, or the first receive result below 1:
// 0 when the peer closed, -1 with *error set on an error or when the budget ran out.
long receiveExactly(int fd, void* buffer, size_t count, WaitBudget* budget, int* error);
// Switches SO_LINGER off: a close returns at once and the rest is sent in the background.
void setLingerOff(int fd);

// Non-blocking I/O for the data pump.

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
  size_t bytes = 0;          // bytes moved when kDone
  int error = 0;             // Winsock code when kFailed
  bool unsupported = false;  // kFailed because the descriptors cannot do this at all
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

// A wake-up pipe for a thread that waits in poll: non-blocking, close-on-exec. 0 or errno.
int makeWakeUpPipe(UniqueFd* readEnd, UniqueFd* writeEnd);
// Puts one byte into the pipe (nothing when it is full: a wake-up is waiting anyway).
void wakeUp(int writeEnd);
// Takes every byte out of the pipe.
void drainWakeUps(int readEnd);

// Addresses as text, for any address family.

// The numeric address and port of a socket's own end (peer false) or its peer's; false when the
// socket has none.
bool endpointText(int fd, bool peer, std::string* address, int* port);
// The host (a numeric IPv4 or IPv6 address, or the name "localhost") is on this machine's
// loopback: 127.0.0.0/8, ::1 or ::ffff:127.0.0.0/104. Any other name counts as reachable.
bool isLoopbackHost(const std::string& host);

}  // namespace platform
