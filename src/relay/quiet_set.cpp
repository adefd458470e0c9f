#include "relay/quiet_set.h"

#include <cstring>
#include <thread>
#include <vector>

#include "log/log.h"
#include "relay/data_pump.h"

namespace relay {

namespace {

constexpr char kModule[] = "proxy";
constexpr size_t kBatch = 256;  // readiness events handled per wake

}  // namespace

QuietSet::QuietSet(WorkPool* pool) : pool_(pool) {}

QuietSet::~QuietSet() { stop(); }

bool QuietSet::start() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (running_) return true;
  if (!made_) {
    if (const int err = set_.open(); err != 0) {
      log_event(LOG_SERIOUS, 0x6060, kModule, __LINE__,
                "Couldn't make the set of quiet connections: %s", std::strerror(err));
      return false;
    }
    made_ = true;
  }
  running_ = true;
  stopped_ = false;
  if (const int err = thread_.start([this] { run(); }, kConnectionStackBytes); err != 0) {
    running_ = false;
    log_event(LOG_SERIOUS, 0x6060, kModule, __LINE__,
              "Couldn't start the thread of quiet connections: %s", std::strerror(err));
    return false;
  }
  return true;
}

QuietSet::Park QuietSet::park(Pump* pump, const platform::IoWait (&waits)[2],
                              std::optional<Clock::time_point> deadline) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!running_) return stopped_ ? Park::kStopped : Park::kKept;
  const uint64_t token = nextToken_++;
  Entry entry;
  entry.pump = pump;
  for (int i = 0; i < 2; ++i) {
    if (waits[i].fd < 0 || waits[i].want == 0) continue;
    if (set_.add(waits[i].fd, waits[i].want, token) != 0) {
      if (entry.fds[0] >= 0) set_.remove(entry.fds[0]);
      return Park::kKept;
    }
    entry.fds[i] = waits[i].fd;
  }
  if (deadline) {
    const bool first = due_.empty() || *deadline < due_.begin()->first;
    entry.due = due_.emplace(*deadline, token);
    // The thread may be waiting for a later deadline, or for none.
    if (first) set_.wake();
  }
  parked_.emplace(token, entry);
  return Park::kTaken;
}

Pump* QuietSet::takeOut(uint64_t token) {
  const auto found = parked_.find(token);
  // Another descriptor of the same connection reported in the same batch, or the set is stopping.
  if (found == parked_.end()) return nullptr;
  Entry& entry = found->second;
  for (const int fd : entry.fds) {
    if (fd >= 0) set_.remove(fd);
  }
  if (entry.due) due_.erase(*entry.due);
  Pump* pump = entry.pump;
  parked_.erase(found);
  return pump;
}

int QuietSet::millisToNextDeadline() const {
  if (due_.empty()) return -1;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(due_.begin()->first - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void QuietSet::resume(Pump* pump) {
  if (postWork(pool_, resumePump, pump) == 0) endParkedPump(pump, true);
}

void QuietSet::run() {
  platform::ReadinessSet::Event events[kBatch];
  std::vector<Pump*> ready;
  std::unique_lock<std::mutex> lock(mutex_);
  while (running_) {
    const int timeout = millisToNextDeadline();
    lock.unlock();
    const int n = set_.wait(events, kBatch, timeout);
    if (n < 0) {
      log_event(LOG_SERIOUS, 0x6001, kModule, __LINE__, "Waiting for quiet connections failed: %s",
                std::strerror(-n));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    lock.lock();
    ready.clear();
    for (int i = 0; i < n; ++i) {
      if (Pump* pump = takeOut(events[i].token)) ready.push_back(pump);
    }
    const Clock::time_point now = Clock::now();
    while (!due_.empty() && due_.begin()->first <= now) {
      ready.push_back(takeOut(due_.begin()->second));
    }
    // Posting takes the pool's lock, and a connection that cannot be posted is ended here.
    lock.unlock();
    for (Pump* pump : ready) resume(pump);
    lock.lock();
  }
}

void QuietSet::stop() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!running_) return;
    running_ = false;
    stopped_ = true;
  }
  set_.wake();
  thread_.join();
  std::vector<Pump*> left;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    while (!parked_.empty()) left.push_back(takeOut(parked_.begin()->first));
  }
  for (Pump* pump : left) endParkedPump(pump, false);
}

size_t QuietSet::parkedCount() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return parked_.size();
}

}  // namespace relay
