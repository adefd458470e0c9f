// Load generator for the relay benchmarks. Every mode brings its own far end, so a relay under
// test only needs to be pointed at the port the tool listens on:
//
//   bench_tool ports N
//       prints N currently free TCP ports on 127.0.0.1, one a line.
//   bench_tool stream --to PORT --sink PORT --bytes N [--timeout S]
//       one connection to PORT carries N bytes; a built-in discard sink on 127.0.0.1:SINK takes
//       them and timestamps the last byte. Prints "seconds=... mib_per_s=...".
//   bench_tool rate --to PORT --echo PORT --seconds S --max N [--clients C] [--size B]
//       C client threads each repeat connect, write B bytes, read the B-byte echo, close; a
//       built-in echo server listens on 127.0.0.1:ECHO. Stops after S seconds or N connections.
//       Prints "connections=... failures=... seconds=... per_second=...".
//   bench_tool idle --to PORT --sink PORT --count N --ready FILE [--hold S]
//       opens N connections to PORT, sends one byte on each and waits until the built-in sink on
//       127.0.0.1:SINK has seen every byte; then writes FILE and holds the connections open until
//       SIGTERM/SIGINT or S seconds, whichever comes first.
//   bench_tool chatty --to PORT --echo PORT --count N --every MS --seconds S
//       opens N connections to PORT (a built-in echo server on 127.0.0.1:ECHO behind it); each
//       sends one byte every MS milliseconds, the connections' turns spread evenly over MS, and
//       reads its echo, for S seconds. Prints "sent=... echoed=... seconds=...".
//   bench_tool echo --listen PORT [--hold S]
//       an echo server on its own (so that a client process and the server each have the whole
//       descriptor limit), until SIGTERM/SIGINT or S seconds.
//   bench_tool hold --to PORT --count N --ready FILE [--size B] [--hold S]
//       opens up to N connections to PORT (an echo server behind it), each sending B bytes and
//       reading them back as soon as it is open, at most 64 waiting at a time; stops opening when
//       no echo came for 10 s. Then every open connection echoes B bytes once more, all held at
//       the same time. Prints "opened=... echoed=... failed=...", writes FILE and holds the
//       connections until SIGTERM/SIGINT or S seconds.
//
// Only 127.0.0.1 is ever used. Every wait has a deadline and every loop a bound.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;

using Fd = platform::UniqueFd;

using Options = std::map<std::string, std::string>;

long optionNumber(const Options& options, const std::string& name, long fallback) {
  const auto it = options.find(name);
  return it == options.end() ? fallback : std::strtol(it->second.c_str(), nullptr, 10);
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

sockaddr_in loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

void setTimeouts(int fd, int seconds) {
  timeval tv{};
  tv.tv_sec = seconds;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

Fd listenOn(uint16_t port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fd;
  const int one = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  const sockaddr_in address = loopback(port);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), 4096) != 0) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1:%u: %s\n", port, std::strerror(errno));
    fd.reset(-1);
  }
  return fd;
}

// A blocking connection with send/receive time-outs; invalid on failure.
Fd connectTo(uint16_t port, int timeoutSeconds) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fd;
  setTimeouts(fd.get(), timeoutSeconds);
  const sockaddr_in address = loopback(port);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    fd.reset(-1);
  }
  return fd;
}

