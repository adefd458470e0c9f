// One side of a relayed connection as the data pump drives it: a non-blocking socket, with an SSL
// object over it when the side speaks SSL. Reads and writes here map the socket's and the SSL
// object's outcomes to platform::IoResult and say what a retry waits for.
//
// An SSL side reads ahead: one read of the socket brings as many records as its read buffer
// holds, and a side that streams gets a read buffer of several records. Blocks of several
// records go through a write buffer, so that they leave with one send. Both buffers exist only
// while data flows: `releaseIdle` gives them back, and the next read or write makes them again.
// The pump's thread alone uses a side.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>

#include "platform/net.h"

namespace relay {

// Bytes an SSL side's read buffer takes from the socket at once (sixteen full records).
constexpr size_t kSslReadAhead = 16 * (16 * 1024 + 512);
// Room of an SSL side's write buffer: a pump block's records with their overhead leave in one send.
constexpr size_t kSslWriteRoom = 272 * 1024;

struct PumpSide {
  int fd = -1;
  SSL* ssl = nullptr;          // null for a plain side
  bool fatal = false;          // an SSL error happened: no SSL_shutdown any more
  bool broken = false;         // writing here failed: nothing more is sent
  bool shutDown = false;       // SSL_shutdown was called (once is all it may get)
  bool verbose = false;        // "verbose": failed SSL calls dump their errors
  BIO* writeBuffer = nullptr;  // SSL sides while data flows: the buffer over the socket BIO
  bool flowBuffers = false;    // SSL calls ran since the last `releaseIdle`
};

// Makes the side non-blocking and sets its SSL object up for relaying; the descriptor stays with
// its owner (the SSL object's BIOs never close it).
void preparePumpSide(PumpSide& side);

// One read of at most `size` bytes. `wait` receives the readiness a retry must wait for.
platform::IoResult readPumpSide(PumpSide& side, uint8_t* data, size_t size, unsigned* wait);
// A side that streams reads ahead at kSslReadAhead from its next read buffer on.
void growReadAhead(PumpSide& side);
// Whether an SSL side holds bytes already read from its socket (a record or a part of one).
bool sslHoldsInput(const PumpSide& side);

// Writes `size` bytes. On an SSL side they are encrypted into the write buffer, which
// `flushPumpSide` then sends; kDone with all `size` bytes means the SSL object took them. A retry
// after kWouldBlock repeats the same data and size. `wait` receives the readiness a retry waits
// for.
platform::IoResult writePumpSide(PumpSide& side, const uint8_t* data, size_t size, unsigned* wait);
// Whether the write buffer still holds bytes the SSL object took.
bool writePending(const PumpSide& side);
// Sends what the write buffer holds: kDone once it is empty.
platform::IoResult flushPumpSide(PumpSide& side, unsigned* wait);

// Gives back what an idle SSL side holds only while data flows (its record buffers and the write
// buffer); nothing is lost, and the next read or write makes them again.
void releaseIdle(PumpSide& side);

// Takes the write buffer out before the SSL object is shut down and freed.
void finishPumpSide(PumpSide& side);

}  // namespace relay
