// What the integration tests need beyond the shared test support: the relay's configuration
// store, brisklaned as a process on it, and an echo server for many connections.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/store.h"
#include "support/support.h"

namespace itest {

using namespace std::chrono_literals;

using namespace test_support;

// The relay's configuration store in a folder of its own.
class Store {
 public:
  explicit Store(const std::string& dir);
  ~Store();
  void setting(const std::string& name, uint32_t value);
  void setting(const std::string& name, const std::string& text);
  void binarySetting(const std::string& name, const std::string& bytes);
  // RuleN (from 1) with texts and numbers; a complete rule needs the port, client and mask texts
  // and, for direct rules, the destination texts.
  void rule(int n, const std::map<std::string, std::string>& texts,
            const std::map<std::string, uint32_t>& numbers);
  void removeRule(int n);
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  StoreValues values_;
};

// brisklaned on a store, its log in a file; `env` adds to its environment. Its counter block and
// lock get names of their own (BRISKLANE_SHM_PREFIX, unless `env` gives one), so that no test
// publishes into the block of a relay running on the machine; they are removed when it goes.
class Daemon {
 public:
  // `env` joins the daemon's environment; `prefix` runs before the program (a limit on it).
  Daemon(const std::string& configDir, const std::string& logFile,
         std::map<std::string, std::string> env = {}, const std::vector<std::string>& prefix = {});
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;
  ~Daemon();
  void reload() const;  // SIGHUP
  void status() const;  // SIGUSR1
  int stop() { return process_.stop(); }
  void signal(int sig) const { process_.signal(sig); }
  // Waits for the daemon to end by itself; its wait status, -1 on time-out.
  int wait(std::chrono::milliseconds timeout) { return process_.wait(timeout); }
  bool running() { return process_.running(); }
  pid_t pid() const { return process_.pid(); }
  const std::string& logFile() const { return logFile_; }
  std::string log() const { return readFile(logFile_); }
  bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = 10s,
                  int count = 1) const {
    return waitForText(logFile_, text, timeout, count);
  }

 private:
  std::string logFile_;
  std::string ownShmPrefix_;  // the prefix this object chose, empty when `env` gave one
  Process process_;
};

}  // namespace itest

namespace itest {

// Echoes every byte back on each connection; serves many connections from one thread. Used where
// a process per connection (socat's fork) would not scale to the test's connection count.
class EchoServer {
 public:
  EchoServer();
  ~EchoServer();
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;
  uint16_t port() const { return port_; }

 private:
  void serve();
  int listenFd_ = -1;
  int stopFd_ = -1;
  int stopReadFd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace itest
