#include "relay/http_relay.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "config/address.h"
#include "log/log.h"
#include "platform/net.h"
#include "proxy/http_front_end.h"
#include "proxy/http_request.h"
#include "proxy/request_stream.h"
#include "relay/data_pump.h"
#include "relay/relay_state.h"

namespace relay {
namespace {

constexpr char kModule[] = "httpsproxy";
constexpr size_t kReadSize = 32 * 1024;
// A direction stops reading while this much waits to be written.
constexpr size_t kHeldLimit = 256 * 1024;
// How long bytes already read may take to leave before the relay gives up on them.
constexpr uint32_t kFlushMs = 10000;
constexpr int kTimedOut = 10060;  // Winsock "Timeout."

#define FE_LOG(...) log_event(LOG_INFO, 0x6001, kModule, __LINE__, __VA_ARGS__)

int hostPort(uint16_t port) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&port);
  return bytes[0] << 8 | bytes[1];
}

// Sends what `bytes` holds as far as the socket takes it now; false when the socket failed.
bool sendSome(int fd, std::string* bytes, int* error) {
  while (!bytes->empty()) {
    const platform::IoResult r = platform::sendNow(fd, bytes->data(), bytes->size());
    if (r.status == platform::IoStatus::kWouldBlock) return true;
    if (r.status != platform::IoStatus::kDone) {
      *error = r.error;
      return false;
    }
    bytes->erase(0, r.bytes);
  }
  return true;
}

class PlainHttpRelay {
 public:
  PlainHttpRelay(PlainRequestClient client) : c_(std::move(client)), s_(*c_.settings) {}
  void run(const std::string& firstRequest);

 private:
  bool takeFromBrowser(const char* data, size_t size);
  bool route(const std::string& header);
  // Connects to the host and port a request (or the upstream proxy setting) names.
  bool connectTo(const std::string& key, const std::string& host, const std::string& portText);
  bool flushToDest();
  bool step(unsigned browserReady, unsigned destReady);
  int idleMillis() const;

  PlainRequestClient c_;
  const config::Settings& s_;
  proxy::RequestStream stream_;
  platform::UniqueFd dest_;
  std::string destKey_;  // "host:port" (or the upstream proxy) the connection goes to
  platform::IpAddress destAddress_;
  uint16_t destPort_ = 0;
  std::string toDest_;
  std::string toBrowser_;
  bool browserDone_ = false;
  bool destDone_ = false;
  bool destShut_ = false;
  int error_ = 0;
};

bool PlainHttpRelay::connectTo(const std::string& key, const std::string& host,
                               const std::string& portText) {
  std::vector<platform::IpAddress> addresses;
  const uint16_t port = config::parsePort(portText);
  if (!config::reachableAddresses(host, &addresses) || port == 0) {
    FE_LOG("Couldn't resolve %s:%s", host.c_str(), portText.c_str());
    proxy::sendErrorReply(c_.browser.get(), proxy::kBadGatewayReply);
    return false;
  }
  if (!flushToDest()) return false;
  dest_.reset();
  destDone_ = destShut_ = false;
  platform::Connected connected;
  const int err = platform::connectFirst(addresses, port, nullptr, &connected);
  dest_ = std::move(connected.fd);
  if (err != 0) {
    FE_LOG("Couldn't connect to %s : %s",
           platform::endpointText(addresses.front(), hostPort(port), ':').text,
           socket_error_text(err));
    proxy::sendErrorReply(c_.browser.get(), proxy::kBadGatewayReply);
    dest_.reset();
    error_ = err;
    return false;
  }
  platform::setRelayOptions(dest_.get(), 1, 0, 0);
  platform::setNonBlocking(dest_.get());
  destKey_ = key;
  destAddress_ = connected.address;
  destPort_ = port;
  return true;
}

// Each request goes where its request line says; a request for the host already connected goes
// on the same connection.
bool PlainHttpRelay::route(const std::string& header) {
  if (s_.verbose != 0) {
    const std::string shown = proxy::headerForLog(header);
    FE_LOG("Received: (%zu) '%s'", header.size(), shown.c_str());
  }
  const config::ccRule& rule = *c_.rule;
  if (rule.httpsProxyEnable != 0) {
    if (dest_.valid()) return true;
    return connectTo("proxy", rule.httpsProxyServer, rule.httpsProxyPort);
  }
  proxy::RequestTarget target;
  if (proxy::isConnectRequest(header) || !proxy::parseUrlRequest(header, &target)) {
    FE_LOG("Error: Could not parse connect string.");
    proxy::sendErrorReply(c_.browser.get(), proxy::kBadRequestReply);
    return false;
  }
  const std::string key = target.host + ":" + target.port;
  if (dest_.valid() && key == destKey_) return true;
  return connectTo(key, target.host, target.port);
}

// Before a request leaves for another host, what the previous one still had to send goes out.
bool PlainHttpRelay::flushToDest() {
  platform::WaitBudget budget(kFlushMs);
  while (dest_.valid() && !toDest_.empty()) {
    if (!sendSome(dest_.get(), &toDest_, &error_)) return false;
    if (!toDest_.empty() && !budget.waitFor(dest_.get(), platform::kIoWritable)) {
      error_ = kTimedOut;
      return false;
    }
  }
  return true;
}

