#include "relay/data_pump.h"

#include <openssl/err.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <memory>
#include <new>
#include <optional>
#include <thread>

#include "config/address.h"
#include "config/settings.h"
#include "log/log.h"
#include "platform/net.h"
#include "platform/socket_errors.h"
#include "platform/splice_pipe.h"
#include "platform/threads.h"
#include "relay/observer_slot.h"
#include "relay/pump_side.h"
#include "relay/quiet_set.h"
#include "relay/relay_state.h"
#include "relay/ssl_context.h"

namespace relay {

namespace {

using Clock = std::chrono::steady_clock;
using platform::IoResult;
using platform::IoStatus;
using platform::kIoHangup;
using platform::kIoReadable;
using platform::kIoWritable;

constexpr int kFlushMillis = 1000;  // how long bytes already read may still take to leave
constexpr int kTimedOut = 10060;    // Winsock "Connection timed out."
constexpr int kNoBuffers = 10055;   // Winsock "No buffer space available."
constexpr int kReset = 10054;       // Winsock "Connection reset by peer."
constexpr int kBrokenPipe = 10058;  // a write to a side that had already gone
constexpr int kMaxPasses = 16;      // transfers per round before the idle clock is looked at
constexpr size_t kPipeBytes = 1024 * 1024;  // a plain-to-plain direction moves this much per call

static_assert(kPumpBufferSize + 16 * 64 <= kSslWriteRoom,
              "the records of one block must fit the SSL write buffer");

enum class Step { kProgress, kBlocked, kEnd };

// One direction: bytes read from `from` wait (in `buffer`, or in `pipe` when both sides are plain)
// until all are written to `to`.
struct Flow {
  PumpSide* from = nullptr;
  PumpSide* to = nullptr;
  FlowBlocks::Block buffer;   // taken when data flows, given back when idle
  bool streaming = false;     // a read filled the buffer: blocks go large until idle
  platform::SplicePipe pipe;  // the same for a plain-to-plain direction
  bool canSplice = false;     // both sides plain and the sockets take splice
  bool inPipe = false;        // the bytes held are in the pipe
  size_t length = 0;          // bytes held
  size_t offset = 0;          // bytes of them already written
  unsigned readWait = 0;      // readiness of from->fd the next read waits for; 0: try now
  unsigned writeWait = 0;     // readiness of to->fd the next write waits for; 0: try now
  bool fromClient = false;
  bool done = false;      // `from` ended and the end was passed on to `to`
  bool hasStash = false;  // an SSL read after some bytes ended or failed: `stash` is next
  IoResult stash;
};

struct PumpState {
  const config::Settings* settings = nullptr;
  RelayState* relay = nullptr;
  PumpSide client;
  PumpSide dest;
  Flow up;    // client to destination
  Flow down;  // destination to client
  bool ended = false;
  int endError = 0;  // Winsock code of what ended the relay; 0 for a clean end
  // The side that was reset (or took no more of what was sent to it): the other side is reset
  // too, so that a transfer cut short never looks complete there.
  PumpSide* resetBy = nullptr;
  Clock::time_point lastActivity = Clock::now();
  // The relay's quiet set takes the connection while it is quiet; false once it refused.
  bool mayPark = false;
  platform::IoWait quietWaits[2];  // what a parked connection waits for
};

void endRelay(PumpState& s, int error) {
  if (s.ended) return;
  s.ended = true;
  s.endError = error;
}

// A side failed with `error`; a reset (or a write that found the side gone) is passed on.
void sideFailed(PumpState& s, PumpSide* side, int error) {
  if (!s.ended && (error == kReset || error == kBrokenPipe)) s.resetBy = side;
  endRelay(s, error);
}

uint16_t hostOrder(uint16_t port) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<uint16_t>((port >> 8) | (port << 8));
  }
  return port;
}

void countBytes(const PumpState& s, const Flow& flow, size_t bytes) {
  s.relay->stats.countRelayedBytes(*s.settings, flow.fromClient, bytes);
}

