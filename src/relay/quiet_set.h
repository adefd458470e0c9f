// Quiet connections without a thread: a connection whose pump saw no bytes for half a second
// hands its sockets to its relay's quiet set, and its pool thread goes back to the pool. One
// thread per relay waits on every parked socket at once (platform::ReadinessSet); when bytes
// arrive, a side closes or the connection's idle time ends, the connection is posted to the pool
// again and its pump carries on where it stopped. Internal to the relay.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/net.h"
#include "platform/readiness.h"
#include "platform/threads.h"
#include "relay/worker_pool.h"

namespace relay {

struct Pump;  // data_pump.cpp

class QuietSet {
 public:
  using Clock = std::chrono::steady_clock;

  // Parked connections are resumed as work items of `pool`, which must outlive the set's use.
  explicit QuietSet(WorkPool* pool);
  ~QuietSet();
  QuietSet(const QuietSet&) = delete;
  QuietSet& operator=(const QuietSet&) = delete;

  // Makes the set and starts its thread (again after `stop`). False, logged, when it cannot:
  // connections then keep their threads while quiet.
  bool start();
  enum class Park {
    kTaken,    // the set holds the pump now
    kKept,     // the set never started, or cannot wait on these sockets: the caller keeps it
    kStopped,  // the set was stopped: the caller ends the connection as the stop ended the others
  };
  // Takes `pump` until one of the two waits is met or `deadline` passes, then posts it to the
  // pool.
  Park park(Pump* pump, const platform::IoWait (&waits)[2],
            std::optional<Clock::time_point> deadline);
  // Ends the thread and every connection still parked (each closed as at a clean end, at once);
  // parks are answered kStopped until the next `start`.
  void stop();
  size_t parkedCount() const;

 private:
  struct Entry {
    Pump* pump = nullptr;
    int fds[2] = {-1, -1};  // the descriptors in the readiness set; -1: none
    std::optional<std::multimap<Clock::time_point, uint64_t>::iterator> due;
  };

  void run();
  // Called with mutex_ held: takes the entry of `token` out of the set and the maps.
  Pump* takeOut(uint64_t token);
  // Called with mutex_ held: how long the thread may wait before the next idle time ends.
  int millisToNextDeadline() const;
  void resume(Pump* pump);

  WorkPool* pool_;
  platform::ReadinessSet set_;  // made by the first start, kept until the set goes
  bool made_ = false;
  platform::Thread thread_;
  mutable std::mutex mutex_;  // guards parked_, due_, nextToken_, running_ and stopped_
  std::unordered_map<uint64_t, Entry> parked_;
  std::multimap<Clock::time_point, uint64_t> due_;  // idle deadlines of parked connections
  uint64_t nextToken_ = 1;
  bool running_ = false;
  bool stopped_ = false;
};

}  // namespace relay
