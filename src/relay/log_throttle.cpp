#include "relay/log_throttle.h"

#include "log/log.h"

namespace relay {

bool LogThrottle::admit(uint64_t* leftOut) {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> hold(mutex_);
  if (now - windowStart_ >= std::chrono::seconds(1)) {
    windowStart_ = now;
    inWindow_ = 0;
  }
  if (inWindow_ >= kLinesPerSecond) {
    ++leftOut_;
    return false;
  }
  ++inWindow_;
  *leftOut = leftOut_;
  leftOut_ = 0;
  return true;
}

void logLeftOut(uint32_t level, uint32_t code, uint64_t leftOut) {
  if (leftOut == 0) return;
  log_event(level, code, "proxy", __LINE__, "%llu lines like the next one were left out",
            static_cast<unsigned long long>(leftOut));
}

}  // namespace relay