// A side that ended its sending has its end passed on; the other direction goes on until it
// ends as well, so an answer to a half-closed request is not lost. Nothing is held in the
// buffer here: a direction reads only when its buffer is empty.
void passEndOn(PumpState& s, Flow& f) {
  f.done = true;
  PumpSide& to = *f.to;
  if (to.ssl != nullptr && !to.fatal && !to.shutDown) {
    to.shutDown = true;
    // The context's quiet shutdown would send nothing and mark the side as ended both ways; the
    // peer must see the end (close_notify) while the answer still comes back.
    SSL_set_quiet_shutdown(to.ssl, 0);
    SSL_shutdown(to.ssl);
  }
  platform::shutdownWrite(to.fd);
  if (s.up.done && s.down.done) endRelay(s, 0);
}

// What a read that moved no bytes means for the direction and the relay.
Step readEnded(PumpState& s, Flow& f, const IoResult& r, unsigned wait) {
  switch (r.status) {
    case IoStatus::kWouldBlock:
      f.readWait = wait;
      return Step::kBlocked;
    case IoStatus::kEndOfFile:
      passEndOn(s, f);
      return Step::kEnd;
    case IoStatus::kDone:
    case IoStatus::kFailed:
      break;
  }
  sideFailed(s, f.from, r.error);
  return Step::kEnd;
}

void blockRead(PumpState& s, Flow& f, size_t bytes) {
  f.length = bytes;
  f.offset = 0;
  s.lastActivity = Clock::now();
}

// A plain-to-plain block through the pipe. False when this block must be copied instead (no pipe
// can be made now, or the sockets cannot be spliced).
bool spliceRead(PumpState& s, Flow& f, Step* step) {
  if (!f.pipe.isOpen() && f.pipe.open(kPipeBytes) != 0) return false;
  const IoResult r = f.pipe.fill(f.from->fd, f.pipe.capacity());
  if (r.unsupported) {
    f.canSplice = false;
    f.pipe.close();
    return false;
  }
  if (r.status != IoStatus::kDone) {
    *step = readEnded(s, f, r, kIoReadable);
    return true;
  }
  blockRead(s, f, r.bytes);
  f.inPipe = true;
  // A socket that gave less than the pipe holds is drained: poll before the next splice.
  if (r.bytes < f.pipe.capacity()) f.readWait = kIoReadable;
  *step = Step::kProgress;
  return true;
}

// Reads what an SSL side already holds into the rest of the block, so that its records leave
// together. An end or failure after some bytes waits in the stash for the next read.
size_t readHeldRecords(Flow& f, size_t got) {
  while (got < f.buffer.size() && sslHoldsInput(*f.from)) {
    unsigned wait = 0;
    const IoResult r = readPumpSide(*f.from, f.buffer.get() + got, f.buffer.size() - got, &wait);
    if (r.status == IoStatus::kDone) {
      got += r.bytes;
      continue;
    }
    if (r.status == IoStatus::kWouldBlock) {
      f.readWait = wait;
    } else {
      f.stash = r;
      f.hasStash = true;
    }
    return got;
  }
  // All the SSL object had is taken: the next record has to come from the socket.
  if (got < f.buffer.size() && !f.hasStash) f.readWait = kIoReadable;
  return got;
}

// The block buffer for the next read: small for the first blocks, large once the direction
// streams. False when no memory is left.
bool readyBuffer(PumpState& s, Flow& f) {
  const size_t wanted = f.streaming ? kPumpBufferSize : kFirstBlockSize;
  if (f.buffer && f.buffer.size() >= wanted) return true;
  f.buffer.reset();  // first, so that a first block given back may serve another connection
  f.buffer = s.relay->flowBlocks.take(wanted);
  return static_cast<bool>(f.buffer);
}

// A full block means more is coming: the direction streams from the next block on.
void noteFullBlock(Flow& f, size_t got) {
  if (got < f.buffer.size() || f.streaming) return;
  f.streaming = true;
  growReadAhead(*f.from);
}

