#include "relay/data_pump.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "config/settings.h"
#include "log/log.h"
#include "log/sinks.h"
#include "platform/socket_errors.h"
#include "relay/observer.h"
#include "relay/pump_test_support.h"
#include "relay/relay_state.h"

namespace {

using namespace std::chrono_literals;
using platform::UniqueFd;
using relay::PumpEnd;
using relay::PumpReport;
using namespace pump_test;

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

bool sendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads until `size` bytes came, the peer ended, or the 10 s time-out passed.
std::string receive(int fd, size_t size) {
  std::string data;
  char chunk[65536];
  while (data.size() < size) {
    const ssize_t n = recv(fd, chunk, std::min(sizeof chunk, size - data.size()), 0);
    if (n <= 0) break;
    data.append(chunk, static_cast<size_t>(n));
  }
  return data;
}

// True when the peer sees the end of the stream (or a reset) within the time-out.
bool seesEnd(int fd) {
  char byte;
  return recv(fd, &byte, 1, 0) <= 0;
}

// One pump on its own thread between two peers; ending it closes both peers' sending sides.
class PumpRun {
 public:
  PumpRun(PumpEnd client, PumpEnd dest, const PumpReport& report)
      : clientFd_(client.fd.get()), destFd_(dest.fd.get()) {
    thread_ = std::thread([this, c = std::move(client), d = std::move(dest), report]() mutable {
      relay::dataPump(std::move(c), std::move(d), report);
      done_ = true;
    });
  }
  PumpRun(const PumpRun&) = delete;
  PumpRun& operator=(const PumpRun&) = delete;
  ~PumpRun() { thread_.join(); }

  bool ended(std::chrono::milliseconds limit = 10000ms) {
    return waitUntil([this] { return done_.load(); }, limit);
  }
  // The pump's own descriptors are gone once it ended (checked before anything opens new ones).
  bool descriptorsClosed() const {
    return fcntl(clientFd_, F_GETFD) == -1 && fcntl(destFd_, F_GETFD) == -1;
  }

