// The SOCKS reader over a socket pair and the SOCKS client against a scripted server on 127.0.0.1.
#include "proxy/socks.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "config/settings.h"
#include "log/log.h"
#include "platform/net.h"
#include "platform/system.h"

namespace proxy {

using config::setLocalNetworks;
namespace {

struct Pair {
  int client = -1;
  int relay = -1;
  Pair() {
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    client = fds[0];
    relay = fds[1];
  }
  ~Pair() {
    close(client);
    if (relay >= 0) close(relay);
  }
  std::string reply() {
    close(relay);
    relay = -1;
    std::string back;
    char c;
    for (int i = 0; i < 16 && recv(client, &c, 1, 0) == 1; ++i) back += c;
    return back;
  }
};

std::string request(uint8_t version, uint8_t command, const std::string& tail) {
  std::string r = {
      static_cast<char>(version), static_cast<char>(command), 0x1F, (char)0x90, 10, 1, 2, 3};
  return r + tail;
}

int accept(Pair& p, const std::string& bytes, uint32_t* address, uint16_t* port,
           std::string* host = nullptr) {
  send(p.client, bytes.data(), bytes.size(), 0);
  shutdown(p.client, SHUT_WR);
  SocksRequest request;
  const config::Settings settings;
  const int rc = socksAccept(settings, p.relay, &request);
  *address = request.addresses.empty() ? 0 : request.addresses.front().ipv4();
  *port = request.port;
  if (host != nullptr) *host = request.host;
  return rc;
}

const std::string kGranted("\x00\x5a\x00\x00\x00\x00\x00\x00", 8);
const std::string kRejected("\x00\x5b\x00\x00\x00\x00\x00\x00", 8);
const std::string kUserRefused("\x00\x5d\x00\x00\x00\x00\x00\x00", 8);

TEST(SocksAccept, AVersion4ConnectIsGrantedOnlyWhenTheRelayAnswers) {
  uint32_t address = 0;
  uint16_t port = 0;
  {
    Pair p;
    ASSERT_EQ(accept(p, request(4, 1, std::string(247, 'u') + '\0'), &address, &port), 0);
    EXPECT_EQ(address, inet_addr("10.1.2.3"));
    EXPECT_EQ(ntohs(port), 0x1F90);
    socksAnswer(p.relay, true);
    EXPECT_EQ(p.reply(), kGranted);
  }
  {
    Pair p;  // the destination could not be connected
    ASSERT_EQ(accept(p, request(4, 1, std::string("u\0", 2)), &address, &port), 0);
    socksAnswer(p.relay, false);
    EXPECT_EQ(p.reply(), kRejected);
  }
  Pair p;  // nothing is said before the relay answers
  ASSERT_EQ(accept(p, request(4, 1, std::string("u\0", 2)), &address, &port), 0);
  EXPECT_EQ(p.reply(), "");
}

TEST(SocksAccept, RefusesBadVersionsCommandsAndLongUserIds) {
  uint32_t address = 0;
  uint16_t port = 0;
  const std::string toNowhere = {4, 1, 0, 80, 0, 0, 0, 0, 'u', 0};  // 0.0.0.0 is this host
  for (const std::string& bad :
       {request(5, 1, std::string(1, '\0')), request(4, 2, std::string("x\0", 2)), toNowhere}) {
    Pair p;
    EXPECT_EQ(accept(p, bad, &address, &port), -1);
    EXPECT_EQ(p.reply(), kRejected);
  }
  Pair p;
  EXPECT_EQ(accept(p, request(4, 1, std::string(248, 'u') + '\0'), &address, &port), -1);
  EXPECT_EQ(p.reply(), kUserRefused);
}

TEST(SocksAccept, ClientsThatCloseEarlyGetNoReply) {
  uint32_t address = 0;
  uint16_t port = 0;
  for (const std::string& part : {std::string("\x04\x01\x00\x50\x7f", 5), request(4, 1, "abc")}) {
    Pair p;
    EXPECT_EQ(accept(p, part, &address, &port), -1);
    EXPECT_EQ(p.reply(), "");
  }
}

bool fakeResolver(const std::string& name, std::vector<platform::IpAddress>* addresses) {
  if (name == "known.test") addresses->push_back(platform::IpAddress::ipv4(inet_addr("10.9.8.7")));
  if (name == "both.test") {
    platform::IpAddress six;
    platform::parseIpv6("2001:db8::7", &six);
    *addresses = {six, platform::IpAddress::ipv4(inet_addr("10.9.8.7"))};
  }
  return !addresses->empty();
}

TEST(SocksAccept, Version4aNamesAreResolvedOrRefused) {
  platform::setHostResolver(fakeResolver);
  const std::string dest4a = {4, 1, 0, 80, 0, 0, 0, 1};
  uint32_t address = 0;
  uint16_t port = 0;
  {
    Pair p;
    std::string host;
    ASSERT_EQ(accept(p, dest4a + "user" + '\0' + "known.test" + '\0', &address, &port, &host), 0);
    EXPECT_EQ(address, inet_addr("10.9.8.7"));
    EXPECT_EQ(host, "known.test");  // the server name of an SSL side
  }
  {
    // A name of both families keeps every address, in the resolver's order.
    Pair p;
    send(p.client, dest4a.data(), dest4a.size(), 0);
    const std::string tail = std::string("u\0both.test\0", 12);
    send(p.client, tail.data(), tail.size(), 0);
    SocksRequest request;
    ASSERT_EQ(socksAccept(config::Settings(), p.relay, &request), 0);
    ASSERT_EQ(request.addresses.size(), 2u);
    EXPECT_TRUE(request.addresses[0].v6);
    EXPECT_EQ(request.addresses[1].ipv4(), inet_addr("10.9.8.7"));
  }
  for (const std::string& tail : {std::string("u\0unknown.test\0", 15), std::string("u\0\0", 3),
                                  "u" + std::string(1, '\0') + std::string(300, 'h') + '\0'}) {
    Pair p;
    EXPECT_EQ(accept(p, dest4a + tail, &address, &port), -1);
    EXPECT_EQ(p.reply(), kRejected);
  }
  platform::setHostResolver(nullptr);
}

// A SOCKS server on 127.0.0.1 that answers one request with `answer` and records what it got.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::string answer) : answer_(std::move(answer)) {
    int err = 0;
    listen_ = platform::tcpSocket(&err);
    platform::bindTo(listen_.get(), platform::IpAddress::ipv4(inet_addr("127.0.0.1")), 0);
    platform::listenOn(listen_.get(), 4);
    platform::setReceiveTimeout(listen_.get(), 5000);  // bounds the accept too
    platform::IpAddress address;
    platform::localAddress(listen_.get(), &address, &port_);
    thread_ = std::thread([this] {
      platform::IpAddress a;
      uint16_t p = 0;
      int e = 0;
      bool passing = false;
      platform::UniqueFd fd = platform::acceptOn(listen_.get(), &a, &p, &e, &passing);
      if (!fd.valid()) return;
      platform::WaitBudget budget(5000);
      char buffer[12];
      received_.assign(buffer,
                       std::max(0L, platform::receiveExactly(fd.get(), buffer, 12, &budget, &e)));
      platform::sendAll(fd.get(), answer_.data(), answer_.size());
    });
  }
  ~ScriptedServer() { thread_.join(); }
  uint16_t port() const { return port_; }
  const std::string& received() const { return received_; }

