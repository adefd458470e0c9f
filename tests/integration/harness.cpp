#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/registry.h"
#include "platform/shared_memory.h"

namespace itest {

namespace {

constexpr char kSettingsKey[] = "Software\\Tandry\\Brisklane 4";

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

std::string sh(const std::string& command) {
  const std::string out = "/dev/null";
  const int rc = run({"/bin/sh", "-c", command}, out, 60s);
  if (rc != 0) throw std::runtime_error("command failed: " + command);
  return {};
}

}  // namespace

std::string binDir() {
  const char* dir = std::getenv("BKL_BIN_DIR");
  return dir != nullptr ? dir : "src/app";
}

TempDir::TempDir() {
  char pattern[] = "/tmp/bkl-it-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

uint16_t freePort() {
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
  sh("cd '" + dir +
     "' && openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj '/O=Brisklane test/CN=Test CA' "
     "-keyout ca.key -out ca.pem");
  makeCert(dir, "server", "127.0.0.1");
  makeCert(dir, "client", "Test Client");
}

void makeCert(const std::string& dir, const std::string& name, const std::string& commonName) {
  sh("cd '" + dir + "' && openssl req -newkey rsa:2048 -nodes -subj '/O=Brisklane test/CN=" +
     commonName + "' -keyout " + name + ".key -out " + name +
     ".csr && printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > " + name +
     ".ext && openssl x509 -req -in " + name +
     ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 -extfile " + name + ".ext -out " +
     name + ".pem");
}

Store::Store(const std::string& dir) : dir_(dir) { platform::setHiveDirectory(dir); }

Store::~Store() { platform::setHiveDirectory(""); }

void Store::setting(const std::string& name, uint32_t value) {
  platform::RegKey key;
  platform::regCreateKey(platform::Hive::kCurrentUser, kSettingsKey, &key);
  platform::regSetValue(key, name, platform::REG_DWORD, &value, sizeof value);
}

void Store::setting(const std::string& name, const std::string& text) {
  platform::RegKey key;
  platform::regCreateKey(platform::Hive::kCurrentUser, kSettingsKey, &key);
  platform::regSetValue(key, name, platform::REG_SZ, text.c_str(),
                        static_cast<uint32_t>(text.size() + 1));
}

void Store::binarySetting(const std::string& name, const std::string& bytes) {
  platform::RegKey key;
  platform::regCreateKey(platform::Hive::kCurrentUser, kSettingsKey, &key);
  platform::regSetValue(key, name, platform::REG_BINARY, bytes.data(),
                        static_cast<uint32_t>(bytes.size()));
}

void Store::rule(int n, const std::map<std::string, std::string>& texts,
                 const std::map<std::string, uint32_t>& numbers) {
  platform::RegKey key;
  platform::regCreateKey(platform::Hive::kCurrentUser,
                         std::string(kSettingsKey) + "\\Rule" + std::to_string(n), &key);
  for (const auto& [name, text] : texts) {
    platform::regSetValue(key, name, platform::REG_SZ, text.c_str(),
                          static_cast<uint32_t>(text.size() + 1));
  }
  for (const auto& [name, value] : numbers) {
    platform::regSetValue(key, name, platform::REG_DWORD, &value, sizeof value);
  }
}

void Store::removeRule(int n) {
  platform::RegKey key;
  platform::regCreateKey(platform::Hive::kCurrentUser, kSettingsKey, &key);
  platform::regDeleteKey(key, "Rule" + std::to_string(n));
}

namespace {

std::string newShmPrefix(const std::map<std::string, std::string>& env) {
  static std::atomic<int> serial{0};
  if (env.count("BRISKLANE_SHM_PREFIX") != 0) return {};
  return "bklit" + std::to_string(getpid()) + "d" + std::to_string(++serial) + "_";
}

std::map<std::string, std::string> daemonEnv(std::map<std::string, std::string> env,
                                             const std::string& configDir,
                                             const std::string& shmPrefix) {
  env["BRISKLANE_CONFIG_DIR"] = configDir;
  if (!shmPrefix.empty()) env["BRISKLANE_SHM_PREFIX"] = shmPrefix;
  return env;
}

}  // namespace

Daemon::Daemon(const std::string& configDir, const std::string& logFile,
               std::map<std::string, std::string> env)
    : logFile_(logFile),
      ownShmPrefix_(newShmPrefix(env)),
      process_({binDir() + "/brisklaned"}, logFile,
               daemonEnv(std::move(env), configDir, ownShmPrefix_)) {}

Daemon::~Daemon() {
  process_.stop();
  if (ownShmPrefix_.empty()) return;
  platform::SharedMemory::remove("/" + ownShmPrefix_ + "BKL");
  platform::SharedMemory::remove("/" + ownShmPrefix_ + "TAV_Optex_MMF_BKL");
  platform::NamedSemaphore::remove("/" + ownShmPrefix_ + "TAV_Optex_Event_BKL");
}

void Daemon::reload() const { process_.signal(SIGHUP); }
void Daemon::status() const { process_.signal(SIGUSR1); }

}  // namespace itest

namespace itest {

EchoServer::EchoServer() {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listenFd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  listen(listenFd_, 4096);
  socklen_t len = sizeof sin;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sin), &len);
  port_ = ntohs(sin.sin_port);
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  stopFd_ = pipeFds[1];
  stopReadFd_ = pipeFds[0];
  thread_ = std::thread([this] {
    serve();
    close(stopReadFd_);
  });
}

EchoServer::~EchoServer() {
  const char byte = 0;
  [[maybe_unused]] ssize_t n = write(stopFd_, &byte, 1);
  thread_.join();
  close(stopFd_);
  close(listenFd_);
}

void EchoServer::serve() {
  struct Conn {
    int fd;
    std::string pending;
  };
  std::vector<Conn> conns;
  for (;;) {
    std::vector<pollfd> fds;
    fds.push_back({stopReadFd_, POLLIN, 0});
    fds.push_back({listenFd_, POLLIN, 0});
    for (const Conn& c : conns) {
      fds.push_back({c.fd, static_cast<short>(c.pending.empty() ? POLLIN : POLLOUT), 0});
    }
    if (poll(fds.data(), fds.size(), 1000) < 0) continue;
    if (fds[0].revents != 0) break;
    if (fds[1].revents & POLLIN) {
      const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) conns.push_back({fd, {}});
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      Conn& c = conns[i - 2];
      if (fds[i].revents == 0) continue;
      if (!c.pending.empty()) {
        const ssize_t n = send(c.fd, c.pending.data(), c.pending.size(), MSG_NOSIGNAL);
        if (n > 0) c.pending.erase(0, static_cast<size_t>(n));
        if (n < 0 && errno != EAGAIN) c.pending.clear(), close(c.fd), c.fd = -1;
        continue;
      }
      char buf[16384];
      const ssize_t n = recv(c.fd, buf, sizeof buf, 0);
      if (n > 0) {
        c.pending.assign(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EAGAIN) {
        close(c.fd);
        c.fd = -1;
      }
    }
    std::erase_if(conns, [](const Conn& c) { return c.fd < 0; });
  }
  for (const Conn& c : conns) close(c.fd);
}

}  // namespace itest