Step readStep(PumpState& s, Flow& f) {
  if (f.hasStash) {
    f.hasStash = false;
    return readEnded(s, f, f.stash, 0);
  }
  const bool viewing = s.relay->observer.chunksWanted();
  // With the buffer view on, every block passes through the buffer to be handed over. A pipe is
  // made only for a direction that streams: a request or an answer that fits the first block
  // costs two calls through the buffer, where a pipe would cost six more to make and close.
  if (f.canSplice && f.streaming && !viewing) {
    Step step = Step::kBlocked;
    if (spliceRead(s, f, &step)) return step;
  }
  if (!readyBuffer(s, f)) {
    endRelay(s, kNoBuffers);
    return Step::kEnd;
  }
  unsigned wait = 0;
  const IoResult r = readPumpSide(*f.from, f.buffer.get(), f.buffer.size(), &wait);
  if (r.status != IoStatus::kDone) return readEnded(s, f, r, wait);
  size_t got = r.bytes;
  if (f.from->ssl == nullptr) {
    // A plain socket that gave less than asked for is drained: poll before the next recv.
    if (got < f.buffer.size()) f.readWait = kIoReadable;
  } else if (!viewing) {
    got = readHeldRecords(f, got);
  }
  noteFullBlock(f, got);
  blockRead(s, f, got);
  if (viewing) {
    if (ObserverCall view(s.relay->observer, ObserverCall::Which::kChunks); view) {
      view->relayedChunk(f.buffer.get(), got, f.fromClient);
    }
  }
  return Step::kProgress;
}

// Writes what is held; an SSL side's records are then sent from its write buffer.
Step writeStep(PumpState& s, Flow& f) {
  if (f.offset < f.length) {
    unsigned wait = 0;
    const size_t left = f.length - f.offset;
    const IoResult r = f.inPipe ? f.pipe.drain(f.to->fd, left)
                                : writePumpSide(*f.to, f.buffer.get() + f.offset, left, &wait);
    if (r.status == IoStatus::kWouldBlock) {
      f.writeWait = f.inPipe ? kIoWritable : wait;
      return Step::kBlocked;
    }
    if (r.status != IoStatus::kDone) {
      f.to->broken = true;
      sideFailed(s, f.to, r.error);
      return Step::kEnd;
    }
    f.offset += r.bytes;
    s.lastActivity = Clock::now();
    if (f.offset < f.length) {
      f.writeWait = kIoWritable;  // the socket took what fitted
      return Step::kProgress;
    }
  }
  if (writePending(*f.to)) {
    unsigned wait = 0;
    const IoResult r = flushPumpSide(*f.to, &wait);
    if (r.status == IoStatus::kWouldBlock) {
      f.writeWait = wait;
      return Step::kProgress;
    }
    if (r.status != IoStatus::kDone) {
      f.to->broken = true;
      sideFailed(s, f.to, r.error);
      return Step::kEnd;
    }
  }
  countBytes(s, f, f.length);
  f.length = f.offset = 0;
  f.inPipe = false;
  return Step::kProgress;
}

// One transfer in a direction: write what is held, else read the next block.
Step stepFlow(PumpState& s, Flow& f) {
  if (f.done) return Step::kBlocked;
  if (f.length > 0) return f.writeWait != 0 ? Step::kBlocked : writeStep(s, f);
  return f.readWait != 0 ? Step::kBlocked : readStep(s, f);
}

// The descriptor and readiness a direction waits for, or 0 when it can go on at once.
unsigned flowWants(const Flow& f, int* fd) {
  if (f.length > 0) {
    *fd = f.to->fd;
    return f.writeWait;
  }
  *fd = f.from->fd;
  return f.readWait;
}

// Bytes an SSL object already holds never wait for the socket: the socket may stay silent.
void releaseBufferedReads(Flow& f) {
  if (f.length == 0 && f.readWait != 0 && sslHoldsInput(*f.from)) f.readWait = 0;
}