 private:
  std::string answer_;
  platform::UniqueFd listen_;
  uint16_t port_ = 0;
  std::string received_;
  std::thread thread_;
};

int connectThrough(ScriptedServer& server, std::vector<platform::IpAddress> dest) {
  config::Settings settings;
  settings.socksEnable = 1;
  settings.socksServer.set("127.0.0.1");
  settings.socksPort.set(std::to_string(ntohs(server.port())));
  platform::Connected connected;
  return socksConnect(settings, dest, htons(443), nullptr, &connected);
}

int connectThrough(ScriptedServer& server, uint32_t dest) {
  return connectThrough(server, {platform::IpAddress::ipv4(dest)});
}

TEST(SocksConnect, SendsTheTwelveByteRequestAndReadsTheReply) {
  {
    ScriptedServer server(kGranted);
    EXPECT_EQ(connectThrough(server, inet_addr("10.1.2.3")), 0);
    EXPECT_EQ(server.received(), std::string("\x04\x01\x01\xbb\x0a\x01\x02\x03"
                                             "BKL\0",
                                             12));
  }
  {
    ScriptedServer server(kRejected);
    const int err = connectThrough(server, inet_addr("10.1.2.3"));
    EXPECT_EQ(err, 20091);
    EXPECT_STREQ(socket_error_text(err), "Socks request rejected.");
  }
  {
    ScriptedServer server(std::string("\x04\x5a\x00\x00\x00\x00\x00\x00", 8));
    EXPECT_EQ(connectThrough(server, inet_addr("10.1.2.3")), 20090);  // version must be 0
  }
}

// The request names the first IPv4 address of the destination; one with none is not sent.
TEST(SocksConnect, OnlyIpv4AddressesCanBeAskedFor) {
  platform::IpAddress six;
  ASSERT_TRUE(platform::parseIpv6("2001:db8::7", &six));
  {
    ScriptedServer server(kGranted);
    EXPECT_EQ(connectThrough(server, {six, platform::IpAddress::ipv4(inet_addr("10.1.2.3"))}), 0);
    EXPECT_EQ(server.received().substr(4, 4), "\x0a\x01\x02\x03");
  }
  config::Settings settings;
  settings.socksEnable = 1;
  settings.socksServer.set("127.0.0.1");
  settings.socksPort.set("1");  // never reached
  platform::Connected connected;
  EXPECT_EQ(socksConnect(settings, {six}, htons(443), nullptr, &connected), 10047);
  EXPECT_STREQ(socket_error_text(10047), "Address Family not supported.");
  EXPECT_FALSE(connected.fd.valid());
}

TEST(SocksConnect, LocalDestinationsBypassTheServer) {
  config::Settings settings;
  auto v4 = [](const char* text) { return platform::IpAddress::ipv4(inet_addr(text)); };
  EXPECT_TRUE(socksBypass(settings, v4("127.0.0.1")));
  EXPECT_FALSE(socksBypass(settings, v4("127.0.0.2")));
  platform::IpAddress six;
  ASSERT_TRUE(platform::parseIpv6("::1", &six));
  EXPECT_TRUE(socksBypass(settings, six));
  ASSERT_TRUE(platform::parseIpv6("::2", &six));
  EXPECT_FALSE(socksBypass(settings, six));
  const uint32_t host = inet_addr("10.1.2.3");
  setLocalNetworks(&settings, &host, 1);
  EXPECT_TRUE(socksBypass(settings, v4("10.200.0.1")));
  EXPECT_FALSE(socksBypass(settings, v4("11.0.0.1")));
}

}  // namespace
}  // namespace proxy
