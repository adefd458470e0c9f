#include "relay/data_pump.h"

#include <openssl/err.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "config/address.h"
#include "config/settings.h"
#include "log/log.h"
#include "platform/net.h"
#include "platform/socket_errors.h"
#include "relay/connect_info.h"
#include "relay/observer.h"

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
constexpr int kMaxPasses = 16;      // transfers per round before the idle clock is looked at

struct Side {
  int fd = -1;
  SSL* ssl = nullptr;     // null for a plain side
  bool fatal = false;     // an SSL error happened: no SSL_shutdown any more
  bool broken = false;    // writing here failed: nothing more is sent
  bool shutDown = false;  // SSL_shutdown was called (once is all it may get)
  bool verbose = false;   // "verbose": failed SSL calls dump their errors
};

enum class Step { kProgress, kBlocked, kEnd };

// One direction: bytes read from `from` wait in `buffer` until all are written to `to`.
struct Flow {
  Side* from = nullptr;
  Side* to = nullptr;
  uint8_t* buffer = nullptr;
  size_t length = 0;       // bytes held
  size_t offset = 0;       // bytes of them already written
  unsigned readWait = 0;   // readiness of from->fd the next read waits for; 0: try now
  unsigned writeWait = 0;  // readiness of to->fd the next write waits for; 0: try now
  bool fromClient = false;
  bool done = false;  // `from` ended and the end was passed on to `to`
};

struct PumpState {
  config::SettingsSnapshot settings;
  Side client;
  Side dest;
  Flow up;    // client to destination
  Flow down;  // destination to client
  bool ended = false;
  int endError = 0;  // Winsock code of what ended the relay; 0 for a clean end
  Clock::time_point lastActivity = Clock::now();
};

void endRelay(PumpState& s, int error) {
  if (s.ended) return;
  s.ended = true;
  s.endError = error;
}

uint16_t hostOrder(uint16_t port) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<uint16_t>((port >> 8) | (port << 8));
  }
  return port;
}

// Maps the outcome of SSL_read or SSL_write (n, with errno latched at err) to an I/O result.
// `wait` receives the readiness a retry must wait for.
IoResult sslOutcome(Side& side, int n, int err, unsigned* wait) {
  IoResult result;
  if (n > 0) {
    result.status = IoStatus::kDone;
    result.bytes = static_cast<size_t>(n);
    return result;
  }
  switch (SSL_get_error(side.ssl, n)) {
    case SSL_ERROR_WANT_READ:
      result.status = IoStatus::kWouldBlock;
      *wait = kIoReadable;
      return result;
    case SSL_ERROR_WANT_WRITE:
      result.status = IoStatus::kWouldBlock;
      *wait = kIoWritable;
      return result;
    case SSL_ERROR_ZERO_RETURN:
      result.status = IoStatus::kEndOfFile;
      return result;
    case SSL_ERROR_SYSCALL:
      side.fatal = true;
      result.status = err == 0 ? IoStatus::kEndOfFile : IoStatus::kFailed;
      result.error = platform::wsaErrorFromErrno(err);
      return result;
    default:
      side.fatal = true;
      // A peer that closes without close_notify simply ended; anything else is worth a look.
      if (ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        result.status = IoStatus::kEndOfFile;
        return result;
      }
      if (side.verbose) log_openssl_errors(LOG_ERROR, bio_log_err);
      result.status = IoStatus::kFailed;
      return result;
  }
}

IoResult readSide(Side& side, uint8_t* data, size_t size, unsigned* wait) {
  if (side.ssl == nullptr) {
    *wait = kIoReadable;
    return platform::receiveNow(side.fd, data, size);
  }
  ERR_clear_error();
  errno = 0;
  const int n = SSL_read(side.ssl, data, static_cast<int>(size));
  const int err = errno;  // SSL_get_error and logging may clobber it
  return sslOutcome(side, n, err, wait);
}

IoResult writeSide(Side& side, const uint8_t* data, size_t size, unsigned* wait) {
  if (side.ssl == nullptr) {
    *wait = kIoWritable;
    return platform::sendNow(side.fd, data, size);
  }
  ERR_clear_error();
  errno = 0;
  // A retry after WANT_* repeats the same pointer and length: the offset moves only on success.
  const int n = SSL_write(side.ssl, data, static_cast<int>(size));
  const int err = errno;  // SSL_get_error and logging may clobber it
  return sslOutcome(side, n, err, wait);
}

void countBytes(const PumpState& s, const Flow& flow, size_t bytes) {
  countRelayedBytes(*s.settings, flow.fromClient, bytes);
}

