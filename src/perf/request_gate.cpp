#include "perf/request_gate.h"

#include <algorithm>
#include <cerrno>

#include "platform/net.h"
#include "platform/syscalls.h"

namespace perf {

namespace {

constexpr size_t kReadChunk = 4096;
constexpr std::chrono::milliseconds kPollRetry{10};

}  // namespace

RequestGate::RequestGate(GateLimits limits, Pass pass) : limits_(limits), pass_(std::move(pass)) {}

bool RequestGate::start(std::string* error) {
  if (const int err = platform::makeWakeUpPipe(&wakeRead_, &wakeWrite_); err != 0) {
    *error = std::to_string(err);
    return false;
  }
  {
    std::lock_guard<std::mutex> hold(mutex_);
    running_ = true;
    stopping_ = false;
  }
  thread_ = std::thread([this] { run(); });
  return true;
}

void RequestGate::admit(platform::UniqueFd connection) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!running_ || stopping_) return;  // closed as it goes
    incoming_.push_back(std::move(connection));
  }
  wake();
}

void RequestGate::stop() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!running_) return;
    stopping_ = true;
  }
  wake();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> hold(mutex_);
  running_ = false;
  incoming_.clear();
}

void RequestGate::wake() {
  if (wakeWrite_.valid()) platform::wakeUp(wakeWrite_.get());
}

void RequestGate::run() {
  std::vector<pollfd> fds;
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (stopping_) break;
    }
    takeIncoming();
    const auto now = std::chrono::steady_clock::now();
    std::deque<Waiting> current;
    for (Waiting& w : waiting_) {
      if (w.deadline <= now) {
        refuse(w, "408 Request Timeout");
      } else {
        current.push_back(std::move(w));
      }
    }
    waiting_.swap(current);
    fds.assign(1, pollfd{wakeRead_.get(), POLLIN, 0});
    for (const Waiting& w : waiting_) fds.push_back(pollfd{w.fd.get(), POLLIN, 0});
    const int n = platform::sys().poll(fds.data(), fds.size(), nextTimeoutMs());
    if (n < 0) {
      if (errno != EINTR) std::this_thread::sleep_for(kPollRetry);  // no memory: try again soon
      continue;
    }
    if (fds[0].revents != 0) platform::drainWakeUps(wakeRead_.get());
    std::deque<Waiting> still;
    for (size_t i = 0; i < waiting_.size(); ++i) {
      const bool ready = fds[i + 1].revents != 0;
      if (!ready || readMore(waiting_[i]) == Progress::kWaiting) {
        still.push_back(std::move(waiting_[i]));
      }
    }
    waiting_.swap(still);
  }
  waiting_.clear();
}

void RequestGate::takeIncoming() {
  std::vector<platform::UniqueFd> arrived;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    arrived.swap(incoming_);
  }
  const auto deadline = std::chrono::steady_clock::now() + limits_.headTime;
  for (platform::UniqueFd& fd : arrived) {
    Waiting w;
    w.fd = std::move(fd);
    w.deadline = deadline;
    waiting_.push_back(std::move(w));
  }
  while (waiting_.size() > limits_.maxWaiting) {
    refuse(waiting_.front(), "503 Service Unavailable");
    waiting_.pop_front();
  }
}

int RequestGate::nextTimeoutMs() const {
  if (waiting_.empty()) return -1;
  const auto first =
      std::min_element(waiting_.begin(), waiting_.end(),
                       [](const Waiting& a, const Waiting& b) { return a.deadline < b.deadline; });
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      first->deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<long long>(1, left.count() + 1));
}

RequestGate::Progress RequestGate::readMore(Waiting& w) {
  char bytes[kReadChunk];
  // One byte past the limit tells a head that is too long from one that just fits.
  const size_t room = limits_.maxHeadBytes + 1 - w.head.size();
  const ssize_t n =
      platform::sys().recv(w.fd.get(), bytes, std::min(room, sizeof bytes), MSG_DONTWAIT);
  if (n < 0) {
    const int err = errno;
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR ? Progress::kWaiting
                                                               : Progress::kEnded;
  }
  if (n == 0) return Progress::kEnded;  // the client gave up
  w.head.append(bytes, static_cast<size_t>(n));
  return scan(w);
}

RequestGate::Progress RequestGate::scan(Waiting& w) {
  for (; w.scanned < w.head.size(); ++w.scanned) {
    if (w.head[w.scanned] != '\n') continue;
    const size_t begin = w.lineStart;
    w.lineStart = w.scanned + 1;
    if (begin == 0) continue;  // the request line
    if (w.lineStart - begin == 2 && w.head[begin] == '\r') {
      if (w.lineStart > limits_.maxHeadBytes) break;
      pass_(std::move(w.fd), std::move(w.head));
      return Progress::kPassed;
    }
    if (++w.headerLines > limits_.maxHeaderLines) break;
  }
  if (w.scanned < w.head.size() || w.head.size() > limits_.maxHeadBytes) {
    refuse(w, "431 Request Header Fields Too Large");
    return Progress::kEnded;
  }
  return Progress::kWaiting;
}

void RequestGate::refuse(Waiting& w, const char* status) {
  const std::string answer =
      std::string("HTTP/1.1 ") + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  platform::sys().send(w.fd.get(), answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  platform::shutdownWrite(w.fd.get());
  w.fd.reset();
}

}  // namespace perf
