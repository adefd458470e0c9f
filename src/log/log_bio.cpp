// The "log" BIO type: OpenSSL output written to a BIO of this type is cut into lines at each
// newline and handed to a log sink. The text after the last newline waits in the BIO until a
// later write completes it. Any thread may write; the split happens under the BIO lock of the
// lock table, and the lines go to the sink after that lock is released, so a slow sink never
// holds up other BIO writers under it.
#include <openssl/bio.h>
#include <openssl/buffer.h>

#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <vector>

#include "log/log.h"

namespace logging {
namespace {

// The type number the log BIO has always had. OpenSSL 3 gives the same number to its
// descriptor BIO, so BIO_find_type cannot tell the two apart; nothing here relies on it.
constexpr int kBioTypeLog = 0x504;
constexpr size_t kPutsMax = 511;

// Guards the fields of every log BIO's data while a write splits its lines.
std::mutex& bioLock() {
  static std::mutex lock;
  return lock;
}

// Per-BIO state, in the BIO's data. Both fields are guarded by bioLock().
struct LogBioData {
  int handle = 0;              // the sink handle given with BIO_set_fd
  BUF_MEM* pending = nullptr;  // text after the last newline written so far
};

struct SinkRegistry {
  // Guards `sinks` and `next`. Held shared while a line is delivered, so removeSinkHandle
  // returns only once no thread uses the sink any more.
  std::shared_mutex mutex;
  std::map<int, LogSink*> sinks;
  int next = 1;
};

SinkRegistry& registry() {
  static SinkRegistry r;
  return r;
}

void deliver(int handle, const std::string& line) {
  SinkRegistry& r = registry();
  std::shared_lock lock(r.mutex);
  const auto it = r.sinks.find(handle);
  if (it == r.sinks.end()) return;
  LogLine entry;
  entry.text = line;
  it->second->append(entry);
}

// Moves every complete line out of pending text + data; keeps the rest pending.
void splitLines(BUF_MEM* pending, const char* data, size_t len, std::vector<std::string>& lines) {
  const char* p = data;
  const char* const end = data + len;
  while (p < end) {
    const void* found = std::memchr(p, '\n', static_cast<size_t>(end - p));
    if (found == nullptr) break;
    const char* nl = static_cast<const char*>(found);
    std::string line(pending->data != nullptr ? pending->data : "", pending->length);
    line.append(p, static_cast<size_t>(nl - p));
    lines.push_back(std::move(line));
    pending->length = 0;
    p = nl + 1;
  }
  if (p == end) return;
  const size_t old = pending->length;
  const size_t rest = static_cast<size_t>(end - p);
  if (BUF_MEM_grow_clean(pending, old + rest) != 0) std::memcpy(pending->data + old, p, rest);
}

int logWrite(BIO* bio, const char* data, int len) {
  if (data == nullptr || len <= 0) return 0;
  BIO_clear_retry_flags(bio);
  auto* d = static_cast<LogBioData*>(BIO_get_data(bio));
  if (d == nullptr) return -1;
  std::vector<std::string> lines;
  int handle = 0;
  {
    std::lock_guard lock(bioLock());
    handle = d->handle;
    splitLines(d->pending, data, static_cast<size_t>(len), lines);
  }
  for (const std::string& line : lines) deliver(handle, line);
  return len;
}

int logPuts(BIO* bio, const char* str) {
  if (str == nullptr) return 0;
  std::string line(str, strnlen(str, kPutsMax));
  line.push_back('\n');
  return logWrite(bio, line.data(), static_cast<int>(line.size()));
}

long logCtrl(BIO* bio, int cmd, long, void* ptr) {
  auto* d = static_cast<LogBioData*>(BIO_get_data(bio));
  if (d == nullptr) return 0;
  switch (cmd) {
    case BIO_C_SET_FD: {
      if (ptr == nullptr) return 0;
      std::lock_guard lock(bioLock());
      d->handle = *static_cast<int*>(ptr);
      return 1;
    }
    case BIO_C_GET_FD: {
      int handle = 0;
      {
        std::lock_guard lock(bioLock());
        handle = d->handle;
      }
      if (ptr != nullptr) *static_cast<int*>(ptr) = handle;
      return handle;
    }
    default:
      return 0;
  }
}

int logCreate(BIO* bio) {
  auto* d = new (std::nothrow) LogBioData;
  if (d == nullptr) return 0;
  d->pending = BUF_MEM_new();
  if (d->pending == nullptr) {
    delete d;
    return 0;
  }
  BIO_set_data(bio, d);
  BIO_set_init(bio, 1);
  return 1;
}

int logDestroy(BIO* bio) {
  if (bio == nullptr) return 0;
  auto* d = static_cast<LogBioData*>(BIO_get_data(bio));
  if (d != nullptr) {
    BUF_MEM_free(d->pending);
    delete d;
  }
  BIO_set_data(bio, nullptr);
  BIO_set_init(bio, 0);
  return 1;
}

BIO_METHOD* makeMethod() {
  BIO_METHOD* m = BIO_meth_new(kBioTypeLog, "log");
  if (m == nullptr) return nullptr;
  if (BIO_meth_set_write(m, logWrite) != 1 || BIO_meth_set_puts(m, logPuts) != 1 ||
      BIO_meth_set_ctrl(m, logCtrl) != 1 || BIO_meth_set_create(m, logCreate) != 1 ||
      BIO_meth_set_destroy(m, logDestroy) != 1) {
    BIO_meth_free(m);
    return nullptr;
  }
  return m;
}

}  // namespace

const BIO_METHOD* bio_s_log() {
  static BIO_METHOD* const method = makeMethod();  // lives as long as the process
  return method;
}

int registerSinkHandle(LogSink* sink) {
  if (sink == nullptr) return 0;
  SinkRegistry& r = registry();
  std::unique_lock lock(r.mutex);
  const int handle = r.next++;
  r.sinks[handle] = sink;
  return handle;
}

void removeSinkHandle(int handle) {
  if (handle == 0) return;
  SinkRegistry& r = registry();
  std::unique_lock lock(r.mutex);
  r.sinks.erase(handle);
}

}  // namespace logging
