// A few log lines a second for one cause (connection-limit refusals, accept failures), so that a
// flood of the same event cannot flood the log; the lines left out are counted and told in one
// line before the next that is written. Any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

namespace relay {

class LogThrottle {
 public:
  static constexpr int kLinesPerSecond = 5;

  // True when a line of the cause may be written now; *leftOut then holds how many were left out
  // since the last one written (to be told first). False: this one is left out (counted).
  bool admit(uint64_t* leftOut);

 private:
  std::mutex mutex_;  // guards every field
  std::chrono::steady_clock::time_point windowStart_{};
  int inWindow_ = 0;
  uint64_t leftOut_ = 0;
};

// Writes `leftOut` as the line that comes before the next one of its cause.
void logLeftOut(uint32_t level, uint32_t code, uint64_t leftOut);

}  // namespace relay