 private:
  int clientFd_;
  int destFd_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// A plain relay between two peers.
struct PlainRelay {
  explicit PlainRelay(const PumpReport& report) {
    auto [cPeer, cSide] = tcpPair();
    auto [dPeer, dSide] = tcpPair();
    clientPeer = std::move(cPeer);
    destPeer = std::move(dPeer);
    pump = std::make_unique<PumpRun>(PumpEnd{std::move(cSide), nullptr},
                                     PumpEnd{std::move(dSide), nullptr}, report);
  }
  ~PlainRelay() {
    shutdown(clientPeer.get(), SHUT_RDWR);
    shutdown(destPeer.get(), SHUT_RDWR);
    pump.reset();
  }
  UniqueFd clientPeer;
  UniqueFd destPeer;
  std::unique_ptr<PumpRun> pump;
};

class DataPump : public pump_test::PumpFixture {
 protected:
  void SetUp() override {
    PumpFixture::SetUp();
    settings_.verbose = 0;
    settings_.statsEnable = 0;
  }
};

// Both peers send `size` bytes at the same time and check what they receive.
void exchange(int a, int b, size_t size) {
  const std::string toB = pattern(size, 1);
  const std::string toA = pattern(size, 2);
  std::string atA;
  std::string atB;
  std::thread sendA([&] { EXPECT_TRUE(sendAll(a, toB)); });
  std::thread sendB([&] { EXPECT_TRUE(sendAll(b, toA)); });
  std::thread readA([&] { atA = receive(a, size); });
  atB = receive(b, size);
  readA.join();
  sendA.join();
  sendB.join();
  EXPECT_TRUE(atB == toB) << "a to b: " << atB.size() << " of " << size << " bytes, or changed";
  EXPECT_TRUE(atA == toA) << "b to a: " << atA.size() << " of " << size << " bytes, or changed";
}

TEST_F(DataPump, RelaysBothWaysAtOnceAndCountsWhileStatsAreOn) {
  settings_.statsEnable = 1;
  settings_.tcpLoopsleep = 1;  // one pause per round must not lose or reorder bytes
  const relay::RelayStats::Figures before = state_->stats.snapshot();
  constexpr size_t kSize = 6 << 20;
  {
    PlainRelay relay(report());
    ASSERT_TRUE(sendAll(relay.clientPeer.get(), "hello"));
    EXPECT_EQ(receive(relay.destPeer.get(), 5), "hello");
    const relay::RelayStats::Figures during = state_->stats.snapshot();
    EXPECT_EQ(during.connectionsTotal, before.connectionsTotal + 1);
    EXPECT_EQ(during.connectionsActive, before.connectionsActive + 1);
    exchange(relay.clientPeer.get(), relay.destPeer.get(), kSize);
    // A half-closed client still gets its answer.
    shutdown(relay.clientPeer.get(), SHUT_WR);
    EXPECT_TRUE(seesEnd(relay.destPeer.get()));
    ASSERT_TRUE(sendAll(relay.destPeer.get(), "answer"));
    EXPECT_EQ(receive(relay.clientPeer.get(), 6), "answer");
    EXPECT_FALSE(relay.pump->ended(50ms));
    shutdown(relay.destPeer.get(), SHUT_WR);
    ASSERT_TRUE(relay.pump->ended());
  }
  const relay::RelayStats::Figures after = state_->stats.snapshot();
  EXPECT_EQ(after.connectionsActive, before.connectionsActive);
  EXPECT_EQ(after.bytesClientToDest, before.bytesClientToDest + kSize + 5);
  EXPECT_EQ(after.bytesDestToClient, before.bytesDestToClient + kSize + 6);

  settings_.statsEnable = 0;
  {
    PlainRelay relay(report());
    exchange(relay.clientPeer.get(), relay.destPeer.get(), 100000);
  }
  const relay::RelayStats::Figures off = state_->stats.snapshot();
  EXPECT_EQ(off.connectionsTotal, after.connectionsTotal);
  EXPECT_EQ(off.bytesClientToDest, after.bytesClientToDest);
}

TEST_F(DataPump, DestinationClosingFirstDeliversItsLastBytesAndClosesBoth) {
  settings_.verbose = 1;
  PlainRelay relay(report());
  const std::string last = pattern(300000, 3);
  ASSERT_TRUE(sendAll(relay.destPeer.get(), last));
  relay.destPeer.reset();
  EXPECT_TRUE(receive(relay.clientPeer.get(), last.size()) == last);
  EXPECT_TRUE(seesEnd(relay.clientPeer.get()));
  relay.clientPeer.reset();
  ASSERT_TRUE(relay.pump->ended());
  EXPECT_TRUE(relay.pump->descriptorsClosed());
  EXPECT_TRUE(hasEntry("Disconnect 127.0.0.1.5555 from 10.1.2.3.443: No error.", 0x6052));
}

TEST_F(DataPump, DisconnectLineFollowsTheStyleAndVerbose) {
  {
    PlainRelay quiet(report());
    quiet.clientPeer.reset();
    quiet.destPeer.reset();
    ASSERT_TRUE(quiet.pump->ended());
  }
  EXPECT_EQ(countLines("Disconnect", 0x6052), 0) << "the line needs verbose";
  PumpReport custom = report();
  custom.frontEndStyle = true;
  {
    PlainRelay frontEnd(custom);
    frontEnd.clientPeer.reset();
    frontEnd.destPeer.reset();
    ASSERT_TRUE(frontEnd.pump->ended());
  }
  EXPECT_TRUE(hasEntry("Disconnect 127.0.0.1:5555 from 10.1.2.3:443 : No error.", 0x6001));
  for (const auto& e : sink_.entries()) {
    if (e.code == 0x6001) {
      EXPECT_EQ(e.cls, 1u) << "LOG_ERROR";
    }
  }
}

TEST_F(DataPump, PeerResetWhileSendingEndsWithoutSigpipe) {
  settings_.verbose = 1;
  PlainRelay relay(report());
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    const std::string block = pattern(65536, 4);
    for (int i = 0; i < 2000 && !stop; ++i) {
      if (send(relay.clientPeer.get(), block.data(), block.size(), MSG_NOSIGNAL) <= 0) break;
    }
  });
  EXPECT_EQ(receive(relay.destPeer.get(), 100000).size(), 100000u);
  const linger reset{1, 0};
  setsockopt(relay.destPeer.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  relay.destPeer.reset();  // RST: the pump's next writes fail with EPIPE or ECONNRESET
  EXPECT_TRUE(relay.pump->ended());
  stop = true;
  flood.join();
  EXPECT_TRUE(relay.pump->descriptorsClosed());
  EXPECT_EQ(countLines("Disconnect 127.0.0.1.5555 from 10.1.2.3.443: ", 0x6052), 1);
  EXPECT_FALSE(hasEntry("Disconnect 127.0.0.1.5555 from 10.1.2.3.443: No error.", 0x6052));
}

TEST_F(DataPump, IdleConnectionEndsOnlyWhenIdleSecondsAreSet) {
  settings_.verbose = 1;
  {
    PlainRelay forever(report());
    EXPECT_FALSE(forever.pump->ended(1500ms)) << "0 idle seconds must wait forever";
    ASSERT_TRUE(sendAll(forever.clientPeer.get(), "late"));
    EXPECT_EQ(receive(forever.destPeer.get(), 4), "late");
  }
  PumpReport custom = report();
  custom.idleSeconds = 1;
  PlainRelay idle(custom);
  ASSERT_TRUE(sendAll(idle.clientPeer.get(), "x"));
  EXPECT_EQ(receive(idle.destPeer.get(), 1), "x");
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(idle.pump->ended(5000ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 800ms);
  EXPECT_TRUE(seesEnd(idle.clientPeer.get()));
  EXPECT_TRUE(hasEntry("Disconnect 127.0.0.1.5555 from 10.1.2.3.443: Timeout.", 0x6052));
}

TEST_F(DataPump, DescriptorAbove1023Works) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  constexpr rlim_t kHigh = 1500;
  if (limit.rlim_cur <= kHigh) {
    rlimit raised = limit;
    raised.rlim_cur = std::min<rlim_t>(limit.rlim_max, 2048);
    if (raised.rlim_cur <= kHigh || setrlimit(RLIMIT_NOFILE, &raised) != 0) {
      GTEST_SKIP() << "descriptor limit cannot be raised above " << kHigh;
    }
  }
  auto [cPeer, cSide] = tcpPair();
  auto [dPeer, dSide] = tcpPair();
  ASSERT_EQ(dup2(cSide.get(), static_cast<int>(kHigh)), static_cast<int>(kHigh));
  UniqueFd high(static_cast<int>(kHigh));
  cSide.reset();
  {
    PumpRun pump(PumpEnd{std::move(high), nullptr}, PumpEnd{std::move(dSide), nullptr}, report());
    exchange(cPeer.get(), dPeer.get(), 1 << 20);
    cPeer.reset();
    dPeer.reset();
    ASSERT_TRUE(pump.ended());
    EXPECT_TRUE(pump.descriptorsClosed());
  }
  setrlimit(RLIMIT_NOFILE, &limit);
}

TEST_F(DataPump, SslOnBothEndsOfALinkRelaysBothWaysAtOnce) {
  TlsContexts tls;
  ASSERT_TRUE(tls.ok);
  // plain peer A - pump 1 - SSL link - pump 2 - plain peer B
  auto [aPeer, aSide] = tcpPair();
  auto [link1, link2] = tcpPair();
  auto [bPeer, bSide] = tcpPair();
  relay::SslPtr out(SSL_new(tls.client.get()));
  relay::SslPtr in(SSL_new(tls.server.get()));
  ASSERT_TRUE(handshake(out.get(), link1.get(), in.get(), link2.get()));
  {
    PumpRun first(PumpEnd{std::move(aSide), nullptr}, PumpEnd{std::move(link1), std::move(out)},
                  report());
    PumpRun second(PumpEnd{std::move(link2), std::move(in)}, PumpEnd{std::move(bSide), nullptr},
                   report());
    exchange(aPeer.get(), bPeer.get(), 3 << 20);
    aPeer.reset();
    EXPECT_TRUE(seesEnd(bPeer.get())) << "the end travels over the SSL link";
    bPeer.reset();
    EXPECT_TRUE(first.ended());
    EXPECT_TRUE(second.ended());
  }
}

TEST_F(DataPump, RecordsAlreadyInsideTheSslObjectAreDeliveredWithoutMoreTraffic) {
  TlsContexts tls;
  ASSERT_TRUE(tls.ok);
  auto [link1, link2] = tcpPair();
  auto [bPeer, bSide] = tcpPair();
  relay::SslPtr peer(SSL_new(tls.client.get()));
  relay::SslPtr side(SSL_new(tls.server.get()));
  // Read-ahead lets one socket read pull many records into the SSL object at once.
  SSL_set_read_ahead(side.get(), 1);
  ASSERT_TRUE(handshake(peer.get(), link1.get(), side.get(), link2.get()));

  // The records wait in the socket before the pump starts; the key update asks for an answer.
  ASSERT_EQ(SSL_key_update(peer.get(), SSL_KEY_UPDATE_REQUESTED), 1);
  const std::string small = pattern(100, 5);
  std::string expected;
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(SSL_write(peer.get(), small.data(), static_cast<int>(small.size())), 100);
    expected += small;
  }
  const std::string large = pattern(16384, 6);
  ASSERT_EQ(SSL_write(peer.get(), large.data(), static_cast<int>(large.size())), 16384);
  expected += large;

