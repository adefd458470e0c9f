// The relay object with real peers: two relays of one process serving at once, each with its own
// figures; and a reload that replaces the trusted CA while handshakes run, where every connection
// is checked by one configuration only, the one it was accepted with.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/registry.h"
#include "relay/relay.h"
#include "relay/relay_fixture.h"
#include "support/support.h"

namespace {

using namespace std::chrono_literals;
using platform::Hive;
using relay_test::InProcessRelay;
using relay_test::StoreValues;

// One line through a plain port of a relay and back from the echo service behind it.
bool echoes(uint16_t port, const std::string& line) {
  const int fd = test_support::connectLocal(port);
  if (fd < 0) return false;
  const bool back =
      test_support::sendAll(fd, line) && test_support::receive(fd, line.size(), 10s) == line;
  close(fd);
  return back;
}

class RelayObject : public ::testing::Test {
 protected:
  void SetUp() override { platform::setHiveDirectory(folder_.path()); }
  void TearDown() override { platform::setHiveDirectory(""); }
  test_support::TempDir folder_;
};

TEST_F(RelayObject, TwoRelaysInOneProcessServeAtOnceWithFiguresOfTheirOwn) {
  const uint16_t echoPort = test_support::freePort();
  test_support::Process echo = test_support::echoService(echoPort, folder_.file("echo.log"));
  ASSERT_TRUE(test_support::waitForPort(echoPort));
  const uint16_t portA = test_support::freePort();
  const uint16_t portB = test_support::freePort();
  StoreValues user(Hive::kCurrentUser);
  user.quietSettings();
  user.rule(1, portA, "127.0.0.1", echoPort);
  StoreValues machine(Hive::kLocalMachine);
  machine.quietSettings(true);  // this one serves from its pool
  machine.rule(1, portB, "127.0.0.1", echoPort);

  InProcessRelay a(Hive::kCurrentUser);
  InProcessRelay b(Hive::kLocalMachine);
  ASSERT_TRUE(a.start());
  ASSERT_TRUE(b.start());
  EXPECT_FALSE(a.relay.listenerRunning(htons(portB)));
  EXPECT_FALSE(b.relay.listenerRunning(htons(portA)));

  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 8; ++i) {
    clients.emplace_back([&, i] {
      const uint16_t port = i % 2 == 0 ? portA : portB;
      for (int n = 0; n < 5; ++n) good += echoes(port, "line " + std::to_string(i) + "\n") ? 1 : 0;
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(good.load(), 40);
  // Each counts its own connections only (a connection ends on its thread after the echo).
  for (int i = 0; i < 200 && (a.relay.figures().connectionsOpen != 0 ||
                              b.relay.figures().connectionsOpen != 0);
       ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(a.relay.figures().connectionsTotal, 20u);
  EXPECT_EQ(b.relay.figures().connectionsTotal, 20u);
  EXPECT_GE(b.relay.figures().poolThreads, 1u);
  EXPECT_EQ(a.relay.figures().poolThreads, 0u);

  // A change of one leaves the other as it runs; one relay's end is not the other's.
  machine.rule(1, portB, "127.0.0.1", echoPort, 0,
               {{"peer.addr.str", "10.9.9.9"}, {"peer.mask.str", "255.255.255.255"}});
  const size_t seen = b.observer.changes();
  b.relay.reload();
  relay::ChangeResult result;
  ASSERT_TRUE(b.observer.waitForChange(seen, &result));
  EXPECT_TRUE(result.applied);
  EXPECT_FALSE(echoes(portB, "refused\n")) << "no rule of B takes 127.0.0.1 any more";
  EXPECT_TRUE(echoes(portA, "still served\n"));
  b.relay.shutdown();
  EXPECT_FALSE(b.relay.listenerRunning(htons(portB)));
  EXPECT_TRUE(echoes(portA, "after the other's end\n"));
  a.relay.shutdown();
  EXPECT_LT(test_support::connectLocal(portA), 0) << "a relay's shutdown closes its listeners";
  echo.stop();
}

// The relay as SSL client towards a TLS echo server whose certificate the first configuration
// trusts (its CA, and a subject filter it passes) and the second does not (another CA, and a
// filter it fails). A handshake checked with the first configuration's CA and the second's
// filter would fail on the filter; none may.
TEST_F(RelayObject, AReloadDuringHandshakesChecksEachConnectionWithOneConfiguration) {
  const std::string pki = folder_.path();
  test_support::makePki(pki);
  ASSERT_TRUE(test_support::shell("cd '" + pki +
                                  "' && openssl req -x509 -newkey rsa:2048 -nodes -days 30 "
                                  "-subj '/CN=Other CA' -keyout other.key -out other.pem "
                                  ">/dev/null 2>&1"));
  const uint16_t tlsPort = test_support::freePort();
  test_support::Process server({"socat",
                                "OPENSSL-LISTEN:" + std::to_string(tlsPort) +
                                    ",bind=127.0.0.1,reuseaddr,fork,verify=0,cert=" + pki +
                                    "/server.pem,key=" + pki + "/server.key",
                                "EXEC:cat"},
                               folder_.file("tls.log"));
  ASSERT_TRUE(test_support::waitForPort(tlsPort));
  const uint16_t port = test_support::freePort();
  StoreValues store(Hive::kCurrentUser);
  store.quietSettings(true);
  store.text("", "ssl.ca_cert", pki + "/ca.pem");
  store.dword("", "filter.enable", 1);
  store.text("", "filter.have", "O=Brisklane test");
  store.rule(1, port, "127.0.0.1", tlsPort, 1);
  store.dword("Rule1", "ssl.verify_server", 1);
  InProcessRelay relay;
  ASSERT_TRUE(relay.start());

  constexpr int kConnections = 50;
  std::atomic<int> done{0};
  std::atomic<int> relayed{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 5; ++t) {
    clients.emplace_back([&] {
      for (int n = 0; n < kConnections / 5; ++n) {
        relayed += echoes(port, "through TLS\n") ? 1 : 0;
        ++done;
      }
    });
  }
  for (int i = 0; i < 1000 && done < 10; ++i) std::this_thread::sleep_for(5ms);
  store.text("", "ssl.ca_cert", pki + "/other.pem");
  store.text("", "filter.have", "no such text");
  const size_t seen = relay.observer.changes();
  relay.relay.reload();
  relay::ChangeResult result;
  ASSERT_TRUE(relay.observer.waitForChange(seen, &result));
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(done.load(), kConnections);
  EXPECT_GE(relayed.load(), 10) << "the connections before the reload were relayed";
  EXPECT_LT(relayed.load(), kConnections) << "the connections after it were refused";
  EXPECT_FALSE(echoes(port, "after the reload\n"));
  EXPECT_EQ(relay.observer.count("Filter: 'have' fail"), 0)
      << "a handshake was checked with the old CA and the new filter";
  EXPECT_GE(relay.observer.count("Verify error (20) unable to get local issuer certificate"), 1);
  relay.relay.shutdown();
  server.stop();
}

}  // namespace

namespace {

// Reloads the relay from its store; true once the new configuration serves.
bool reloaded(InProcessRelay& relay) {
  const size_t seen = relay.observer.changes();
  relay.relay.reload();
  relay::ChangeResult result;
  return relay.observer.waitForChange(seen, &result) && result.applied;
}

// The relay's socket of a connection `client` made to a relay of this process: the descriptor
// whose peer is the client's own address; -1 when there is none.
int relaySideOf(int client) {
  sockaddr_storage mine{};
  socklen_t length = sizeof mine;
  if (getsockname(client, reinterpret_cast<sockaddr*>(&mine), &length) != 0) return -1;
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return -1;
  int found = -1;
  while (const dirent* entry = readdir(folder)) {
    const int fd = std::atoi(entry->d_name);
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    if (fd > 2 && fd != client &&
        getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 &&
        peerLength == length && std::memcmp(&peer, &mine, length) == 0) {
      found = fd;
    }
  }
  closedir(folder);
  return found;
}

// "tcp.nodelay", and the linger time or -1 for no linger, of the relay's socket of a new
// connection through `port`.
std::pair<int, int> clientSocketOptions(uint16_t port) {
  const int client = test_support::connectLocal(port);
  std::pair<int, int> options{-1, -2};
  // Once the line is back the relay has accepted the connection and set it up.
  if (client >= 0 && test_support::sendAll(client, "options\n") &&
      test_support::receive(client, 8, 10s) == "options\n") {
    const int fd = relaySideOf(client);
    int nodelay = -1;
    socklen_t size = sizeof nodelay;
    linger value{};
    socklen_t lingerSize = sizeof value;
    if (fd >= 0 && getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &size) == 0 &&
        getsockopt(fd, SOL_SOCKET, SO_LINGER, &value, &lingerSize) == 0) {
      options = {nodelay != 0 ? 1 : 0, value.l_onoff != 0 ? value.l_linger : -1};
    }
  }
  if (client >= 0) close(client);
  return options;
}

// The accepted socket takes "tcp.nodelay" and "tcp.linger" from its listening socket, which a
// reload gives the changed values, off as well as on.
TEST_F(RelayObject, TheClientSocketHasTheSocketOptionsOfTheLatestConfiguration) {
  const uint16_t echoPort = test_support::freePort();
  test_support::Process echo = test_support::echoService(echoPort, folder_.file("echo.log"));
  ASSERT_TRUE(test_support::waitForPort(echoPort));
  const uint16_t port = test_support::freePort();
  StoreValues store(Hive::kCurrentUser);
  store.quietSettings(true);
  store.dword("", "tcp.linger.time", 3);
  store.rule(1, port, "127.0.0.1", echoPort);
  InProcessRelay relay;
  ASSERT_TRUE(relay.start());
  EXPECT_EQ(clientSocketOptions(port), std::make_pair(1, 3));
  const auto reloadWith = [&](uint32_t nodelay, uint32_t linger, uint32_t seconds) {
    store.dword("", "tcp.nodelay", nodelay);
    store.dword("", "tcp.linger", linger);
    store.dword("", "tcp.linger.time", seconds);
    return reloaded(relay);
  };
  ASSERT_TRUE(reloadWith(0, 0, 3));
  EXPECT_EQ(clientSocketOptions(port), std::make_pair(0, -1));
  ASSERT_TRUE(reloadWith(1, 1, 7));
  EXPECT_EQ(clientSocketOptions(port), std::make_pair(1, 7));
  ASSERT_TRUE(reloadWith(0, 1, 7));
  EXPECT_EQ(clientSocketOptions(port), std::make_pair(0, 7));
  relay.relay.shutdown();
  echo.stop();
}

// What `openssl s_client`, with `more` arguments, printed for one handshake through the port; kept
// in `folder` as s_client-<tag>.out.
std::string sClient(const std::string& folder, uint16_t port, const std::string& tag,
                    const std::vector<std::string>& more = {}) {
  const std::string out = folder + "/s_client-" + tag + ".out";
  std::vector<std::string> command{"openssl", "s_client", "-connect",
                                   "127.0.0.1:" + std::to_string(port), "-no_ign_eof"};
  command.insert(command.end(), more.begin(), more.end());
  test_support::Process client(command, out, {}, "/dev/null");
  if (client.wait(20s) == -1) client.stop();
  return test_support::readFile(out);
}

// One TLS handshake with `openssl s_client` through the port; true when one was made.
bool tlsEchoes(const std::string& folder, uint16_t port, const std::string& tag) {
  const std::string text = sClient(folder, port, tag);
  return text.find("Cipher is ") != std::string::npos &&
         text.find("Cipher is (NONE)") == std::string::npos;
}

// The certificates a TLS server sent to `openssl s_client` through the port, and whether they
// verified against the root CA of `folder`.
std::pair<int, bool> chainSent(const std::string& folder, uint16_t port, const std::string& tag) {
  const std::string text =
      sClient(folder, port, "chain-" + tag, {"-showcerts", "-CAfile", folder + "/ca.pem"});
  int certificates = 0;
  for (size_t at = text.find("BEGIN CERTIFICATE"); at != std::string::npos;
       at = text.find("BEGIN CERTIFICATE", at + 1)) {
    ++certificates;
  }
  return {certificates, text.find("Verify return code: 0 (ok)") != std::string::npos};
}

// A server rule's certificate goes out with the CA certificates between it and the root in the
// relay's store (a folder, one certificate a file), and without the root, which the client holds
// already: the client verifies it all the same. The chain is built once; the next connection and
// the next configuration send the same.
TEST_F(RelayObject, AServerCertificateGoesOutWithItsIntermediateAndWithoutTheRoot) {
  const std::string pki = folder_.path();
  test_support::makePki(pki);
  const std::string mid = pki + "/mid";
  ASSERT_TRUE(test_support::shell(
      "mkdir '" + mid + "' && cd '" + mid +
      "' && openssl req -newkey rsa:2048 -nodes -subj '/O=Brisklane test/CN=Test Intermediate' "
      "-keyout ca.key -out ca.csr >/dev/null 2>&1 && printf 'basicConstraints=critical,CA:TRUE\n"
      "keyUsage=keyCertSign,cRLSign\n' > ca.ext && openssl x509 -req -in ca.csr -CA ../ca.pem "
      "-CAkey ../ca.key -CAcreateserial -days 30 -extfile ca.ext -out ca.pem >/dev/null 2>&1 && "
      "mkdir ../store && cp ../ca.pem ../store/root.pem && cp ca.pem ../store/intermediate.pem"));
  test_support::makeCert(mid, "server", "127.0.0.1", "IP:127.0.0.1");
  const uint16_t echoPort = test_support::freePort();
  test_support::Process echo = test_support::echoService(echoPort, folder_.file("echo.log"));
  ASSERT_TRUE(test_support::waitForPort(echoPort));
  const uint16_t port = test_support::freePort();
  StoreValues store(Hive::kCurrentUser);
  store.quietSettings(true);
  store.text("", "ssl.ca_cert", pki + "/store");
  store.rule(1, port, "127.0.0.1", echoPort, 2,
             {{"ssl.cert", mid + "/server.pem"}, {"ssl.key", mid + "/server.key"}});
  InProcessRelay relay;
  ASSERT_TRUE(relay.start());
  EXPECT_EQ(chainSent(pki, port, "first"), std::make_pair(2, true))
      << test_support::readFile(pki + "/s_client-chain-first.out");
  EXPECT_EQ(chainSent(pki, port, "kept"), std::make_pair(2, true));
  store.dword("", "tcp.linger.time", 5);
  ASSERT_TRUE(reloaded(relay));
  EXPECT_EQ(chainSent(pki, port, "reloaded"), std::make_pair(2, true));
  relay.relay.shutdown();
  echo.stop();
}

// A certificate renewed in place (a new file renamed over the old one, here of the same size and
// modification time) is served from the next connection on, without a reload.
TEST_F(RelayObject, ACertificateRenewedInPlaceIsServedFromTheNextConnection) {
  const std::string pki = folder_.path();
  test_support::makePki(pki);
  ASSERT_TRUE(test_support::shell(
      "cd '" + pki +
      "' && for serial in 4097 4098; do openssl x509 -req -in server.csr -CA ca.pem "
      "-CAkey ca.key -set_serial $serial -days 30 -extfile server.ext -out $serial.pem "
      ">/dev/null 2>&1 || exit 1; done && cp 4097.pem live.pem && cp 4098.pem live.new && "
      "touch -r live.pem live.new"));
  const std::string first = test_support::readFile(pki + "/4097.pem");
  const std::string renewed = test_support::readFile(pki + "/4098.pem");
  ASSERT_EQ(first.size(), renewed.size());
  const uint16_t echoPort = test_support::freePort();
  test_support::Process echo = test_support::echoService(echoPort, folder_.file("echo.log"));
  ASSERT_TRUE(test_support::waitForPort(echoPort));
  const uint16_t port = test_support::freePort();
  StoreValues store(Hive::kCurrentUser);
  store.quietSettings(true);
  store.rule(1, port, "127.0.0.1", echoPort, 2,
             {{"ssl.cert", pki + "/live.pem"}, {"ssl.key", pki + "/server.key"}});
  InProcessRelay relay;
  ASSERT_TRUE(relay.start());
  EXPECT_NE(sClient(pki, port, "first", {"-showcerts"}).find(first), std::string::npos);
  EXPECT_NE(sClient(pki, port, "kept", {"-showcerts"}).find(first), std::string::npos);
  ASSERT_EQ(rename((pki + "/live.new").c_str(), (pki + "/live.pem").c_str()), 0);
  EXPECT_NE(sClient(pki, port, "renewed", {"-showcerts"}).find(renewed), std::string::npos)
      << "the pair read before the renewal was served";
  relay.relay.shutdown();
  echo.stop();
}

// A key whose pass phrase the person mistypes once: the wrong phrase fails that connection only,
// is forgotten at once, and the next connection asks again and is served with the right one.
TEST_F(RelayObject, AWrongPassPhraseIsForgottenAndTheNextConnectionAsksAgain) {
  const std::string pki = folder_.path();
  test_support::makePki(pki);
  ASSERT_TRUE(test_support::shell("cd '" + pki +
                                  "' && openssl pkey -in server.key -aes256 -passout pass:right "
                                  "-out server-enc.key"));
  const uint16_t echoPort = test_support::freePort();
  test_support::Process echo = test_support::echoService(echoPort, folder_.file("echo.log"));
  ASSERT_TRUE(test_support::waitForPort(echoPort));
  const uint16_t port = test_support::freePort();
  StoreValues store(Hive::kCurrentUser);
  store.quietSettings();
  store.rule(1, port, "127.0.0.1", echoPort, 2,
             {{"ssl.cert", pki + "/server.pem"}, {"ssl.key", pki + "/server-enc.key"}});
  InProcessRelay relay;
  relay.observer.answerPassphrases({"wrong", "right"});
  ASSERT_TRUE(relay.start());
  EXPECT_FALSE(tlsEchoes(pki, port, "wrong"));
  EXPECT_EQ(relay.observer.count("Private key load failed: cert: <" + pki + "/server.pem>"), 1);
  EXPECT_TRUE(tlsEchoes(pki, port, "right")) << "the wrong phrase was kept";
  EXPECT_TRUE(tlsEchoes(pki, port, "remembered"));
  EXPECT_EQ(relay.observer.passphraseQuestions(), 2) << "the right phrase is remembered";
  relay.relay.shutdown();
  echo.stop();
}

}  // namespace
