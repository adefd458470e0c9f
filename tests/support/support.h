// What the test programs share: temporary folders, free ports on 127.0.0.1, child processes
// stopped by their PID, files to read and wait on, sockets to talk through, and certificates
// made with the openssl tool.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/ip_address.h"

namespace test_support {

using namespace std::chrono_literals;

// The folder of the built programs (BKL_BIN_DIR, set by CTest).
std::string binDir();

// A folder under /tmp, removed with everything in it.
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

// A port on 127.0.0.1 that nobody holds right now, outside the range the kernel gives outgoing
// connections (host byte order).
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

// An echo service (socat) on 127.0.0.1:port, its output in `outputFile`; the caller waits for
// the port.
Process echoService(uint16_t port, const std::string& outputFile);

bool waitForPort(uint16_t port, std::chrono::milliseconds timeout = 10s);
std::string readFile(const std::string& path);
bool writeFile(const std::string& path, const std::string& text);
// Runs a command line with /bin/sh (bounded to 120 s); true when it exits with 0.
bool shell(const std::string& command);
// Waits until the file holds `text` `count` times.
bool waitForText(const std::string& file, const std::string& text,
                 std::chrono::milliseconds timeout = 10s, int count = 1);
int countText(const std::string& haystack, const std::string& needle);

// A connected client socket to 127.0.0.1:port (or [::1]:port), or -1.
int connectLocal(uint16_t port);
int connectLocal6(uint16_t port);
// Whether sockets can be bound to the IPv6 loopback ::1 here.
bool haveIpv6Loopback();

// An address from its text ("10.1.2.3", "::1"); 255.255.255.255 for anything else.
platform::IpAddress ip(const std::string& text);

// Names the resolver knows while this lives, each with its addresses in order ("six.test" with
// {"::1"}); no other name resolves. One at a time.
class FakeNames {
 public:
  explicit FakeNames(std::map<std::string, std::vector<std::string>> names);
  ~FakeNames();
  FakeNames(const FakeNames&) = delete;
  FakeNames& operator=(const FakeNames&) = delete;
};
bool sendAll(int fd, const std::string& data);
// Reads until `size` bytes arrived, the peer closed, or the time ran out.
std::string receive(int fd, size_t size, std::chrono::milliseconds timeout = 10s);

// Counts the files renamed onto `name` in folder `dir` from its making on: each atomic rewrite
// of a store file is one.
class RenameCounter {
 public:
  RenameCounter(const std::string& dir, const std::string& name);
  ~RenameCounter();
  RenameCounter(const RenameCounter&) = delete;
  RenameCounter& operator=(const RenameCounter&) = delete;
  // The renames seen so far (-1 when the folder cannot be watched).
  int count();

 private:
  int fd_ = -1;
  std::string name_;
  int seen_ = 0;
};

// Certificates made by the openssl tool: a CA, a server certificate for 127.0.0.1/localhost and a
// client certificate, each signed by the CA; PEM files "<name>.pem" and "<name>.key".
void makePki(const std::string& dir);
// One more certificate signed by the CA in `dir`, with the subject's common name and the
// subject's alternative names ("IP:::1").
void makeCert(const std::string& dir, const std::string& name, const std::string& commonName,
              const std::string& altNames = "IP:127.0.0.1,DNS:localhost");

}  // namespace test_support