  PumpRun pump(PumpEnd{std::move(link2), std::move(side)}, PumpEnd{std::move(bSide), nullptr},
               report());
  EXPECT_TRUE(receive(bPeer.get(), expected.size()) == expected);

  const std::string reply = pattern(200000, 7);
  ASSERT_TRUE(sendAll(bPeer.get(), reply));
  std::string got(reply.size(), '\0');
  size_t have = 0;
  while (have < got.size()) {
    const int n = SSL_read(peer.get(), got.data() + have, static_cast<int>(got.size() - have));
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  EXPECT_TRUE(got == reply) << have << " of " << reply.size() << " bytes";
  peer.reset();
  link1.reset();
  EXPECT_TRUE(seesEnd(bPeer.get()));
  bPeer.reset();
  EXPECT_TRUE(pump.ended());
  ERR_clear_error();
}

// Keeps what the pump hands the buffer view.
class Viewer final : public relay::RelayObserver {
 public:
  void logLine(const logging::LogLine&) override {}
  void relayedChunk(const uint8_t* data, size_t size, bool fromClient) override {
    std::lock_guard<std::mutex> hold(mutex);
    viewed += fromClient ? '>' : '<';
    viewed.append(reinterpret_cast<const char*>(data), size);
  }
  std::string askPassphrase(const std::string&) override { return {}; }
  bool askClientCertificate(const std::string&, relay::ClientCredentials*) override {
    return false;
  }
  std::mutex mutex;  // guards viewed
  std::string viewed;
};

TEST_F(DataPump, BufferViewGetsACopyOfEveryBlock) {
  Viewer viewer;
  state_->observer.attach(&viewer, true);
  {
    PlainRelay relay(report());
    ASSERT_TRUE(sendAll(relay.clientPeer.get(), "ping"));
    EXPECT_EQ(receive(relay.destPeer.get(), 4), "ping");
    ASSERT_TRUE(sendAll(relay.destPeer.get(), "pong"));
    EXPECT_EQ(receive(relay.clientPeer.get(), 4), "pong");
  }
  state_->observer.withdraw();
  std::lock_guard<std::mutex> hold(viewer.mutex);
  EXPECT_EQ(viewer.viewed, ">ping<pong");
}

}  // namespace

