#include "proxy/socks.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "config/address.h"
#include "config/settings.h"
#include "platform/net.h"
#include "platform/system.h"

namespace proxy {

using config::parseAddress;
using config::parsePort;

namespace {

// A client reading its request is bounded even when "tcp.timeout" sets no limit.
constexpr uint32_t kStandingRequestMs = 120000;
constexpr uint8_t kGranted = 90;
constexpr uint8_t kRejected = 91;
constexpr uint8_t kUserIdRefused = 93;
// Header and user ID together stay below this many bytes.
constexpr size_t kMaxRequest = 256;
// Longest host name a SOCKS 4a request may carry.
constexpr size_t kMaxHostName = 255;
constexpr uint32_t kLocalHost = 0x0100007F;  // 127.0.0.1 in network byte order
constexpr int kAddressFamilyUnsupported = 10047;

void reply(int fd, uint8_t code) {
  const uint8_t answer[8] = {0, code, 0, 0, 0, 0, 0, 0};
  platform::sendAll(fd, answer, sizeof answer);
}

// Reads a zero-terminated text one byte at a time. Returns 1 when read, 0 when it reached
// `limit` bytes before its end, -1 when the receive failed.
int readText(int fd, std::string* text, size_t limit, platform::WaitBudget* budget) {
  for (size_t count = 0; count < limit + 1; ++count) {
    char c = 0;
    int err = 0;
    if (platform::receiveExactly(fd, &c, 1, budget, &err) != 1) return -1;
    if (c == '\0') return 1;
    if (count + 1 >= limit) return 0;
    *text += c;
  }
  return 0;
}

// A SOCKS 4a request names the host after the user ID and an address 0.0.0.x (x not 0).
bool namesHostLater(const uint8_t* request) {
  return request[4] == 0 && request[5] == 0 && request[6] == 0 && request[7] != 0;
}

}  // namespace

bool socksBypass(const config::Settings& s, const platform::IpAddress& ip) {
  if (ip.v6) {
    platform::IpAddress loopback;
    loopback.v6 = true;
    loopback.bytes[15] = 1;
    return ip == loopback;
  }
  const uint32_t address = ip.ipv4();
  if (address == kLocalHost) return true;
  const uint32_t count = s.localNetCount;
  for (uint32_t i = 0; i < count && i < static_cast<uint32_t>(config::kMaxLocalNets); ++i) {
    if ((address & s.localNetMask[i]) == s.localNetAddr[i]) return true;
  }
  return false;
}

int socksConnect(const config::Settings& s, const std::vector<platform::IpAddress>& addresses,
                 uint16_t port, const std::function<void(int fd)>& prepare,
                 platform::Connected* out) {
  auto direct = [&] { return platform::connectFirst(addresses, port, prepare, out); };
  if (s.socksEnable == 0 || addresses.empty() || socksBypass(s, addresses.front())) {
    return direct();
  }
  const platform::IpAddress server = parseAddress(s.socksServer.get());
  const uint16_t serverPort = parsePort(s.socksPort.get());
  // An unusable server setting (unknown name, malformed quad) means no SOCKS server.
  if (server.isZero() || server == platform::IpAddress::ipv4(0xFFFFFFFFu) || serverPort == 0) {
    return direct();
  }
  const auto v4 = std::find_if(addresses.begin(), addresses.end(),
                               [](const platform::IpAddress& a) { return !a.v6; });
  if (v4 == addresses.end()) return kAddressFamilyUnsupported;
  const uint32_t address = v4->ipv4();
  platform::Connected toServer;
  const int connected = platform::connectFirst({server}, serverPort, prepare, &toServer);
  out->socketFailed = toServer.socketFailed;
  out->fd = std::move(toServer.fd);
  if (connected != 0) return connected;
  const int fd = out->fd.get();
  uint8_t request[8 + sizeof kSocksUserId] = {4, 1};
  std::memcpy(request + 2, &port, 2);
  std::memcpy(request + 4, &address, 4);
  std::memcpy(request + 8, kSocksUserId, sizeof kSocksUserId);
  if (const int err = platform::sendAll(fd, request, sizeof request); err != 0) return err;
  uint8_t answer[8];
  int err = 0;
  platform::WaitBudget budget(config::requestTimeoutMs(s));
  const long n = platform::receiveExactly(fd, answer, sizeof answer, &budget, &err);
  if (n != static_cast<long>(sizeof answer)) {
    return n < 0 ? err : kSocksErrorBase + kRejected;  // closed early: refused
  }
  if (answer[0] != 0 || answer[1] != kGranted) return kSocksErrorBase + answer[1];
  out->address = *v4;
  return 0;
}

int socksAccept(const config::Settings& s, int fd, SocksRequest* request) {
  const uint32_t limit = config::requestTimeoutMs(s);
  platform::WaitBudget budget(limit != 0 ? limit : kStandingRequestMs);
  uint8_t header[8];
  int err = 0;
  if (platform::receiveExactly(fd, header, sizeof header, &budget, &err) !=
      static_cast<long>(sizeof header)) {
    return -1;
  }
  std::string userId;
  const int got = readText(fd, &userId, kMaxRequest - sizeof header, &budget);
  if (got < 0) return -1;
  if (got == 0) {
    reply(fd, kUserIdRefused);
    return -1;
  }
  if (header[0] != 4 || header[1] != 1) {
    reply(fd, kRejected);
    return -1;
  }
  uint32_t destination = 0;
  std::memcpy(&destination, header + 4, 4);
  std::vector<platform::IpAddress> addresses{platform::IpAddress::ipv4(destination)};
  if (namesHostLater(header)) {
    std::string host;
    if (readText(fd, &host, kMaxHostName + 1, &budget) != 1 || host.empty() ||
        !platform::resolveHost(host, &addresses)) {
      reply(fd, kRejected);
      return -1;
    }
    request->host = host;
  }
  // 0.0.0.0 (or ::) would reach this host itself, whatever the client meant.
  std::erase_if(addresses, [](const platform::IpAddress& a) { return a.isZero(); });
  if (addresses.empty()) {
    reply(fd, kRejected);
    return -1;
  }
  std::memcpy(&request->port, header + 2, 2);
  request->addresses = std::move(addresses);
  return 0;
}

void socksAnswer(int fd, bool granted) { reply(fd, granted ? kGranted : kRejected); }

}  // namespace proxy
