// The listeners when the system fails them (no thread to give, accepts that fail) and when
// clients come faster than they may: the connection concerned is closed and told, the listener
// goes on serving.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "platform/registry.h"
#include "platform/syscalls.h"
#include "platform/threads.h"
#include "relay/log_throttle.h"
#include "relay/relay.h"
#include "relay/relay_fixture.h"
#include "relay/worker_pool.h"
#include "support/support.h"

namespace {

using namespace std::chrono_literals;
using relay_test::InProcessRelay;
using relay_test::StoreValues;

// A destination that accepts connections and keeps them until the test lets one go.
class HoldingServer {
 public:
  explicit HoldingServer(uint16_t port) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    const int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ok_ = bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
          listen(listener_, 16) == 0;
  }
  ~HoldingServer() {
    for (int fd : accepted_) close(fd);
    close(listener_);
  }
  bool ok() const { return ok_; }
  // The next connection the relay made, bounded by a 10 s wait.
  int next() {
    timeval tv{10, 0};
    setsockopt(listener_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const int fd = accept(listener_, nullptr, nullptr);
    if (fd >= 0) {
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      accepted_.push_back(fd);
    }
    return fd;
  }

 private:
  int listener_ = -1;
  bool ok_ = false;
  std::vector<int> accepted_;
};

// A system out of threads, or one whose accepts fail, for as long as a test says.
class FailingSystem : public platform::SysCalls {
 public:
  std::atomic<int> threadError{0};  // every thread start fails with it while non-zero
  std::vector<int> acceptErrors;    // the next accepts fail with these, in order (set beforehand)

  int threadCreate(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                   void* argument) override {
    if (const int err = threadError.load(); err != 0) return err;
    return SysCalls::threadCreate(thread, attributes, start, argument);
  }
  int accept(int fd, sockaddr* address, socklen_t* length, int flags) override {
    if (const size_t n = acceptsFailed_.fetch_add(1); n < acceptErrors.size()) {
      errno = acceptErrors[n];
      return -1;
    }
    return SysCalls::accept(fd, address, length, flags);
  }

