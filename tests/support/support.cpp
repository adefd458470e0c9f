#include "support/support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/system.h"

namespace test_support {

namespace {

pid_t spawn(const std::vector<std::string>& argv, const std::string& outputFile,
            const std::map<std::string, std::string>& env, const std::string& stdinFile) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int out = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  const int in = open(stdinFile.empty() ? "/dev/null" : stdinFile.c_str(), O_RDONLY);
  if (out < 0 || in < 0) _exit(126);
  dup2(in, 0);
  dup2(out, 1);
  dup2(out, 2);
  for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

// Test material that cannot be made leaves the test without ground to stand on.
void must(const std::string& command) {
  if (!shell(command)) throw std::runtime_error("command failed: " + command);
}

// The lowest port the kernel hands to outgoing connections (32768 unless the machine says
// otherwise).
int ephemeralLow() {
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  int low = 0;
  return range >> low && low > 0 ? low : 32768;
}

// True when a listener could take 127.0.0.1:port (and [::1]:port, where the machine has it)
// right now.
bool bindable(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
  close(fd);
  const int fd6 = socket(AF_INET6, SOCK_STREAM, 0);
  if (ok && fd6 >= 0) {
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = htons(port);
    sin6.sin6_addr = in6addr_loopback;
    ok = bind(fd6, reinterpret_cast<sockaddr*>(&sin6), sizeof sin6) == 0 || errno == EADDRNOTAVAIL;
  }
  if (fd6 >= 0) close(fd6);
  return ok;
}

}  // namespace

std::string binDir() {
  const char* dir = std::getenv("BKL_BIN_DIR");
  return dir != nullptr ? dir : "src/app";
}

TempDir::TempDir() {
  char pattern[] = "/tmp/bkl-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

// The port comes from below the ephemeral range: a port the kernel chose for a bind to port 0 is
// one it also gives to outgoing connections, and any connection made between this call and the
// peer's own bind (another test's, or a peer's) could take it and leave the peer without its
// port. A process never gets the same port twice.
uint16_t freePort() {
  static std::mutex lock;
  static std::set<uint16_t> given;
  static std::mt19937 random(std::random_device{}());
  const std::lock_guard<std::mutex> hold(lock);
  constexpr int kFirst = 10000;
  const int span = ephemeralLow() - kFirst;
  for (int i = 0; span > 1000 && i < 2000; ++i) {
    const auto port = static_cast<uint16_t>(kFirst + static_cast<int>(random() % span));
    if (given.count(port) == 0 && bindable(port)) {
      given.insert(port);
      return port;
    }
  }
  // A machine whose ephemeral range starts low: the kernel's choice.
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  socklen_t len = sizeof sin;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
  close(fd);
  return ntohs(sin.sin_port);
}

Process::Process(const std::vector<std::string>& argv, const std::string& outputFile,
                 const std::map<std::string, std::string>& env, const std::string& stdinFile)
    : pid_(spawn(argv, outputFile, env, stdinFile)) {}

Process::Process(Process&& other) noexcept : pid_(other.pid_), status_(other.status_) {
  other.pid_ = -1;
}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    stop();
    pid_ = other.pid_;
    status_ = other.status_;
    other.pid_ = -1;
  }
  return *this;
}

Process::~Process() { stop(); }

bool Process::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  const pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    status_ = status;
    pid_ = -1;
    return false;
  }
  return r == 0;
}

void Process::signal(int sig) const {
  if (pid_ > 0) kill(pid_, sig);
}

int Process::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(10ms);
  }
  return status_;
}

int Process::stop(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return status_;
  kill(pid_, SIGTERM);
  if (wait(grace) != -1) return status_;
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  status_ = status;
  return status_;
}