namespace {

// recv's outcome on a peer once the relay ended its side: the bytes, then 0 for a clean end or -1
// with the errno of a reset.
int endSeen(int fd, std::string* bytes) {
  char buf[4096];
  for (int i = 0; i < 1000; ++i) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      bytes->append(buf, static_cast<size_t>(n));
      continue;
    }
    return n == 0 ? 0 : errno;
  }
  return -1;
}

// A destination reset mid-transfer is passed on as a reset: the plain client sees ECONNRESET,
// the TLS client no close_notify; a destination that ends cleanly gives a clean end.
TEST_F(DataPump, AResetIsPassedOnAsAResetAndACleanEndStaysClean) {
  for (bool resetDest : {false, true}) {
    SCOPED_TRACE(resetDest ? "reset" : "clean");
    PlainRelay relay(report());
    ASSERT_TRUE(sendAll(relay.destPeer.get(), "partial"));
    if (resetDest) {
      const linger reset{1, 0};
      setsockopt(relay.destPeer.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    relay.destPeer.reset();
    std::string got;
    EXPECT_EQ(endSeen(relay.clientPeer.get(), &got), resetDest ? ECONNRESET : 0);
    if (!resetDest) {
      EXPECT_EQ(got, "partial");
    }
    relay.clientPeer.reset();
    EXPECT_TRUE(relay.pump->ended());
  }

  TlsContexts tls(false);  // both would send close_notify at a clean end
  ASSERT_TRUE(tls.ok);
  auto [link1, link2] = tcpPair();
  auto [bPeer, bSide] = tcpPair();
  relay::SslPtr peer(SSL_new(tls.client.get()));
  relay::SslPtr side(SSL_new(tls.server.get()));
  ASSERT_TRUE(handshake(peer.get(), link1.get(), side.get(), link2.get()));
  PumpRun pump(PumpEnd{std::move(link2), std::move(side)}, PumpEnd{std::move(bSide), nullptr},
               report());
  const linger reset{1, 0};
  setsockopt(bPeer.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  bPeer.reset();
  char byte = 0;
  const int n = SSL_read(peer.get(), &byte, 1);
  EXPECT_LE(n, 0);
  EXPECT_NE(SSL_get_error(peer.get(), n), SSL_ERROR_ZERO_RETURN) << "a close_notify came";
  EXPECT_TRUE(pump.ended());
  ERR_clear_error();
}

}  // namespace