bool PlainHttpRelay::takeFromBrowser(const char* data, size_t size) {
  std::vector<proxy::RequestStream::Piece> pieces;
  const proxy::RequestStream::Status status = stream_.feed(data, size, &pieces);
  for (proxy::RequestStream::Piece& piece : pieces) {
    if (piece.header && !route(piece.bytes)) return false;
    toDest_ += piece.bytes;
  }
  if (status == proxy::RequestStream::Status::kHeaderTooLarge) {
    FE_LOG("Error: Browser request exceeds %zu bytes.", proxy::kMaxRequestHeader);
    proxy::sendErrorReply(c_.browser.get(), proxy::kHeaderTooLargeReply);
    return false;
  }
  if (status == proxy::RequestStream::Status::kBadFraming) {
    FE_LOG("Error: Could not parse connect string.");
    proxy::sendErrorReply(c_.browser.get(), proxy::kBadRequestReply);
    return false;
  }
  return true;
}

int PlainHttpRelay::idleMillis() const {
  const uint32_t drop = c_.rule->httpProxyDropTime;
  return drop == 0 ? -1 : static_cast<int>(std::min<uint32_t>(drop, 24 * 3600) * 1000);
}

// One round after a wait; false when the relay ends.
bool PlainHttpRelay::step(unsigned browserReady, unsigned destReady) {
  constexpr unsigned kReadable = platform::kIoReadable | platform::kIoHangup;
  char buffer[kReadSize];
  if (browserReady & kReadable) {
    const platform::IoResult r = platform::receiveNow(c_.browser.get(), buffer, sizeof buffer);
    if (r.status == platform::IoStatus::kDone) {
      if (!takeFromBrowser(buffer, r.bytes)) return false;
    } else if (r.status == platform::IoStatus::kEndOfFile) {
      browserDone_ = true;
    } else if (r.status == platform::IoStatus::kFailed) {
      error_ = r.error;
      return false;
    }
  }
  if (dest_.valid() && (destReady & kReadable)) {
    const platform::IoResult r = platform::receiveNow(dest_.get(), buffer, sizeof buffer);
    if (r.status == platform::IoStatus::kDone) {
      toBrowser_.append(buffer, r.bytes);
    } else if (r.status == platform::IoStatus::kEndOfFile) {
      destDone_ = true;
    } else if (r.status == platform::IoStatus::kFailed) {
      error_ = r.error;
      return false;
    }
  }
  const size_t held = toDest_.size();
  if (dest_.valid() && !sendSome(dest_.get(), &toDest_, &error_)) return false;
  c_.state->stats.countRelayedBytes(s_, true, held - toDest_.size());
  const size_t answer = toBrowser_.size();
  if (!sendSome(c_.browser.get(), &toBrowser_, &error_)) return false;
  c_.state->stats.countRelayedBytes(s_, false, answer - toBrowser_.size());
  if (browserDone_ && toDest_.empty() && dest_.valid() && !destShut_) {
    platform::shutdownWrite(dest_.get());
    destShut_ = true;
  }
  // A server that ended its connection ends the browser's: more requests need a new one.
  if (destDone_ && toBrowser_.empty()) return false;
  return !(browserDone_ && (!dest_.valid() || destDone_) && toBrowser_.empty());
}

void PlainHttpRelay::run(const std::string& firstRequest) {
  c_.state->stats.countConnection(s_, true);
  platform::setNonBlocking(c_.browser.get());
  bool going = takeFromBrowser(firstRequest.data(), firstRequest.size());
  while (going) {
    platform::IoWait waits[2];
    waits[0].fd = c_.browser.get();
    waits[0].want = (!browserDone_ && toDest_.size() < kHeldLimit ? platform::kIoReadable : 0) |
                    (!toBrowser_.empty() ? platform::kIoWritable : 0);
    waits[1].fd = dest_.valid() ? dest_.get() : -1;
    waits[1].want = (!destDone_ && toBrowser_.size() < kHeldLimit ? platform::kIoReadable : 0) |
                    (!toDest_.empty() ? platform::kIoWritable : 0);
    const int n = platform::waitForIo(waits, 2, idleMillis());
    if (n == 0) {
      error_ = kTimedOut;
      break;
    }
    if (n < 0) {
      error_ = -n;
      break;
    }
    going = step(waits[0].ready, waits[1].ready);
  }
  PumpReport report;
  // The disconnect line names the destination first, as the front end's always has.
  report.clientAddress = destAddress_;
  report.clientPort = destPort_;
  report.destAddress = c_.address;
  report.destPort = c_.port;
  report.frontEndStyle = true;
  logDisconnect(s_, report, error_);
  c_.state->stats.countConnection(s_, false);
  dest_.reset();
  platform::shutdownBoth(c_.browser.get());
  c_.browser.reset();
}

}  // namespace

void relayPlainRequests(PlainRequestClient client, std::string firstRequest) {
  PlainHttpRelay relay(std::move(client));
  relay.run(firstRequest);
}

}  // namespace relay