int run(const std::vector<std::string>& argv, const std::string& outputFile,
        std::chrono::milliseconds timeout, const std::string& stdinFile) {
  Process p(argv, outputFile, {}, stdinFile);
  const int status = p.wait(timeout);
  if (status == -1) {
    p.stop(1s);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Process echoService(uint16_t port, const std::string& outputFile) {
  return Process({"socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork",
                  "EXEC:cat"},
                 outputFile);
}

bool waitForPort(uint16_t port, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const int fd = connectLocal(port);
    if (fd >= 0) {
      close(fd);
      return true;
    }
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return out.good();
}

bool shell(const std::string& command) {
  return run({"/bin/sh", "-c", command}, "/dev/null", 120s) == 0;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int countText(const std::string& haystack, const std::string& needle) {
  int n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + needle.size())) {
    ++n;
  }
  return n;
}

bool waitForText(const std::string& file, const std::string& text,
                 std::chrono::milliseconds timeout, int count) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (countText(readFile(file), text) >= count) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
}

int connectLocal(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sin.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int connectLocal6(uint16_t port) {
  const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 sin6{};
  sin6.sin6_family = AF_INET6;
  sin6.sin6_addr = in6addr_loopback;
  sin6.sin6_port = htons(port);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&sin6), sizeof sin6) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

bool haveIpv6Loopback() {
  const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in6 sin6{};
  sin6.sin6_family = AF_INET6;
  sin6.sin6_addr = in6addr_loopback;
  const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&sin6), sizeof sin6) == 0;
  close(fd);
  return bound;
}

platform::IpAddress ip(const std::string& text) {
  platform::IpAddress address;
  if (platform::parseIpv6(text, &address)) return address;
  in_addr v4{};
  return platform::IpAddress::ipv4(inet_pton(AF_INET, text.c_str(), &v4) == 1 ? v4.s_addr
                                                                              : 0xFFFFFFFFu);
}

namespace {
const std::map<std::string, std::vector<std::string>>* fakeNames = nullptr;

bool fakeResolve(const std::string& name, std::vector<platform::IpAddress>* addresses) {
  const auto found = fakeNames->find(name);
  if (found == fakeNames->end()) return false;
  for (const std::string& text : found->second) addresses->push_back(ip(text));
  return true;
}
}  // namespace

FakeNames::FakeNames(std::map<std::string, std::vector<std::string>> names) {
  fakeNames = new std::map<std::string, std::vector<std::string>>(std::move(names));
  platform::setHostResolver(fakeResolve);
}

FakeNames::~FakeNames() {
  platform::setHostResolver(nullptr);
  delete fakeNames;
  fakeNames = nullptr;
}

bool sendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string receive(int fd, size_t size, std::chrono::milliseconds timeout) {
  std::string data;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buf[65536];
  while (data.size() < size) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = recv(fd, buf, std::min(sizeof buf, size - data.size()), 0);
    if (n <= 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  return data;
}

void makePki(const std::string& dir) {
  must("cd '" + dir +
       "' && openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj '/O=Brisklane test/CN=Test "
       "CA' "
       "-keyout ca.key -out ca.pem");
  makeCert(dir, "server", "127.0.0.1");
  makeCert(dir, "client", "Test Client");
}

void makeCert(const std::string& dir, const std::string& name, const std::string& commonName,
              const std::string& altNames) {
  must("cd '" + dir +
       "' && openssl req -newkey rsa:2048 -nodes -subj '/O=Brisklane test/CN=" + commonName +
       "' -keyout " + name + ".key -out " + name + ".csr && printf 'subjectAltName=" + altNames +
       "\\n' > " + name + ".ext && openssl x509 -req -in " + name +
       ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 -extfile " + name + ".ext -out " +
       name + ".pem");
}

RenameCounter::RenameCounter(const std::string& dir, const std::string& name) : name_(name) {
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ >= 0 && inotify_add_watch(fd_, dir.c_str(), IN_MOVED_TO) < 0) {
    close(fd_);
    fd_ = -1;
  }
}

RenameCounter::~RenameCounter() {
  if (fd_ >= 0) close(fd_);
}

int RenameCounter::count() {
  if (fd_ < 0) return -1;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n <= 0) return seen_;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0 && name_ == event->name) ++seen_;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

}  // namespace test_support
