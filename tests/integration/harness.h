// What the integration tests need to run the real programs against real peers on 127.0.0.1:
// temporary folders, free ports, child processes stopped by their PID, log files to wait on,
// certificates made with the openssl tool, and the relay's configuration store.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace itest {

using namespace std::chrono_literals;

std::string binDir();

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A port on 127.0.0.1 that nobody listens on right now (host byte order).
uint16_t freePort();

// A child process with standard output and error in one file; stopped by its PID when it goes.
class Process {
 public:
  Process() = default;
  Process(const std::vector<std::string>& argv, const std::string& outputFile,
          const std::map<std::string, std::string>& env = {}, const std::string& stdinFile = "");
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();

  pid_t pid() const { return pid_; }
  bool running();
  void signal(int sig) const;
  // SIGTERM, then SIGKILL after the grace time; returns the wait status (-1 when not started).
  int stop(std::chrono::milliseconds grace = 10s);
  // Waits for the process to end by itself; -1 on time-out.
  int wait(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// Runs a command to its end (bounded); returns its exit status, -1 on time-out.
int run(const std::vector<std::string>& argv, const std::string& outputFile = "/dev/null",
        std::chrono::milliseconds timeout = 60s, const std::string& stdinFile = "");

bool waitForPort(uint16_t port, std::chrono::milliseconds timeout = 10s);
std::string readFile(const std::string& path);
// Waits until the file holds `text` `count` times.
bool waitForText(const std::string& file, const std::string& text,
                 std::chrono::milliseconds timeout = 10s, int count = 1);
int countText(const std::string& haystack, const std::string& needle);

// A connected client socket to 127.0.0.1:port, or -1.
int connectLocal(uint16_t port);
bool sendAll(int fd, const std::string& data);
// Reads until `size` bytes arrived, the peer closed, or the time ran out.
std::string receive(int fd, size_t size, std::chrono::milliseconds timeout = 10s);

// Certificates made by the openssl tool: a CA, a server certificate for 127.0.0.1/localhost and a
// client certificate, each signed by the CA; PEM files "<name>.pem" and "<name>.key".
void makePki(const std::string& dir);
// One more certificate signed by the CA in `dir`, with the subject's common name.
void makeCert(const std::string& dir, const std::string& name, const std::string& commonName);

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
};

// brisklaned on a store, its log in a file; `env` adds to its environment. Its counter block and
// lock get names of their own (BRISKLANE_SHM_PREFIX, unless `env` gives one), so that no test
// publishes into the block of a relay running on the machine; they are removed when it goes.
class Daemon {
 public:
  Daemon(const std::string& configDir, const std::string& logFile,
         std::map<std::string, std::string> env = {});
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;
  ~Daemon();
  void reload() const;  // SIGHUP
  void status() const;  // SIGUSR1
  int stop() { return process_.stop(); }
  bool running() { return process_.running(); }
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
