// The one log call and where its lines go.
//
// Every component reports through `log_event`, which filters by level, builds one line of at
// most 511 characters and hands it to every live sink: the one bound at `log_open` (the log
// window of the desktop program, the daemon's standard error, a collecting sink in tests) and any
// added beside it (the debug file). Lines logged before `log_open` or after `log_close` are
// dropped. OpenSSL's own output reaches the bound sink through the three log BIOs, or the debug
// file when one is named at `log_open`.
//
// Callable from any thread. Each line reaches its sink whole: sinks serialise `append`.
#pragma once

#include <openssl/bio.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

constexpr uint32_t LOG_SERIOUS = 1;
constexpr uint32_t LOG_ERROR = 2;
constexpr uint32_t LOG_WARNING = 4;
constexpr uint32_t LOG_INFO = 8;

// Writes one line; returns 0 when it was dropped, else the bound sink's position of the new line.
int log_event(uint32_t level, uint32_t code, const char* module, int line, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
// Non-zero when lines of this level may be written.
int log_level_enabled(uint32_t level);
// Drains the calling thread's OpenSSL error queue into the BIO, one line per error, each written
// whole in one BIO_write. Returns 1 after draining, 0 (queue untouched) when logging is off for
// the level or the BIO is null.
int log_openssl_errors(uint32_t level, BIO* bio);
// The text of one OpenSSL error code in `buffer` (at least 512 bytes); `func` is the function
// name recorded with the error, when known (OpenSSL 3 keeps no function number in the code).
// With "log.debug" off the short text "function:reason"; with it on the full text
// "err id:CODE:library:function:reason". Returns the buffer.
char* openssl_error_text(unsigned long code, char* buffer, const char* func = nullptr);
// The text of a socket error code (Winsock numbering), at most 255 characters. The text stays
// valid until the calling thread calls this again.
const char* socket_error_text(int code);

// The three log streams, named as callers pass them. The BIO behind each exists between
// `log_open` and `log_close` and is reached only through the calls below, under the log's own
// lock, so a thread that logs while another closes the log never touches a freed BIO.
enum LogStream { bio_log_out, bio_log_aux, bio_log_err };
// Drains the calling thread's OpenSSL error queue into the stream, as the BIO form below does.
// Returns 0 (queue untouched) when logging is off for the level or the log is not live.
int log_openssl_errors(uint32_t level, LogStream stream);
// Writes text to the stream (a line goes out at each newline); false when the log is not live.
bool log_stream_write(LogStream stream, std::string_view text);
// True while the three log streams exist.
bool log_streams_live();

namespace logging {

// The settings that the log call reads for every line. The settings store publishes them when it
// loads or changes; they may change while other threads log.
struct LogSwitches {
  std::atomic<uint32_t> nolog{0};     // "log.nolog"
  std::atomic<uint32_t> err{1};       // "log.err"
  std::atomic<uint32_t> warn{1};      // "log.warn"
  std::atomic<uint32_t> info{1};      // "log.info"
  std::atomic<uint32_t> detailed{0};  // "log.detailed"
  std::atomic<uint32_t> debug{0};     // "debug"
  std::atomic<uint32_t> logDebug{0};  // "log.debug"
  std::atomic<uint32_t> max{0};       // "log.max"
};
LogSwitches& logSwitches();

// One line on its way to a sink. A line from a log BIO has level, class, code and maxLines 0.
struct LogLine {
  uint32_t level = 0;     // LOG_SERIOUS ... LOG_INFO as the caller gave it
  uint32_t cls = 0;       // the class the line shows: 1 serious and errors, 2 warnings, 4 info
  uint32_t code = 0;      // the message code
  uint32_t maxLines = 0;  // "log.max" when the line was written (the log window trims to it)
  std::string_view text;  // no line end added; a message may carry its own
};

// Where lines end up. `append` receives complete lines and must be safe to call from many threads
// at once. It must not wait for the thread that calls log_close, removeLogSink or
// removeSinkHandle: those wait until no append to the sink is under way.
class LogSink {
 public:
  virtual ~LogSink() = default;
  // Returns the position of the new line (1-based), or 0 when it was not kept.
  virtual int append(const LogLine& line) = 0;
};

// Makes logging live: binds the sink and creates the three log BIOs. With a debug file named,
// the BIOs append OpenSSL output to that file instead of sending it to the sink, and
// "--new run---" is logged. Returns false when the BIOs cannot be created (logging stays off) or
// logging is already open.
bool log_open(LogSink* sink, const char* debugFile);
// Frees the three BIOs and lets go of every sink; nothing is logged after it. No sink is used on
// return.
void log_close();
// Further receivers of every log_event line while logging is live (the debug file beside the
// window list). Removing waits until no append to the sink is under way; log_close removes all.
void addLogSink(LogSink* sink);
void removeLogSink(LogSink* sink);

// The local date and time as a fixed 24-character text: weekday, month, day of month padded to
// two places, hours:minutes:seconds, four-digit year ("Wed Dec  9 15:01:59 2026").
std::string timeStampText();

// The log BIO type ("log", type 0x504). A BIO of this type sends each complete line to the sink
// whose handle was set with BIO_set_fd(bio, handle, 0).
const BIO_METHOD* bio_s_log();
// Handles for sinks, as kept in a log BIO's number field. A line sent to a handle that was
// removed is dropped.
int registerSinkHandle(LogSink* sink);
void removeSinkHandle(int handle);

}  // namespace logging
