// The data pump's lean paths: plain-to-plain directions spliced through a pipe, SSL sides that
// read several records at once and send a block's records together, and buffers and pipes that
// a quiet connection gives back and makes again when bytes flow once more.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "config/settings.h"
#include "log/log.h"
#include "log/sinks.h"
#include "platform/socket_errors.h"
#include "relay/connect_info.h"
#include "relay/data_pump.h"
#include "relay/pump_test_support.h"
#include "relay/relay_state.h"
#include "support/support.h"

namespace {

using namespace std::chrono_literals;
using platform::UniqueFd;
using relay::PumpEnd;
using relay::PumpReport;
using namespace pump_test;

// Pipes this process holds open: only the pump makes pipes in this test program.
int openPipes() {
  int pipes = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) {
    char target[64] = {};
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    if (readlink(link.c_str(), target, sizeof target - 1) > 0 &&
        std::string(target).rfind("pipe:", 0) == 0) {
      ++pipes;
    }
  }
  closedir(dir);
  return pipes;
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// One pump on its own thread, like a connection thread.
class PumpRun {
 public:
  PumpRun(PumpEnd client, PumpEnd dest, const PumpReport& report) {
    thread_ = std::thread([this, c = std::move(client), d = std::move(dest), report]() mutable {
      relay::dataPump(std::move(c), std::move(d), report);
      done_ = true;
    });
  }
  PumpRun(const PumpRun&) = delete;
  PumpRun& operator=(const PumpRun&) = delete;
  ~PumpRun() { thread_.join(); }
  bool ended() {
    return waitFor([this] { return done_.load(); }, 10000ms);
  }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Sends and receives at the same time, so that neither side's socket buffer fills for good.
void exchange(int a, int b, size_t size, unsigned seed) {
  const std::string toB = pattern(size, seed);
  const std::string toA = pattern(size, seed + 1);
  std::string atA;
  std::thread sender([&] {
    EXPECT_TRUE(test_support::sendAll(a, toB));
    EXPECT_TRUE(test_support::sendAll(b, toA));
  });
  std::thread reader([&] { atA = test_support::receive(a, size); });
  const std::string atB = test_support::receive(b, size);
  reader.join();
  sender.join();
  EXPECT_TRUE(atB == toB) << "to b: " << atB.size() << " of " << size << " bytes, or changed";
  EXPECT_TRUE(atA == toA) << "to a: " << atA.size() << " of " << size << " bytes, or changed";
}

class PumpPaths : public pump_test::PumpFixture {
 protected:
  void SetUp() override {
    PumpFixture::SetUp();
    settings_.verbose = 1;
    settings_.statsEnable = 1;
  }
};

TEST_F(PumpPaths, PlainSidesSpliceThroughAPipeKeepHalfCloseAndReturnThePipesWhenQuiet) {
  auto [client, clientSide] = tcpPair();
  auto [dest, destSide] = tcpPair();
  const int pipesBefore = openPipes();
  const relay::RelayStats::Figures before = state_->stats.snapshot();
  PumpRun pump(PumpEnd{std::move(clientSide), nullptr}, PumpEnd{std::move(destSide), nullptr},
               report());

  // The destination reads nothing yet: the bytes wait in the pump's pipe, not in a buffer.
  const std::string request = pattern(8 << 20, 1);
  std::thread sender([&] { EXPECT_TRUE(test_support::sendAll(client.get(), request)); });
  EXPECT_TRUE(waitFor([&] { return openPipes() > pipesBefore; })) << "no pipe carries the bytes";
  EXPECT_TRUE(test_support::receive(dest.get(), request.size()) == request);
  sender.join();
  exchange(client.get(), dest.get(), 3 << 20, 2);

  // Quiet for a while: the pipes go back. Busy again: new ones carry the next bytes.
  EXPECT_TRUE(waitFor([&] { return openPipes() == pipesBefore; }, 3000ms));
  exchange(client.get(), dest.get(), 1 << 20, 4);

  // The client ends its sending; the answer to the half-closed request still arrives whole.
  shutdown(client.get(), SHUT_WR);
  char byte = 0;
  EXPECT_EQ(recv(dest.get(), &byte, 1, 0), 0) << "the destination sees the client's end";
  const std::string answer = pattern(2 << 20, 6);
  ASSERT_TRUE(test_support::sendAll(dest.get(), answer));
  dest.reset();
  EXPECT_TRUE(test_support::receive(client.get(), answer.size() + 1) == answer);
  EXPECT_TRUE(pump.ended());
  const relay::RelayStats::Figures after = state_->stats.snapshot();
  EXPECT_EQ(after.bytesClientToDest - before.bytesClientToDest, request.size() + (4 << 20));
  EXPECT_EQ(after.bytesDestToClient - before.bytesDestToClient, answer.size() + (4 << 20));
  EXPECT_TRUE(logged("Disconnect 127.0.0.1.5555 from 10.1.2.3.443: No error."));
  EXPECT_EQ(openPipes(), pipesBefore);
}

TEST_F(PumpPaths, ResetOfASplicedDestinationEndsTheRelayWithItsError) {
  auto [client, clientSide] = tcpPair();
  auto [dest, destSide] = tcpPair();
  const int pipesBefore = openPipes();
  PumpRun pump(PumpEnd{std::move(clientSide), nullptr}, PumpEnd{std::move(destSide), nullptr},
               report());
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    const std::string block = pattern(65536, 7);
    for (int i = 0; i < 2000 && !stop; ++i) {
      if (send(client.get(), block.data(), block.size(), MSG_NOSIGNAL) <= 0) break;
    }
  });
  EXPECT_EQ(test_support::receive(dest.get(), 300000).size(), 300000u);
  const linger reset{1, 0};
  setsockopt(dest.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  dest.reset();  // RST while the pipe still holds bytes for it
  EXPECT_TRUE(pump.ended());
  stop = true;
  flood.join();
  EXPECT_FALSE(logged("Disconnect 127.0.0.1.5555 from 10.1.2.3.443: No error."));
  EXPECT_TRUE(logged("Disconnect 127.0.0.1.5555 from 10.1.2.3.443: Connection reset.") ||
              logged("Disconnect 127.0.0.1.5555 from 10.1.2.3.443: Connection shut down."))
      << "the end names the reset";
  EXPECT_EQ(openPipes(), pipesBefore);
}

TEST_F(PumpPaths, SslRecordsArrivingInOneReadAreAllDeliveredAndTheEndBehindThem) {
  TlsContexts tls(false);  // close_notify is part of what is relayed
  ASSERT_TRUE(tls.ok);
  auto [link, linkSide] = tcpPair();
  auto [dest, destSide] = tcpPair();
  relay::SslPtr peer(SSL_new(tls.client.get()));
  relay::SslPtr side(SSL_new(tls.server.get()));
  ASSERT_TRUE(handshake(peer.get(), link.get(), side.get(), linkSide.get()));
  PumpRun pump(PumpEnd{std::move(linkSide), std::move(side)}, PumpEnd{std::move(destSide), nullptr},
               report());

  // The peer's records are gathered first and then sent with one send: many small ones, full
  // ones, and the close_notify behind them, so that one read of the pump brings them all.
  BIO* gathered = BIO_new(BIO_s_mem());
  ASSERT_NE(gathered, nullptr);
  SSL_set0_wbio(peer.get(), gathered);  // the socket stays the read BIO
  std::string expected;
  for (int i = 0; i < 30; ++i) {
    const std::string record = pattern(100 + i, 10 + i);
    ASSERT_GT(SSL_write(peer.get(), record.data(), static_cast<int>(record.size())), 0);
    expected += record;
  }
  const std::string large = pattern(5 * 16384 + 77, 50);
  ASSERT_GT(SSL_write(peer.get(), large.data(), static_cast<int>(large.size())), 0);
  expected += large;
  char* bytes = nullptr;
  const long size = BIO_get_mem_data(gathered, &bytes);
  const std::string records(bytes, static_cast<size_t>(size));
  (void)BIO_reset(gathered);

  // All but the tail of the last record first: every whole record arrives, the rest waits.
  // The large block made five full records and one of 77 bytes, whose tail is held back.
  const size_t whole = expected.size() - 77;
  ASSERT_TRUE(test_support::sendAll(link.get(), records.substr(0, records.size() - 10)));
  EXPECT_TRUE(test_support::receive(dest.get(), whole) == expected.substr(0, whole));
  ASSERT_TRUE(test_support::sendAll(link.get(), records.substr(records.size() - 10)));
  EXPECT_TRUE(test_support::receive(dest.get(), 77) == expected.substr(whole));

  // Records and the end in one send: the records are delivered, then the end is passed on.
  const std::string last = pattern(3000, 60);
  ASSERT_GT(SSL_write(peer.get(), last.data(), static_cast<int>(last.size())), 0);
  ASSERT_GT(SSL_write(peer.get(), last.data(), static_cast<int>(last.size())), 0);
  SSL_shutdown(peer.get());
  const long tail = BIO_get_mem_data(gathered, &bytes);
  ASSERT_TRUE(test_support::sendAll(link.get(), std::string(bytes, static_cast<size_t>(tail))));
  EXPECT_TRUE(test_support::receive(dest.get(), 2 * last.size() + 1) == last + last)
      << "the records before the close_notify, then the end";
  dest.reset();
  EXPECT_TRUE(pump.ended());
  ERR_clear_error();
}

TEST_F(PumpPaths, SslChainGoesQuietAndCarriesBothWaysAgainAfterItsBuffersWentBack) {
  TlsContexts tls(false);
  ASSERT_TRUE(tls.ok);
  // plain client - pump 1 - SSL link - pump 2 - plain destination
  auto [client, clientSide] = tcpPair();
  auto [link1, link2] = tcpPair();
  auto [dest, destSide] = tcpPair();
  relay::SslPtr out(SSL_new(tls.client.get()));
  relay::SslPtr in(SSL_new(tls.server.get()));
  ASSERT_TRUE(handshake(out.get(), link1.get(), in.get(), link2.get()));
  PumpRun first(PumpEnd{std::move(clientSide), nullptr}, PumpEnd{std::move(link1), std::move(out)},
                report());
  PumpRun second(PumpEnd{std::move(link2), std::move(in)}, PumpEnd{std::move(destSide), nullptr},
                 report());
  exchange(client.get(), dest.get(), 2 << 20, 20);
  for (int round = 0; round < 2; ++round) {
    std::this_thread::sleep_for(1200ms);  // past the quiet time: buffers and stacks went back
    exchange(client.get(), dest.get(), 1 << 20, 30 + 2 * round);
    ASSERT_TRUE(test_support::sendAll(dest.get(), "one byte at a time is a block too"));
    EXPECT_EQ(test_support::receive(client.get(), 33), "one byte at a time is a block too");
  }
  client.reset();
  char byte = 0;
  EXPECT_LE(recv(dest.get(), &byte, 1, 0), 0) << "the end travels over the SSL link";
  dest.reset();
  EXPECT_TRUE(first.ended());
  EXPECT_TRUE(second.ended());
  ERR_clear_error();
}

}  // namespace