bool writeAll(int fd, const char* data, size_t size) {
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool readExactly(int fd, char* data, size_t size) {
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::recv(fd, data + done, size - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

int printFreePorts(long count) {
  std::vector<Fd> held;
  for (long i = 0; i < count && i < 64; ++i) {
    Fd fd = listenOn(0);
    if (!fd.valid()) return 1;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
    std::printf("%u\n", ntohs(address.sin_port));
    held.push_back(std::move(fd));
  }
  return 0;
}

// --- stream -------------------------------------------------------------------------------------

struct SinkResult {
  uint64_t bytes = 0;
  Clock::time_point lastByte;
  bool ok = false;
};

void discardSink(int listenFd, uint64_t expected, Clock::time_point deadline, SinkResult* out) {
  pollfd p{listenFd, POLLIN, 0};
  if (::poll(&p, 1, 30000) != 1) return;
  Fd conn(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
  if (!conn.valid()) return;
  setTimeouts(conn.get(), 10);
  std::vector<char> buffer(256 * 1024);
  while (out->bytes < expected && Clock::now() < deadline) {
    const ssize_t n = ::recv(conn.get(), buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out->bytes += static_cast<uint64_t>(n);
    out->lastByte = Clock::now();
  }
  out->ok = out->bytes == expected;
}

int runStream(const Options& options) {
  const auto to = static_cast<uint16_t>(optionNumber(options, "--to", 0));
  const uint64_t bytes = static_cast<uint64_t>(optionNumber(options, "--bytes", 1L << 30));
  const long timeout = optionNumber(options, "--timeout", 120);
  Fd listener = listenOn(static_cast<uint16_t>(optionNumber(options, "--sink", 0)));
  if (!listener.valid() || to == 0) return 2;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeout);
  SinkResult result;
  std::thread sink(discardSink, listener.get(), bytes, deadline, &result);
  const Clock::time_point start = Clock::now();
  Fd conn = connectTo(to, 10);
  std::vector<char> block(256 * 1024, 'x');
  bool sent = conn.valid();
  for (uint64_t done = 0; sent && done < bytes && Clock::now() < deadline;) {
    const size_t size = static_cast<size_t>(std::min<uint64_t>(block.size(), bytes - done));
    sent = writeAll(conn.get(), block.data(), size);
    done += size;
  }
  sink.join();
  conn.reset(-1);
  if (!result.ok) {
    std::fprintf(stderr, "stream failed: %llu of %llu bytes arrived\n",
                 static_cast<unsigned long long>(result.bytes),
                 static_cast<unsigned long long>(bytes));
    return 1;
  }
  const double seconds = std::chrono::duration<double>(result.lastByte - start).count();
  std::printf("bytes=%llu seconds=%.3f mib_per_s=%.1f gbit_per_s=%.3f\n",
              static_cast<unsigned long long>(bytes), seconds,
              static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds,
              static_cast<double>(bytes) * 8.0 / 1e9 / seconds);
  return 0;
}

// --- servers on epoll: echo and idle sink -------------------------------------------------------

// Accepts on `listenFd` and, per connection, echoes what it reads (echo) or counts the first
// byte (sink) until `stop` is set. Closes a connection when its peer does.
void epollServer(int listenFd, bool echo, std::atomic<bool>* stop, std::atomic<long>* arrived) {
  Fd ep(::epoll_create1(EPOLL_CLOEXEC));
  setNonBlocking(listenFd);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = listenFd;
  epoll_ctl(ep.get(), EPOLL_CTL_ADD, listenFd, &ev);
  std::vector<epoll_event> events(256);
  std::vector<char> buffer(16 * 1024);
  std::vector<int> open;
  while (!stop->load()) {
    const int n = ::epoll_wait(ep.get(), events.data(), static_cast<int>(events.size()), 100);
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == listenFd) {
        for (int k = 0; k < 256; ++k) {
          const int conn = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
          if (conn < 0) break;
          epoll_event add{};
          add.events = EPOLLIN;
          add.data.fd = conn;
          epoll_ctl(ep.get(), EPOLL_CTL_ADD, conn, &add);
          open.push_back(conn);
        }
        continue;
      }
      const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (got > 0) {
        // Replies are small: the socket buffer always has room, so one send suffices.
        if (echo) ::send(fd, buffer.data(), static_cast<size_t>(got), MSG_NOSIGNAL);
        if (!echo && arrived != nullptr) arrived->fetch_add(1);
        continue;
      }
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      epoll_ctl(ep.get(), EPOLL_CTL_DEL, fd, nullptr);
      ::close(fd);
      open.erase(std::find(open.begin(), open.end(), fd));
    }
  }
  for (const int fd : open) ::close(fd);
}

// --- rate ---------------------------------------------------------------------------------------

struct RateShared {
  std::atomic<long> done{0};
  std::atomic<long> failures{0};
  long max = 0;
  size_t size = 0;
  uint16_t to = 0;
  Clock::time_point deadline;
};

void rateClient(RateShared* shared) {
  std::vector<char> request(shared->size, 'r');
  std::vector<char> reply(shared->size);
  while (Clock::now() < shared->deadline && shared->done.load() < shared->max &&
         shared->failures.load() < 100) {
    Fd conn = connectTo(shared->to, 5);
    const bool ok = conn.valid() && writeAll(conn.get(), request.data(), request.size()) &&
                    readExactly(conn.get(), reply.data(), reply.size());
    (ok ? shared->done : shared->failures).fetch_add(1);
  }
}

int runRate(const Options& options) {
  RateShared shared;
  shared.to = static_cast<uint16_t>(optionNumber(options, "--to", 0));
  shared.max = optionNumber(options, "--max", 100000);
  shared.size = static_cast<size_t>(std::clamp(optionNumber(options, "--size", 64), 1L, 8192L));
  const long seconds = std::clamp(optionNumber(options, "--seconds", 5), 1L, 120L);
  const long clients = std::clamp(optionNumber(options, "--clients", 4), 1L, 256L);
  Fd listener = listenOn(static_cast<uint16_t>(optionNumber(options, "--echo", 0)));
  if (!listener.valid() || shared.to == 0) return 2;
  std::atomic<bool> stop{false};
  std::thread server(epollServer, listener.get(), true, &stop, nullptr);
  const Clock::time_point start = Clock::now();
  shared.deadline = start + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (long i = 0; i < clients; ++i) threads.emplace_back(rateClient, &shared);
  for (auto& t : threads) t.join();
  const double elapsed = secondsSince(start);
  stop = true;
  server.join();
  const long done = shared.done.load();
  std::printf("connections=%ld failures=%ld seconds=%.3f per_second=%.1f\n", done,
              shared.failures.load(), elapsed, static_cast<double>(done) / elapsed);
  return done > 0 && shared.failures.load() == 0 ? 0 : 1;
}

// --- idle ---------------------------------------------------------------------------------------

// Waits for SIGTERM/SIGINT (blocked in every thread beforehand) or the hold time.
void holdUntilSignal(long seconds) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  timespec wait{};
  wait.tv_sec = seconds;
  while (::sigtimedwait(&set, nullptr, &wait) < 0 && errno == EINTR) {
  }
}

// Opens `count` connections with at most `window` not yet seen by the sink. Returns how many
// reached it before the deadline.
long openIdleConnections(uint16_t to, long count, std::atomic<long>* arrived,
                         Clock::time_point deadline, std::vector<Fd>* conns) {
  constexpr long kWindow = 32;
  for (long i = 0; i < count && Clock::now() < deadline; ++i) {
    while (i - arrived->load() >= kWindow && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Fd conn = connectTo(to, 10);
    if (!conn.valid() || !writeAll(conn.get(), "i", 1)) {
      std::fprintf(stderr, "idle connection %ld failed: %s\n", i, std::strerror(errno));
      break;
    }
    conns->push_back(std::move(conn));
  }
  while (arrived->load() < static_cast<long>(conns->size()) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return arrived->load();
}

int runIdle(const Options& options) {
  const auto to = static_cast<uint16_t>(optionNumber(options, "--to", 0));
  const long count = std::clamp(optionNumber(options, "--count", 1000), 1L, 5000L);
  const long hold = std::clamp(optionNumber(options, "--hold", 60), 1L, 600L);
  const auto ready = options.find("--ready");
  Fd listener = listenOn(static_cast<uint16_t>(optionNumber(options, "--sink", 0)));
  if (!listener.valid() || to == 0 || ready == options.end()) return 2;

  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);  // before any thread starts, so all inherit it

  std::atomic<bool> stop{false};
  std::atomic<long> arrived{0};
  std::thread sink(epollServer, listener.get(), false, &stop, &arrived);
  std::vector<Fd> conns;
  conns.reserve(static_cast<size_t>(count));
  const long reached =
      openIdleConnections(to, count, &arrived, Clock::now() + std::chrono::seconds(60), &conns);
  int status = 1;
  if (reached == count) {
    if (FILE* f = std::fopen(ready->second.c_str(), "w")) {
      std::fprintf(f, "%ld\n", reached);
      std::fclose(f);
      status = 0;
    }
    holdUntilSignal(hold);
  } else {
    std::fprintf(stderr, "only %ld of %ld idle connections reached the sink\n", reached, count);
  }
  conns.clear();
  stop = true;
  sink.join();
  return status;
}

// --- echo and hold: the concurrency measurement -------------------------------------------------

void blockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);  // before any thread starts, so all inherit it
}