// A side that ended its sending has its end passed on; the other direction goes on until it
// ends as well, so an answer to a half-closed request is not lost. Nothing is held in the
// buffer here: a direction reads only when its buffer is empty.
void passEndOn(PumpState& s, Flow& f) {
  f.done = true;
  Side& to = *f.to;
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

Step readStep(PumpState& s, Flow& f) {
  unsigned wait = 0;
  const IoResult r = readSide(*f.from, f.buffer, kPumpBufferSize, &wait);
  switch (r.status) {
    case IoStatus::kDone:
      f.length = r.bytes;
      f.offset = 0;
      s.lastActivity = Clock::now();
      // A plain socket that gave less than asked for is drained: poll before the next recv.
      if (f.from->ssl == nullptr && r.bytes < kPumpBufferSize) f.readWait = kIoReadable;
      if (chunksWanted()) {
        if (ObserverCall view(ObserverCall::Which::kChunks); view) {
          view->relayedChunk(f.buffer, r.bytes, f.fromClient);
        }
      }
      return Step::kProgress;
    case IoStatus::kWouldBlock:
      f.readWait = wait;
      return Step::kBlocked;
    case IoStatus::kEndOfFile:
      passEndOn(s, f);
      return Step::kEnd;
    case IoStatus::kFailed:
      break;
  }
  endRelay(s, r.error);
  return Step::kEnd;
}

Step writeStep(PumpState& s, Flow& f) {
  unsigned wait = 0;
  const IoResult r = writeSide(*f.to, f.buffer + f.offset, f.length - f.offset, &wait);
  if (r.status == IoStatus::kDone) {
    f.offset += r.bytes;
    s.lastActivity = Clock::now();
    if (f.offset == f.length) {
      countBytes(s, f, f.length);
      f.length = f.offset = 0;
    } else {
      f.writeWait = kIoWritable;  // the socket took what fitted
    }
    return Step::kProgress;
  }
  if (r.status == IoStatus::kWouldBlock) {
    f.writeWait = wait;
    return Step::kBlocked;
  }
  f.to->broken = true;
  endRelay(s, r.error);
  return Step::kEnd;
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
  if (f.length == 0 && f.readWait != 0 && f.from->ssl != nullptr && SSL_has_pending(f.from->ssl)) {
    f.readWait = 0;
  }
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

// Waits until a direction can move (or the idle time ends the relay). False when the relay ends.
bool waitRound(PumpState& s, const PumpReport& report) {
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
  if (runnable && waits[0].want == 0 && waits[1].want == 0) return true;
  const int idleLeft = idleMillisLeft(s, report.idleSeconds);
  if (!runnable && idleLeft == 0) {
    endRelay(s, kTimedOut);
    return false;
  }
  const int n = platform::waitForIo(waits, 2, runnable ? 0 : idleLeft);
  if (n < 0) {
    endRelay(s, -n);
    return false;
  }
  markReady(s.up, waits);
  markReady(s.down, waits);
  return true;
}

void relayLoop(PumpState& s, const PumpReport& report) {
  while (!s.ended) {
    for (int pass = 0; pass < kMaxPasses && !s.ended; ++pass) {
      const Step up = stepFlow(s, s.up);
      if (s.ended) break;
      const Step down = stepFlow(s, s.down);
      if (up != Step::kProgress && down != Step::kProgress) break;
    }
    if (s.ended || !waitRound(s, report)) break;
  }
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

void prepareSide(Side& side, PumpEnd& end) {
  side.fd = end.fd.get();
  side.ssl = end.ssl.get();
  platform::setNonBlocking(side.fd);
  if (side.ssl != nullptr) {
    // The descriptor is closed by its UniqueFd alone.
    if (BIO* rbio = SSL_get_rbio(side.ssl)) BIO_set_close(rbio, BIO_NOCLOSE);
    if (BIO* wbio = SSL_get_wbio(side.ssl)) BIO_set_close(wbio, BIO_NOCLOSE);
  }
}

// One SSL_shutdown: on the non-blocking socket it never waits. Not after a fatal SSL error.
void closeSsl(Side& side, PumpEnd& end) {
  if (end.ssl && !side.fatal) rememberDestSession(end.ssl.get());
  if (end.ssl && !side.fatal && !side.shutDown) SSL_shutdown(end.ssl.get());
  end.ssl.reset();
}

// Each descriptor is closed once, by its owner. Its number is never probed afterwards: another
// connection may already have been given the same number.
void closeSocket(PumpEnd& end) {
  platform::shutdownBoth(end.fd.get());
  end.fd.reset();
}

}  // namespace

void logDisconnect(const config::Settings& settings, const PumpReport& report, int error) {
  const bool frontEnd = report.frontEndStyle;
  if (!frontEnd && settings.verbose == 0) return;
  char client[16];
  char dest[16];
  config::formatAddress(report.clientAddress, client);
  config::formatAddress(report.destAddress, dest);
  const int clientPort = hostOrder(report.clientPort);
  const int destPort = hostOrder(report.destPort);
  if (frontEnd) {
    log_event(LOG_ERROR, 0x6001, "proxy", __LINE__, "Disconnect %s:%d from %s:%d : %s", client,
              clientPort, dest, destPort, socket_error_text(error));
  } else {
    log_event(LOG_INFO, 0x6052, "proxy", __LINE__, "Disconnect %s.%d from %s.%d: %s", client,
              clientPort, dest, destPort, socket_error_text(error));
  }
}

void dataPump(PumpEnd client, PumpEnd dest, const PumpReport& report) {
  static std::once_flag sigpipeOnce;
  // SSL objects write with write(2), which MSG_NOSIGNAL cannot reach.
  std::call_once(sigpipeOnce, platform::ignoreSigpipe);

  PumpState s;
  s.settings = report.settings != nullptr ? report.settings : config::runningSettings();
  countConnection(*s.settings, true);
  auto buffers = std::make_unique_for_overwrite<uint8_t[]>(2 * kPumpBufferSize);
  prepareSide(s.client, client);
  prepareSide(s.dest, dest);
  s.client.verbose = s.dest.verbose = s.settings->verbose != 0;
  s.up = Flow{&s.client, &s.dest, buffers.get()};
  s.up.fromClient = true;
  s.down = Flow{&s.dest, &s.client, buffers.get() + kPumpBufferSize};

  relayLoop(s, report);
  flushHeld(s);

  countConnection(*s.settings, false);
  logDisconnect(*s.settings, report, s.endError);
  closeSsl(s.client, client);
  closeSsl(s.dest, dest);
  closeSocket(dest);
  closeSocket(client);
  ERR_clear_error();
}

}  // namespace relay
