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

Store::Store(const std::string& dir) : dir_(dir) { platform::setHiveDirectory(dir); }

Store::~Store() { platform::setHiveDirectory(""); }

void Store::setting(const std::string& name, uint32_t value) { values_.dword("", name, value); }

void Store::setting(const std::string& name, const std::string& text) {
  values_.text("", name, text);
}

void Store::binarySetting(const std::string& name, const std::string& bytes) {
  values_.binary("", name, bytes);
}

void Store::rule(int n, const std::map<std::string, std::string>& texts,
                 const std::map<std::string, uint32_t>& numbers) {
  const std::string sub = "Rule" + std::to_string(n);
  for (const auto& [name, text] : texts) values_.text(sub, name, text);
  for (const auto& [name, value] : numbers) values_.dword(sub, name, value);
}

void Store::removeRule(int n) { values_.removeKey("Rule" + std::to_string(n)); }

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

std::vector<std::string> daemonCommand(const std::vector<std::string>& prefix) {
  std::vector<std::string> argv = prefix;
  argv.push_back(binDir() + "/brisklaned");
  return argv;
}

}  // namespace

Daemon::Daemon(const std::string& configDir, const std::string& logFile,
               std::map<std::string, std::string> env, const std::vector<std::string>& prefix)
    : logFile_(logFile),
      ownShmPrefix_(newShmPrefix(env)),
      process_(daemonCommand(prefix), logFile,
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
