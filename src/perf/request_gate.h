// The gate in front of brisklane-perf's HTTP endpoint: one thread collects the request heads of
// many connections at once, so that a client that sends its head slowly, or never ends it, holds
// no worker and delays nobody else's request. A connection is passed on only once its whole head
// has come (the request line, the header lines, the blank line), with the bytes read so far.
//
// Limits: at most `maxHeaderLines` header lines and `maxHeadBytes` bytes of head (a longer head is
// answered 431), all of it within `headTime` of the connection's arrival (else 408), and at most
// `maxWaiting` connections whose head is still coming: beyond that the one that has waited
// longest is answered 503 and closed, as a well-behaved client sends its head at once. Answers
// of the gate are a bare status line; everything else is the server's (metrics_server.h).
//
// Lines end as the server reads them: a line of just CR LF ends the head.
//
// `admit` may be called from any thread; `pass` runs on the gate's thread and must not wait.
// Socket calls go through the system-call table (platform/syscalls.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"

namespace perf {

struct GateLimits {
  size_t maxHeaderLines = 100;
  size_t maxHeadBytes = 8192;
  std::chrono::milliseconds headTime{3000};
  size_t maxWaiting = 64;
};

class RequestGate {
 public:
  // Receives a connection whose head has come, and the bytes read from it so far.
  using Pass = std::function<void(platform::UniqueFd connection, std::string head)>;

  RequestGate(GateLimits limits, Pass pass);
  RequestGate(const RequestGate&) = delete;
  RequestGate& operator=(const RequestGate&) = delete;
  ~RequestGate() { stop(); }

  // Starts the gate's thread; false (with errno's text in *error) when its wake-up pipe cannot
  // be made.
  bool start(std::string* error);
  // Takes a new connection; it is closed at once when the gate is not running.
  void admit(platform::UniqueFd connection);
  // Ends the thread and closes the connections still waiting. Safe to call twice.
  void stop();

 private:
  struct Waiting {
    platform::UniqueFd fd;
    std::string head;
    size_t scanned = 0;      // bytes of head looked at for line ends
    size_t lineStart = 0;    // where the line being read began
    size_t headerLines = 0;  // complete lines after the request line
    std::chrono::steady_clock::time_point deadline;
  };
  enum class Progress { kWaiting, kPassed, kEnded };

  void run();
  void takeIncoming();
  int nextTimeoutMs() const;
  Progress readMore(Waiting& w);
  Progress scan(Waiting& w);
  void refuse(Waiting& w, const char* status);
  void wake();

  const GateLimits limits_;
  const Pass pass_;
  platform::UniqueFd wakeRead_;
  platform::UniqueFd wakeWrite_;
  std::thread thread_;
  std::deque<Waiting> waiting_;  // the gate's thread only; oldest first

  std::mutex mutex_;  // guards incoming_, running_ and stopping_
  std::vector<platform::UniqueFd> incoming_;
  bool running_ = false;
  bool stopping_ = false;
};

}  // namespace perf