int runEcho(const Options& options) {
  const long hold = std::clamp(optionNumber(options, "--hold", 600), 1L, 3600L);
  Fd listener = listenOn(static_cast<uint16_t>(optionNumber(options, "--listen", 0)));
  if (!listener.valid()) return 2;
  blockStopSignals();
  std::atomic<bool> stop{false};
  std::thread server(epollServer, listener.get(), true, &stop, nullptr);
  holdUntilSignal(hold);
  stop = true;
  server.join();
  return 0;
}

// The held connections and what their echoes brought so far.
struct HeldSet {
  Fd ep{::epoll_create1(EPOLL_CLOEXEC)};
  std::vector<Fd> conns;
  std::vector<size_t> received;  // bytes of echo per connection, over both rounds
  long echoed = 0;               // connections whose echo of the current round is complete
  long failed = 0;               // connections the far side closed or broke
  size_t want = 0;               // echo bytes each connection must have by the end of the round
};

// Takes what arrived; returns whether anything did.
bool collectEchoes(HeldSet* set, int timeoutMs) {
  epoll_event events[256];
  const int n = ::epoll_wait(set->ep.get(), events, 256, timeoutMs);
  char buffer[4096];
  for (int i = 0; i < n; ++i) {
    const size_t index = events[i].data.u64;
    const int fd = set->conns[index].get();
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got > 0) {
      const size_t before = set->received[index];
      set->received[index] += static_cast<size_t>(got);
      if (before < set->want && set->received[index] >= set->want) ++set->echoed;
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      epoll_ctl(set->ep.get(), EPOLL_CTL_DEL, fd, nullptr);
      ++set->failed;
    }
  }
  return n > 0;
}

