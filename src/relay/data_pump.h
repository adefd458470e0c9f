// The data pump: moves bytes both ways between the two sides of one relayed connection until both
// directions end or a side fails, counts them, and closes both sides exactly once.
//
// Each side is a connected socket, with an SSL object over it when that side speaks SSL (its
// handshake already done, on the blocking socket). The pump runs on the connection's own thread
// and owns both sides: it switches the sockets to non-blocking mode, waits with poll (no limit on
// descriptor numbers), finishes every partial write before reading that direction again, serves
// an SSL object's read and write wishes in both directions (renegotiation, key updates), reads
// what an SSL object already holds before it waits, and never raises SIGPIPE. When it returns,
// both SSL objects are freed and both descriptors shut down and closed, each exactly once.
//
// A connection quiet for half a second hands its sockets to its relay's quiet set (when the
// relay has one: it serves from a pool) and gives its thread back; the set posts it to the pool
// again when bytes arrive, a side closes or its idle time ends, and the pump carries on where it
// stopped, on whichever pool thread takes it.
//
// Lean on the way: when both sides are plain (and the buffer view is off), a direction that
// streams moves its bytes from socket to socket through a kernel pipe (splice) without a copy
// through the program; an SSL side reads
// ahead several records at once and sends the records of one block with one send. Buffers and
// pipes exist only while data flows: a connection quiet for half a second gives them back, with
// the stack its deepest call touched and the heap pages its handshake left free, and the next
// bytes make them again.
//
// The descriptor belongs to `PumpEnd::fd`: the SSL object's BIO must not close it (the pump
// clears the BIO's close flag to make sure).
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "config/settings.h"
#include "platform/ip_address.h"
#include "platform/unique_fd.h"
#include "relay/ssl_context.h"

namespace relay {
struct Pump;
struct RelayState;
}  // namespace relay

namespace relay {

// Bytes each direction holds between a read and the write that passes them on (while data flows).
constexpr size_t kPumpBufferSize = 256 * 1024;
// The first block of a direction: enough for a request or an answer. A direction that fills it
// streams, and its next blocks take the whole kPumpBufferSize.
constexpr size_t kFirstBlockSize = 16 * 1024;

struct PumpEnd {
  platform::UniqueFd fd;
  SslPtr ssl;  // null for a plain side
  // What the SSL object's application data points to (an outgoing side's session key): it
  // travels with the object, and the pump frees the object first.
  std::unique_ptr<DestSessionKey> sessionKey = nullptr;
};

// What the disconnect line says, and how.
struct PumpReport {
  platform::IpAddress clientAddress;
  uint16_t clientPort = 0;  // network byte order
  platform::IpAddress destAddress;
  uint16_t destPort = 0;   // network byte order
  uint16_t localPort = 0;  // network byte order; the listener's port
  // false: "Disconnect %s.%d from %s.%d: %s" at LOG_INFO, code 0x6052, only when verbose.
  // true: "Disconnect %s:%d from %s:%d : %s" at LOG_ERROR, code 0x6001, always (HTTP front end).
  bool frontEndStyle = false;
  // Idle time after which the pump ends the connection; 0 waits forever.
  uint32_t idleSeconds = 0;
  // The connection's settings and its relay's state; both must outlive the pump.
  const config::Settings* settings = nullptr;
  RelayState* state = nullptr;
  // Kept until the pump ends, on whichever thread that is: what `settings` and `state` point
  // into, and the connection's place in its relay's count.
  std::shared_ptr<void> owner;
};

// A copy of every block read goes to the relay observer's `relayedChunk` while "sniffer" is on.
//
// Relays until both directions have ended (or a side fails, or the idle time passes), then closes
// both sides. A side that ends its sending has that end passed on to the other side, and the
// other direction goes on until it ends too, so an answer to a half-closed request arrives whole.
void dataPump(PumpEnd client, PumpEnd dest, const PumpReport& report);

// A parked pump (relay/quiet_set.h) goes on as a work item of the pool; owns `pump`.
void resumePump(void* pump);
// Ends a parked pump at once, as at a clean end; `couldNotResume`: it could not be posted to the
// pool, which is logged, and it ends with "No buffer space available.". Owns `pump`.
void endParkedPump(Pump* pump, bool couldNotResume);

// The disconnect line of a relayed connection, as the report says (error 0: "No error.").
void logDisconnect(const config::Settings& settings, const PumpReport& report, int error);

}  // namespace relay
