#include "log/log.h"

#include <openssl/bio.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "log/log_state.h"
#include "log/openssl_ptr.h"

namespace logging {
namespace {

constexpr size_t kLineBuffer = 512;  // a line holds at most 511 characters and its NUL

// What log_open binds. Writers hold `mutex` shared while they use the sink or the BIOs, so
// log_close (exclusive) never frees them under a writer.
struct LiveState {
  std::shared_mutex mutex;  // guards every field below
  bool live = false;
  BIO* bios[3] = {};                 // bio_log_out, bio_log_aux, bio_log_err
  LogSink* sink = nullptr;           // bound at log_open; also the log BIOs' receiver
  std::vector<LogSink*> extraSinks;  // added beside it
  int handle = 0;                    // the sink's handle in the log BIOs, 0 in debug-file mode
  // Cleared first by log_close, so that new writers stop queueing for `mutex` and the
  // exclusive lock only waits for those already inside (the lock prefers readers).
  std::atomic<bool> open{false};
};

LiveState& liveState() {
  static LiveState state;
  return state;
}

uint32_t levelClass(uint32_t level) {
  switch (level) {
    case LOG_WARNING:
      return 2;
    case LOG_INFO:
      return 4;
    default:  // LOG_SERIOUS, LOG_ERROR and anything unknown
      return 1;
  }
}

// Adds what snprintf reported to the length, never past the last usable byte.
void advance(size_t& len, int written) {
  if (written > 0) len = std::min(len + static_cast<size_t>(written), kLineBuffer - 1);
}

bool makeBios(LogSink* sink, const char* debugFile, BioPtr (&bios)[3], int& handle) {
  const bool toFile = debugFile != nullptr && *debugFile != '\0';
  if (!toFile && bio_s_log() == nullptr) return false;
  handle = toFile ? 0 : registerSinkHandle(sink);
  for (BioPtr& bio : bios) {
    bio.reset(toFile ? BIO_new_file(debugFile, "a") : BIO_new(bio_s_log()));
    if (!bio) return false;
    if (!toFile) BIO_set_fd(bio.get(), handle, 0);
  }
  return true;
}

}  // namespace

namespace detail {

LiveBio liveBio(int stream) {
  LiveState& state = liveState();
  LiveBio held{std::shared_lock<std::shared_mutex>(state.mutex), nullptr};
  if (state.live && stream >= 0 && stream < 3) held.bio = state.bios[stream];
  return held;
}

}  // namespace detail

LogSwitches& logSwitches() {
  static LogSwitches switches;
  return switches;
}

bool log_open(LogSink* sink, const char* debugFile) {
  BioPtr bios[3];
  int handle = 0;
  const bool made = makeBios(sink, debugFile, bios, handle);
  LiveState& state = liveState();
  bool taken = false;
  {
    std::unique_lock lock(state.mutex);
    if (made && !state.live) {
      for (int i = 0; i < 3; ++i) state.bios[i] = bios[i].release();
      state.sink = sink;
      state.handle = handle;
      state.live = true;
      state.open.store(true);
      taken = true;
    }
  }
  if (!taken) {  // creation failed or logging was already open
    removeSinkHandle(handle);
    return false;
  }
  if (debugFile != nullptr && *debugFile != '\0') {
    log_event(LOG_INFO, 0x6001, "driver", __LINE__, "--new run---");
  }
  return true;
}

void log_close() {
  LiveState& state = liveState();
  BioPtr bios[3];
  int handle = 0;
  state.open.store(false);
  {
    std::unique_lock lock(state.mutex);
    if (!state.live) return;
    for (int i = 0; i < 3; ++i) {
      bios[i].reset(state.bios[i]);
      state.bios[i] = nullptr;
    }
    handle = state.handle;
    state.sink = nullptr;
    state.extraSinks.clear();
    state.handle = 0;
    state.live = false;
    state.open.store(false);
  }
  removeSinkHandle(handle);
}

void addLogSink(LogSink* sink) {
  if (sink == nullptr) return;
  LiveState& state = liveState();
  std::unique_lock lock(state.mutex);
  if (state.live) state.extraSinks.push_back(sink);
}

void removeLogSink(LogSink* sink) {
  LiveState& state = liveState();
  std::unique_lock lock(state.mutex);
  std::erase(state.extraSinks, sink);
}

}  // namespace logging

int log_openssl_errors(uint32_t level, LogStream stream) {
  const logging::detail::LiveBio held = logging::detail::liveBio(stream);
  return log_openssl_errors(level, held.bio);
}

bool log_stream_write(LogStream stream, std::string_view text) {
  const logging::detail::LiveBio held = logging::detail::liveBio(stream);
  if (held.bio == nullptr) return false;
  BIO_write(held.bio, text.data(), static_cast<int>(text.size()));
  (void)BIO_flush(held.bio);
  return true;
}

bool log_streams_live() { return logging::detail::liveBio(bio_log_out).bio != nullptr; }

int log_level_enabled(uint32_t level) {
  // log.warn and log.info are kept with the settings but do not silence their levels: only
  // serious lines can be switched off, through log.err.
  if (level == LOG_SERIOUS) return logging::logSwitches().err.load() != 0 ? 1 : 0;
  return 1;
}

int log_event(uint32_t level, uint32_t code, const char* module, int line, const char* format,
              ...) {
  logging::LogSwitches& s = logging::logSwitches();
  if (s.nolog.load() != 0 || format == nullptr || !log_level_enabled(level)) return 0;

  logging::LiveState& state = logging::liveState();
  if (!state.open.load()) return 0;
  std::shared_lock lock(state.mutex);
  if (!state.live || state.sink == nullptr) return 0;

  const uint32_t cls = logging::levelClass(level);
  char buf[logging::kLineBuffer];
  buf[0] = '\0';
  size_t len = 0;
  if (s.debug.load() != 0) {
    logging::advance(len, std::snprintf(buf, sizeof buf, "<%s><%d>", module ? module : "", line));
  }
  if (s.detailed.load() != 0) {
    logging::advance(len, std::snprintf(buf + len, sizeof buf - len, "%u-%x> ", cls, code));
  }
  va_list args;
  va_start(args, format);
  logging::advance(len, std::vsnprintf(buf + len, sizeof buf - len, format, args));
  va_end(args);
  logging::LogLine entry;
  entry.level = level;
  entry.cls = cls;
  entry.code = code;
  entry.maxLines = s.max.load();
  entry.text = std::string_view(buf, len);
  const int position = state.sink->append(entry);
  for (logging::LogSink* extra : state.extraSinks) extra->append(entry);
  return position;
}
