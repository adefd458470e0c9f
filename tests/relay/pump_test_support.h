// What the data pump's tests share: connected sockets, test data, and SSL contexts with a
// certificate made in memory.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <memory>
#include <string>
#include <utility>

#include "config/settings.h"
#include "log/log.h"
#include "log/sinks.h"
#include "platform/socket_errors.h"
#include "platform/unique_fd.h"
#include "relay/data_pump.h"
#include "relay/relay_state.h"
#include "relay/ssl_context.h"

namespace pump_test {

// Two connected TCP sockets on 127.0.0.1; the first is the peer, with 10 s time-outs.
std::pair<platform::UniqueFd, platform::UniqueFd> tcpPair();

// `size` bytes of a pattern that differs with `seed`.
std::string pattern(size_t size, unsigned seed);

// A self-signed EC certificate made in memory, and contexts for both roles. With
// `quietShutdown` (the relay's own context does so) neither sends close_notify.
struct TlsContexts {
  relay::SslCtxPtr server{SSL_CTX_new(TLS_server_method())};
  relay::SslCtxPtr client{SSL_CTX_new(TLS_client_method())};
  bool ok = false;

  explicit TlsContexts(bool quietShutdown = true);
};

// Both handshakes on blocking sockets, as the connection handler makes them.
bool handshake(SSL* client, int clientFd, SSL* server, int serverFd);

// The pump tests' fixture: the log into a collecting sink, settings and a relay state of the
// test's own, and the report a pump of the test runs with.
class PumpFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The pump runs on this program's threads; a write to a closed peer must fail, not end it.
    platform::ignoreSigpipe();
  }
  void SetUp() override {
    settings_.tcpLoopsleep = 0;
    logging::log_close();
    ASSERT_TRUE(logging::log_open(&sink_, nullptr));
  }
  void TearDown() override { logging::log_close(); }
  // The report of a pump between 127.0.0.1.5555 and 10.1.2.3.443.
  relay::PumpReport report() {
    relay::PumpReport r;
    r.clientAddress = platform::IpAddress::ipv4(htonl(0x7F000001));
    r.clientPort = htons(5555);
    r.destAddress = platform::IpAddress::ipv4(htonl(0x0A010203));
    r.destPort = htons(443);
    r.settings = &settings_;
    r.state = state_.get();
    return r;
  }
  // Lines with the prefix and the code.
  int countLines(const std::string& prefix, uint32_t code) const {
    int n = 0;
    for (const auto& e : sink_.entries()) n += e.code == code && e.text.rfind(prefix, 0) == 0;
    return n;
  }
  bool hasEntry(const std::string& text, uint32_t code) const {
    for (const auto& e : sink_.entries()) {
      if (e.text == text && e.code == code) return true;
    }
    return false;
  }
  bool logged(const std::string& text) const {
    for (const auto& e : sink_.entries()) {
      if (e.text == text) return true;
    }
    return false;
  }

  logging::CollectingSink sink_;
  config::Settings settings_;
  std::shared_ptr<relay::RelayState> state_ = std::make_shared<relay::RelayState>();
};

}  // namespace pump_test