void markReady(Flow& f, const platform::IoWait (&waits)[2]) {
  if (f.done) return;
  int fd = -1;
  const unsigned want = flowWants(f, &fd);
  for (const platform::IoWait& w : waits) {
    if (w.fd != fd || (w.ready & (want | kIoHangup)) == 0) continue;
    (f.length > 0 ? f.writeWait : f.readWait) = 0;
  }
}

int idleMillisLeft(const PumpState& s, uint32_t idleSeconds) {
  if (idleSeconds == 0) return -1;
  const auto spent =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - s.lastActivity);
  const int64_t left = int64_t{idleSeconds} * 1000 - spent.count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Whether a quiet connection still holds memory (or pipes) that only data in flight needs.
bool holdsFlowMemory(const PumpState& s) {
  for (const Flow* f : {&s.up, &s.down}) {
    if (f->length == 0 && (f->buffer || f->pipe.isOpen())) return true;
  }
  return s.client.flowBuffers || s.dest.flowBuffers;
}

// A quiet connection gives back its buffers and pipes; the next bytes make them again.
void releaseFlowMemory(PumpState& s) {
  for (Flow* f : {&s.up, &s.down}) {
    if (f->length != 0) continue;
    f->buffer.reset();
    f->streaming = false;
    f->pipe.close();
  }
  releaseIdle(s.client);
  releaseIdle(s.dest);
  platform::releaseUnusedStack();
  if (s.relay->returnFreeMemory) s.relay->returnFreeMemory();
}

enum class Round { kGoOn, kEnded, kQuiet };

// Waits until a direction can move (or the idle time ends the relay). kQuiet: nothing moved for
// the release time and the connection may be parked; `quietWaits` says what it waits for.
Round waitRound(PumpState& s, const PumpReport& report) {
  if (const uint32_t pause = s.settings->tcpLoopsleep; pause != 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
  }
  releaseBufferedReads(s.up);
  releaseBufferedReads(s.down);
  platform::IoWait waits[2];
  waits[0].fd = s.client.fd;
  waits[1].fd = s.dest.fd;
  bool runnable = false;
  for (const Flow* f : {&s.up, &s.down}) {
    if (f->done) continue;
    int fd = -1;
    const unsigned want = flowWants(*f, &fd);
    runnable = runnable || want == 0;
    (fd == s.client.fd ? waits[0] : waits[1]).want |= want;
  }
  if (runnable && waits[0].want == 0 && waits[1].want == 0) return Round::kGoOn;
  for (;;) {
    const int idleLeft = idleMillisLeft(s, report.idleSeconds);
    if (!runnable && idleLeft == 0) {
      endRelay(s, kTimedOut);
      return Round::kEnded;
    }
    int timeout = runnable ? 0 : idleLeft;
    const bool release = !runnable && holdsFlowMemory(s);
    const bool watchQuiet = !runnable && (release || s.mayPark);
    const int quietMillis = static_cast<int>(s.relay->quietTime.count());
    if (watchQuiet && (timeout < 0 || timeout > quietMillis)) timeout = quietMillis;
    const int n = platform::waitForIo(waits, 2, timeout);
    if (n < 0) {
      endRelay(s, -n);
      return Round::kEnded;
    }
    if (n > 0 || !watchQuiet) break;
    if (release) releaseFlowMemory(s);
    if (s.mayPark && idleMillisLeft(s, report.idleSeconds) != 0) {
      for (int i = 0; i < 2; ++i) s.quietWaits[i] = waits[i];
      return Round::kQuiet;
    }
  }
  markReady(s.up, waits);
  markReady(s.down, waits);
  return Round::kGoOn;
}