 private:
  std::atomic<size_t> acceptsFailed_{0};
};

TEST(Listener, AConnectionWithoutAThreadIsClosedAndTheListenerGoesOn) {
  test_support::TempDir folder;
  platform::setHiveDirectory(folder.path());
  const uint16_t port = test_support::freePort();
  const uint16_t closed = test_support::freePort();
  StoreValues store(platform::Hive::kCurrentUser);
  store.quietSettings();
  store.rule(1, port, "127.0.0.1", closed);
  FailingSystem system;
  platform::SysCallsOverride failing(&system);
  {
    InProcessRelay relay;
    ASSERT_TRUE(relay.start());
    ASSERT_EQ(relay.relay.listenerCount(), 1);

    system.threadError = EAGAIN;
    const int first = test_support::connectLocal(port);
    ASSERT_GE(first, 0);
    EXPECT_EQ(test_support::receive(first, 1, 10s), "");  // closed, not left hanging
    close(first);
    EXPECT_TRUE(relay.observer.waitFor("Couldn't create I/O thread for 127.0.0.1."));
    // The pool refuses work it has no thread for, instead of queueing it behind nobody.
    relay::WorkPool pool;
    relay::createPool(&pool);
    EXPECT_EQ(relay::postWork(
                  &pool, [](void*) {}, nullptr),
              0);
    system.threadError = 0;

    const int second = test_support::connectLocal(port);
    ASSERT_GE(second, 0);
    EXPECT_TRUE(relay.observer.waitFor("Couldn't connect to 127.0.0.1."));  // it was handled
    close(second);
    relay::destroyPool(&pool);
  }
  platform::setHiveDirectory("");
}

// Accepts that fail for want of descriptors, buffers, memory or a firewall's leave are told and
// waited out; those that only lost a connection from the queue are tried again at once. The
// listener serves the next connection either way.
TEST(Listener, AcceptFailuresThatPassKeepTheListener) {
  test_support::TempDir folder;
  platform::setHiveDirectory(folder.path());
  const uint16_t port = test_support::freePort();
  const uint16_t destPort = test_support::freePort();
  HoldingServer dest(destPort);
  ASSERT_TRUE(dest.ok());
  StoreValues store(platform::Hive::kCurrentUser);
  store.quietSettings();
  store.rule(1, port, "127.0.0.1", destPort);
  FailingSystem system;
  system.acceptErrors = {EMFILE, EINTR, ENFILE, ECONNABORTED, ENOBUFS, EPROTO, ENOMEM, EPERM};
  platform::SysCallsOverride failing(&system);
  InProcessRelay relay;
  ASSERT_TRUE(relay.start());
  const std::string told = "Accept failed on port " + std::to_string(port) + ": ";
  ASSERT_TRUE(relay.observer.waitFor(told, 5));
  for (const char* text : {"EMFILE.", "No buffers."}) {
    bool found = false;
    for (const std::string& line : relay.observer.lines()) found |= line == told + text;
    EXPECT_TRUE(found) << text;
  }
  EXPECT_TRUE(relay.relay.listenerRunning(htons(port)));
  const int client = test_support::connectLocal(port);
  ASSERT_GE(client, 0);
  const int at = dest.next();
  ASSERT_GE(at, 0) << "the listener no longer serves";
  ASSERT_TRUE(test_support::sendAll(client, "after"));
  EXPECT_EQ(test_support::receive(at, 5), "after");
  EXPECT_EQ(relay.observer.count(told), 5) << "a connection lost from the queue is no failure";
  close(client);
  relay.relay.shutdown();
  platform::setHiveDirectory("");
}

TEST(Listener, ConnectionsAboveTheLimitAreRefusedUntilOneEnds) {
  test_support::TempDir folder;
  platform::setHiveDirectory(folder.path());
  const uint16_t port = test_support::freePort();
  const uint16_t destPort = test_support::freePort();
  HoldingServer dest(destPort);
  ASSERT_TRUE(dest.ok());
  StoreValues store(platform::Hive::kCurrentUser);
  store.quietSettings();
  store.dword("", "tcp.close.sockets", 0);  // a refused connection is closed all the same
  store.dword("", "tcp.max.connections", 2);
  store.rule(1, port, "127.0.0.1", destPort);
  InProcessRelay relay;
  ASSERT_TRUE(relay.start());
  ASSERT_TRUE(relay.relay.listenerRunning(htons(port)));

  int held[2];
  int heldDest[2];
  for (int i = 0; i < 2; ++i) {
    held[i] = test_support::connectLocal(port);
    ASSERT_GE(held[i], 0);
    heldDest[i] = dest.next();
    ASSERT_GE(heldDest[i], 0);
  }
  const int refused = test_support::connectLocal(port);
  ASSERT_GE(refused, 0);
  EXPECT_EQ(test_support::receive(refused, 1, 10s), "") << "closed at once, not left hanging";
  close(refused);
  const std::string line = "Connection limit of 2 reached, refusing connection to port " +
                           std::to_string(port) + " from 127.0.0.1.";
  EXPECT_TRUE(relay.observer.waitFor(line));

  // A flood of refused connections writes a few lines a second, and tells what it left out.
  constexpr int kFlood = 40;
  const auto floodStart = std::chrono::steady_clock::now();
  for (int i = 0; i < kFlood; ++i) {
    const int fd = test_support::connectLocal(port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(test_support::receive(fd, 1, 10s), "");
    close(fd);
  }
  const int written = relay.observer.count(line);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::steady_clock::now() - floodStart)
                           .count();
  EXPECT_LE(written, (seconds + 2) * relay::LogThrottle::kLinesPerSecond)
      << "the flood went into the log";
  if (written < kFlood + 1) {
    std::this_thread::sleep_for(1100ms);  // a new second: the next refusal is written again
    const int late = test_support::connectLocal(port);
    ASSERT_GE(late, 0);
    EXPECT_EQ(test_support::receive(late, 1, 10s), "");
    close(late);
    ASSERT_TRUE(relay.observer.waitFor(line, written + 1));
    const std::vector<std::string> lines = relay.observer.lines();
    uint64_t told = 0;
    for (const std::string& text : lines) {
      unsigned long long n = 0;
      if (sscanf(text.c_str(), "%llu lines like the next one were left out", &n) == 1) told += n;
    }
    EXPECT_EQ(told + relay.observer.count(line), static_cast<uint64_t>(kFlood + 2))
        << "every refusal is either written or counted";
  }
  ASSERT_TRUE(test_support::sendAll(held[1], "still relayed"));
  EXPECT_EQ(test_support::receive(heldDest[1], 13), "still relayed");

  // One connection ends (both its ends close): its place is given back.
  close(held[0]);
  shutdown(heldDest[0], SHUT_RDWR);
  bool served = false;
  for (int attempt = 0; attempt < 50 && !served; ++attempt) {
    const int again = test_support::connectLocal(port);
    ASSERT_GE(again, 0);
    ASSERT_TRUE(test_support::sendAll(again, "ping"));
    pollfd wait{again, POLLIN, 0};
    if (poll(&wait, 1, 300) == 0) {  // not closed at once: the relay took it
      const int at = dest.next();
      served = at >= 0 && test_support::receive(at, 4) == "ping";
    }
    close(again);
  }
  EXPECT_TRUE(served) << "a connection is served again once one ended";
  close(held[1]);
  relay.relay.shutdown();
  platform::setHiveDirectory("");
}

}  // namespace