// Opens connections until `count` are open or no echo came for 10 s.
void openHeld(HeldSet* set, uint16_t to, long count, const std::vector<char>& message) {
  constexpr long kWindow = 64;
  set->want = message.size();
  Clock::time_point lastProgress = Clock::now();
  while (static_cast<long>(set->conns.size()) < count &&
         Clock::now() - lastProgress < std::chrono::seconds(10)) {
    const long waiting = static_cast<long>(set->conns.size()) - set->echoed - set->failed;
    if (waiting >= kWindow) {
      if (collectEchoes(set, 100)) lastProgress = Clock::now();
      continue;
    }
    Fd conn = connectTo(to, 10);
    if (!conn.valid() || !writeAll(conn.get(), message.data(), message.size())) break;
    setNonBlocking(conn.get());
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = set->conns.size();
    epoll_ctl(set->ep.get(), EPOLL_CTL_ADD, conn.get(), &ev);
    set->conns.push_back(std::move(conn));
    set->received.push_back(0);
    if (collectEchoes(set, 0)) lastProgress = Clock::now();
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
  while (set->echoed + set->failed < static_cast<long>(set->conns.size()) &&
         Clock::now() < deadline) {
    collectEchoes(set, 100);
  }
}

// Every connection echoed in the first round sends again while all are held.
long echoAllAgain(HeldSet* set, const std::vector<char>& message) {
  set->echoed = 0;
  set->want = 2 * message.size();
  long sent = 0;
  for (size_t i = 0; i < set->conns.size(); ++i) {
    if (set->received[i] != message.size()) continue;
    if (::send(set->conns[i].get(), message.data(), message.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(message.size())) {
      ++sent;
    }
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
  while (set->echoed < sent && Clock::now() < deadline) collectEchoes(set, 100);
  return set->echoed;
}

int runHold(const Options& options) {
  const auto to = static_cast<uint16_t>(optionNumber(options, "--to", 0));
  const long count = std::clamp(optionNumber(options, "--count", 1000), 1L, 60000L);
  const long hold = std::clamp(optionNumber(options, "--hold", 60), 1L, 600L);
  const auto size = static_cast<size_t>(std::clamp(optionNumber(options, "--size", 16), 1L, 4096L));
  const auto ready = options.find("--ready");
  if (to == 0 || ready == options.end()) return 2;
  blockStopSignals();
  const Clock::time_point start = Clock::now();
  HeldSet set;
  set.conns.reserve(static_cast<size_t>(count));
  const std::vector<char> message(size, 'h');
  openHeld(&set, to, count, message);
  const long opened = static_cast<long>(set.conns.size());
  const long firstRound = set.echoed;
  const long echoed = echoAllAgain(&set, message);
  std::printf("opened=%ld first_echoed=%ld echoed=%ld failed=%ld seconds=%.1f\n", opened,
              firstRound, echoed, set.failed, secondsSince(start));
  std::fflush(stdout);
  if (FILE* f = std::fopen(ready->second.c_str(), "w")) {
    std::fprintf(f, "%ld\n", echoed);
    std::fclose(f);
  }
  holdUntilSignal(hold);
  return echoed == count ? 0 : 1;
}

// --- chatty -------------------------------------------------------------------------------------

// Each connection's turn comes every `period`; the echoes are read as they come.
void chatUntil(const std::vector<Fd>& conns, Clock::duration period, Clock::time_point deadline,
               long* sent, long* echoed) {
  Fd ep(::epoll_create1(EPOLL_CLOEXEC));
  for (size_t i = 0; i < conns.size(); ++i) {
    epoll_event add{};
    add.events = EPOLLIN;
    add.data.u64 = i;
    epoll_ctl(ep.get(), EPOLL_CTL_ADD, conns[i].get(), &add);
  }
  const Clock::time_point start = Clock::now();
  std::vector<Clock::time_point> next(conns.size());
  for (size_t i = 0; i < next.size(); ++i) {
    next[i] = start + period * static_cast<long>(i) / static_cast<long>(next.size());
  }
  std::vector<epoll_event> events(256);
  char buffer[256];
  while (Clock::now() < deadline) {
    const Clock::time_point now = Clock::now();
    for (size_t i = 0; i < conns.size(); ++i) {
      if (now < next[i]) continue;
      if (::send(conns[i].get(), "c", 1, MSG_NOSIGNAL) == 1) ++*sent;
      next[i] += period;
    }
    const int n = ::epoll_wait(ep.get(), events.data(), static_cast<int>(events.size()), 1);
    for (int k = 0; k < n; ++k) {
      const ssize_t got = ::recv(conns[events[k].data.u64].get(), buffer, sizeof buffer, 0);
      if (got > 0) *echoed += got;
    }
  }
}

int runChatty(const Options& options) {
  const auto to = static_cast<uint16_t>(optionNumber(options, "--to", 0));
  const long count = std::clamp(optionNumber(options, "--count", 1000), 1L, 5000L);
  const long every = std::clamp(optionNumber(options, "--every", 600), 10L, 60000L);
  const long seconds = std::clamp(optionNumber(options, "--seconds", 10), 1L, 120L);
  Fd listener = listenOn(static_cast<uint16_t>(optionNumber(options, "--echo", 0)));
  if (!listener.valid() || to == 0) return 2;
  std::atomic<bool> stop{false};
  std::thread server(epollServer, listener.get(), true, &stop, nullptr);
  std::vector<Fd> conns;
  for (long i = 0; i < count; ++i) {
    Fd conn = connectTo(to, 10);
    if (!conn.valid()) {
      std::fprintf(stderr, "chatty connection %ld failed: %s\n", i, std::strerror(errno));
      break;
    }
    setNonBlocking(conn.get());
    conns.push_back(std::move(conn));
    if (i % 32 == 31) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // The set-up's own work is over before the measured time begins.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  long sent = 0;
  long echoed = 0;
  const Clock::time_point start = Clock::now();
  if (static_cast<long>(conns.size()) == count) {
    chatUntil(conns, std::chrono::milliseconds(every), start + std::chrono::seconds(seconds), &sent,
              &echoed);
  }
  const double elapsed = secondsSince(start);
  conns.clear();
  stop = true;
  server.join();
  std::printf("sent=%ld echoed=%ld seconds=%.3f\n", sent, echoed, elapsed);
  return sent > 0 && echoed >= sent - count ? 0 : 1;
}

int usage() {
  std::fprintf(stderr,
               "usage: bench_tool ports N | stream --to P --sink P --bytes N [--timeout S] |\n"
               "       rate --to P --echo P --seconds S --max N [--clients C] [--size B] |\n"
               "       idle --to P --sink P --count N --ready FILE [--hold S] |\n"
               "       chatty --to P --echo P --count N --every MS --seconds S |\n"
               "       echo --listen P [--hold S] |\n"
               "       hold --to P --count N --ready FILE [--size B] [--hold S]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  signal(SIGPIPE, SIG_IGN);
  const std::string mode = argv[1];
  if (mode == "ports")
    return argc == 3 ? printFreePorts(std::strtol(argv[2], nullptr, 10)) : usage();
  Options options;
  for (int i = 2; i + 1 < argc; i += 2) options[argv[i]] = argv[i + 1];
  if (mode == "stream") return runStream(options);
  if (mode == "rate") return runRate(options);
  if (mode == "idle") return runIdle(options);
  if (mode == "chatty") return runChatty(options);
  if (mode == "echo") return runEcho(options);
  if (mode == "hold") return runHold(options);
  return usage();
}