// Relays until the connection ends, or goes quiet where it may be parked.
Round relayLoop(PumpState& s, const PumpReport& report) {
  while (!s.ended) {
    for (int pass = 0; pass < kMaxPasses && !s.ended; ++pass) {
      const Step up = stepFlow(s, s.up);
      if (s.ended) break;
      const Step down = stepFlow(s, s.down);
      if (up != Step::kProgress && down != Step::kProgress) break;
    }
    if (s.ended) break;
    if (const Round round = waitRound(s, report); round != Round::kGoOn) return round;
  }
  return Round::kEnded;
}

// Bytes already read still go to a side that can take them, for a short while.
void flushHeld(PumpState& s) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kFlushMillis);
  for (Flow* f : {&s.up, &s.down}) {
    while (f->length > 0 && !f->to->broken && !f->to->fatal) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return;
      if (f->writeWait != 0) {
        platform::IoWait w;
        w.fd = f->to->fd;
        w.want = f->writeWait;
        if (platform::waitForIo(&w, 1, static_cast<int>(left)) <= 0) return;
        f->writeWait = 0;
      }
      writeStep(s, *f);
    }
  }
}

void prepareSide(PumpSide& side, PumpEnd& end) {
  side.fd = end.fd.get();
  side.ssl = end.ssl.get();
  preparePumpSide(side);
}

// One SSL_shutdown: on the non-blocking socket it never waits. Not after a fatal SSL error.
void closeSsl(PumpSide& side, PumpEnd& end) {
  finishPumpSide(side);
  if (end.ssl && !side.fatal) rememberDestSession(end.ssl.get());
  if (end.ssl && !side.fatal && !side.shutDown) SSL_shutdown(end.ssl.get());
  end.ssl.reset();
}

// Each descriptor is closed once, by its owner. Its number is never probed afterwards: another
// connection may already have been given the same number.
// A side that is reset in turn is closed at once (SO_LINGER 0): a shutdown first would show its
// peer a clean end before the reset. After a clean end both ways each side has already sent its
// end and been given ours, and a shutdown would change nothing (it fails, as the socket is no
// longer connected).
void closeSocket(PumpEnd& end, bool shutDown) {
  if (shutDown) platform::shutdownBoth(end.fd.get());
  end.fd.reset();
}

}  // namespace

void logDisconnect(const config::Settings& settings, const PumpReport& report, int error) {
  const bool frontEnd = report.frontEndStyle;
  if (!frontEnd && settings.verbose == 0) return;
  const char separator = frontEnd ? ':' : '.';
  const platform::EndpointText client =
      platform::endpointText(report.clientAddress, hostOrder(report.clientPort), separator);
  const platform::EndpointText dest =
      platform::endpointText(report.destAddress, hostOrder(report.destPort), separator);
  if (frontEnd) {
    log_event(LOG_ERROR, 0x6001, "proxy", __LINE__, "Disconnect %s from %s : %s", client.text,
              dest.text, socket_error_text(error));
  } else {
    log_event(LOG_INFO, 0x6052, "proxy", __LINE__, "Disconnect %s from %s: %s", client.text,
              dest.text, socket_error_text(error));
  }
}

// One relayed connection from its first byte to its close, whichever threads it runs on. Made
// on the heap, so that the sides' pointers into the ends stay valid while it is parked.
struct Pump {
  PumpEnd clientEnd;
  PumpEnd destEnd;
  PumpReport report;
  PumpState s;
};

