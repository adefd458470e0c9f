// brisklane-perf's HTTP endpoint: cpp-httplib answers GET /metrics, behind the request gate
// (request_gate.h) that collects every request head first. The library's own accept loop takes
// the connections and hands each to the gate at once; a connection whose head is whole is
// answered by one of `workers` threads through the library's request handling, one request per
// connection (no keep-alive), each read and write of it bounded by `ioTime`, and at most
// `maxBodyBytes` read past the head. So slow, flooding or endless clients cost the gate a
// descriptor and a few KiB each for a few seconds, and delay nobody else's scrape.
//
// The library is taken from the program that links it (brisklane-perf links cpp-httplib); this
// file is the only one of the counters' code that uses it.
//
// Threads: run() on the caller's thread (the accept loop), the gate's thread, the workers; stop()
// from any thread, once run() may have begun.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "perf/request_gate.h"

namespace perf {

struct MetricsAnswer {
  int status = 200;
  std::string body;
  std::string contentType;
};

struct MetricsLimits {
  GateLimits gate;
  std::chrono::milliseconds ioTime{3000};
  size_t maxBodyBytes = 8192;
  size_t workers = 2;
  size_t maxQueued = 64;  // whole requests waiting for a worker; more are answered 503
};

class MetricsServer {
 public:
  // `answer` makes the answer to one GET /metrics; it runs on a worker thread, one call at a time.
  explicit MetricsServer(std::function<MetricsAnswer()> answer, MetricsLimits limits = {});
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;
  ~MetricsServer();

  // Binds the listening socket; false when the address cannot be taken.
  bool bind(const std::string& host, int port);
  // Serves until stop(); false when the gate could not start or the accept loop failed.
  bool run(std::string* error);
  void stop();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace perf
