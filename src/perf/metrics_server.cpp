#include "perf/metrics_server.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "platform/syscalls.h"

namespace perf {

namespace {

// The library's accept loop runs each accepted connection through its task queue; this one runs
// it at once, on the accept loop's thread, where the gate takes it over without waiting.
class InlineQueue : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override {}
};

// A connection to the library: the bytes the gate read first, then the socket, each wait bounded.
class GatedStream : public httplib::Stream {
 public:
  GatedStream(int fd, std::string head, const MetricsLimits& limits)
      : fd_(fd),
        head_(std::move(head)),
        waitMs_(static_cast<int>(limits.ioTime.count())),
        bodyLeft_(limits.maxBodyBytes) {}

  bool is_readable() const override { return pos_ < head_.size() || ready(POLLIN); }
  bool is_writable() const override { return ready(POLLOUT); }

  ssize_t read(char* ptr, size_t size) override {
    if (pos_ < head_.size()) {
      const size_t n = std::min(size, head_.size() - pos_);
      std::memcpy(ptr, head_.data() + pos_, n);
      pos_ += n;
      return static_cast<ssize_t>(n);
    }
    if (bodyLeft_ == 0 || !ready(POLLIN)) return -1;  // no more than a small body, in time
    for (;;) {
      const ssize_t n = platform::sys().recv(fd_, ptr, std::min(size, bodyLeft_), MSG_DONTWAIT);
      if (n > 0) bodyLeft_ -= static_cast<size_t>(n);
      if (n >= 0 || errno != EINTR) return n;
    }
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!ready(POLLOUT)) return -1;
    for (;;) {
      const ssize_t n = platform::sys().send(fd_, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0 || errno != EINTR) return n;
    }
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    if (!platform::endpointText(fd_, true, &ip, &port)) port = 0;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    if (!platform::endpointText(fd_, false, &ip, &port)) port = 0;
  }
  socket_t socket() const override { return fd_; }

 private:
  bool ready(short events) const {
    for (;;) {
      pollfd p{fd_, events, 0};
      const int n = platform::sys().poll(&p, 1, waitMs_);
      if (n < 0 && errno == EINTR) continue;
      return n > 0;
    }
  }

  int fd_;
  std::string head_;
  size_t pos_ = 0;
  int waitMs_;
  size_t bodyLeft_;
};

// The library's server with the gate in place of its per-connection processing.
class GatedHttpServer : public httplib::Server {
 public:
  explicit GatedHttpServer(RequestGate* gate) : gate_(gate) {}
  // Answers the one request of a connection that the gate passed on.
  void answer(GatedStream& stream) {
    bool closed = false;
    process_request(stream, true, closed, nullptr);
  }

 private:
  bool process_and_close_socket(socket_t sock) override {
    gate_->admit(platform::UniqueFd(sock));
    return true;
  }

  RequestGate* gate_;
};

}  // namespace

class MetricsServer::Impl {
 public:
  Impl(std::function<MetricsAnswer()> answer, MetricsLimits limits)
      : limits_(limits),
        answer_(std::move(answer)),
        gate_(limits.gate, [this](platform::UniqueFd fd,
                                  std::string head) { queue(std::move(fd), std::move(head)); }),
        server_(&gate_) {
    server_.new_task_queue = [] { return new InlineQueue; };
    server_.set_keep_alive_max_count(1);
    server_.set_read_timeout(limits.ioTime);
    server_.set_write_timeout(limits.ioTime);
    server_.set_payload_max_length(limits.maxBodyBytes);
    server_.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
      MetricsAnswer a;
      {
        std::lock_guard<std::mutex> hold(answerMutex_);
        a = answer_();
      }
      res.status = a.status;
      res.set_content(a.body, a.contentType.c_str());
    });
  }

  bool bind(const std::string& host, int port) { return server_.bind_to_port(host, port); }
  bool run(std::string* error);
  void stop() { server_.stop(); }

 private:
  struct Request {
    platform::UniqueFd fd;
    std::string head;
  };
  void queue(platform::UniqueFd fd, std::string head);
  void work();

  const MetricsLimits limits_;
  const std::function<MetricsAnswer()> answer_;
  RequestGate gate_;
  GatedHttpServer server_;
  std::vector<std::thread> workers_;
  std::mutex answerMutex_;  // one answer_ call at a time

  std::mutex mutex_;  // guards requests_ and ending_
  std::condition_variable changed_;
  std::deque<Request> requests_;
  bool ending_ = false;
};

bool MetricsServer::Impl::run(std::string* error) {
  if (!gate_.start(error)) return false;
  for (size_t i = 0; i < std::max<size_t>(1, limits_.workers); ++i) {
    workers_.emplace_back([this] { work(); });
  }
  const bool listened = server_.listen_after_bind();
  gate_.stop();
  {
    std::lock_guard<std::mutex> hold(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : workers_) t.join();
  workers_.clear();
  if (!listened) *error = "the listening socket failed";
  return listened;
}

void MetricsServer::Impl::queue(platform::UniqueFd fd, std::string head) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!ending_ && requests_.size() < limits_.maxQueued) {
      requests_.push_back(Request{std::move(fd), std::move(head)});
      changed_.notify_one();
      return;
    }
  }
  static constexpr char kBusy[] =
      "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  platform::sys().send(fd.get(), kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
}

void MetricsServer::Impl::work() {
  for (;;) {
    Request r;
    {
      std::unique_lock<std::mutex> hold(mutex_);
      changed_.wait(hold, [this] { return ending_ || !requests_.empty(); });
      if (requests_.empty()) return;
      r = std::move(requests_.front());
      requests_.pop_front();
    }
    GatedStream stream(r.fd.get(), std::move(r.head), limits_);
    server_.answer(stream);
    platform::shutdownBoth(r.fd.get());
  }
}

MetricsServer::MetricsServer(std::function<MetricsAnswer()> answer, MetricsLimits limits)
    : impl_(std::make_unique<Impl>(std::move(answer), limits)) {}

MetricsServer::~MetricsServer() = default;

bool MetricsServer::bind(const std::string& host, int port) { return impl_->bind(host, port); }

bool MetricsServer::run(std::string* error) { return impl_->run(error); }

void MetricsServer::stop() { impl_->stop(); }

}  // namespace perf