namespace {

// Closes both sides and reports the end: the disconnect line, the statistics, the count (with
// the report's owner). `atOnce` (a parked connection ended by the relay): bytes already read
// get no second to leave, and the close does not linger until the peer has the end; the
// system still sends what the sockets hold. Thousands of parked connections end on one thread.
void finishPump(std::unique_ptr<Pump> pump, bool atOnce) {
  PumpState& s = pump->s;
  if (atOnce) {
    platform::setLingerOff(s.client.fd);
    platform::setLingerOff(s.dest.fd);
  } else {
    flushHeld(s);
  }
  s.relay->stats.countConnection(*s.settings, false);
  logDisconnect(*s.settings, pump->report, s.endError);
  // The side facing a reset is reset in turn: no close_notify on an SSL side, an RST on the socket.
  for (PumpSide* side : {&s.client, &s.dest}) {
    if (s.resetBy == nullptr || side == s.resetBy) continue;
    side->fatal = true;
    platform::setLinger(side->fd, 0);
  }
  closeSsl(s.client, pump->clientEnd);
  closeSsl(s.dest, pump->destEnd);
  const bool reset = s.resetBy != nullptr;
  const bool bothEnded = s.up.done && s.down.done;
  closeSocket(pump->destEnd, !bothEnded && !(reset && s.resetBy != &s.dest));
  closeSocket(pump->clientEnd, !bothEnded && !(reset && s.resetBy != &s.client));
  ERR_clear_error();
}

std::optional<QuietSet::Clock::time_point> idleDeadline(const PumpState& s, uint32_t seconds) {
  if (seconds == 0) return std::nullopt;
  return s.lastActivity + std::chrono::seconds(seconds);
}

// Relays on the calling thread until the connection ends or is parked.
void runPump(std::unique_ptr<Pump> pump) {
  PumpState& s = pump->s;
  while (relayLoop(s, pump->report) == Round::kQuiet) {
    const auto deadline = idleDeadline(s, pump->report.idleSeconds);
    switch (s.relay->quietSet->park(pump.get(), s.quietWaits, deadline)) {
      case QuietSet::Park::kTaken:
        pump.release();  // the set owns it now, and another thread may already run it
        return;
      case QuietSet::Park::kStopped:
        // The relay is shutting down: a connection that went quiet just before ends with the
        // parked ones, instead of holding its thread beyond the shutdown.
        endParkedPump(pump.release(), false);
        return;
      case QuietSet::Park::kKept:
        s.mayPark = false;  // the set cannot wait on these sockets: stay here
        break;
    }
  }
  finishPump(std::move(pump), false);
}

}  // namespace

void dataPump(PumpEnd client, PumpEnd dest, const PumpReport& report) {
  auto pump = std::unique_ptr<Pump>(new Pump{std::move(client), std::move(dest), report, {}});
  PumpState& s = pump->s;
  s.settings = report.settings;
  s.relay = report.state;
  s.relay->stats.countConnection(*s.settings, true);
  prepareSide(s.client, pump->clientEnd);
  prepareSide(s.dest, pump->destEnd);
  s.client.verbose = s.dest.verbose = s.settings->verbose != 0;
  s.up.from = s.down.to = &s.client;
  s.up.to = s.down.from = &s.dest;
  s.up.fromClient = true;
  s.up.canSplice = s.down.canSplice = s.client.ssl == nullptr && s.dest.ssl == nullptr;
  // The destination has only just been reached and has rarely sent anything yet: its first read
  // waits for the first look at both sockets, which the client's request needs anyway.
  s.down.readWait = kIoReadable;
  s.mayPark = s.relay->quietSet != nullptr;
  runPump(std::move(pump));
}

void resumePump(void* arg) {
  std::unique_ptr<Pump> pump(static_cast<Pump*>(arg));
  // Whatever woke it, every direction looks again; one that cannot move waits as before.
  for (Flow* f : {&pump->s.up, &pump->s.down}) f->readWait = f->writeWait = 0;
  runPump(std::move(pump));
}

void endParkedPump(Pump* raw, bool couldNotResume) {
  std::unique_ptr<Pump> pump(raw);
  if (couldNotResume) {
    const PumpReport& r = pump->report;
    log_event(LOG_SERIOUS, 0x6059, "proxy", __LINE__, "Couldn't add I/O work item for %s:%d",
              platform::endpointText(r.clientAddress, hostOrder(r.clientPort), '.').text,
              hostOrder(r.localPort));
  }
  endRelay(pump->s, couldNotResume ? kNoBuffers : 0);
  finishPump(std::move(pump), true);
}

}  // namespace relay
