// The browser request parsers and the request reader on crafted inputs.
#include "proxy/http_front_end.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "proxy/http_request.h"
#include "proxy/request_stream.h"

namespace proxy {
namespace {

TEST(ParseConnectRequest, ReadsTheRequestLineOnly) {
  RequestTarget t;
  ASSERT_TRUE(parseConnectRequest("CONNECT example.com:443 HTTP/1.1\r\nHost: x\r\n\r\n", &t));
  EXPECT_EQ(t.host, "example.com");
  EXPECT_EQ(t.port, "443");
  ASSERT_TRUE(parseConnectRequest("CONNECT   10.0.0.1:8443 HTTP/1.0\r\n\r\n", &t));
  EXPECT_EQ(t.host, "10.0.0.1");
  EXPECT_EQ(t.port, "8443");
  // A header line that carries the text opens no tunnel.
  EXPECT_FALSE(
      parseConnectRequest("GET http://h/ HTTP/1.1\r\nX: CONNECT evil:25 HTTP/1.1\r\n", &t));
  for (const char* bad :
       {"CONNECT example.com HTTP/1.1\r\n\r\n", "CONNECT example.com:443\r\n\r\n",
        "CONNECT :443 HTTP/1.1", "CONNECT h: HTTP/1.1", "CONNECT h\r\nHost: x:443 HTTP/1.1",
        "junk CONNECT h:1 HTTP/1.1", "CONNECT user@h:1 HTTP/1.1", "CONNECT", ""}) {
    EXPECT_FALSE(parseConnectRequest(bad, &t)) << bad;
  }
  EXPECT_FALSE(parseConnectRequest("CONNECT " + std::string(256, 'h') + ":443 HTTP/1.1", &t));
  EXPECT_TRUE(parseConnectRequest("CONNECT " + std::string(255, 'h') + ":443 HTTP/1.1", &t));
  EXPECT_FALSE(parseConnectRequest("CONNECT h:" + std::string(16, '4') + " HTTP/1.1", &t));
}

TEST(ParseUrlRequest, TakesTheHostOfTheAbsoluteUrlWithoutItsUserInformation) {
  RequestTarget t;
  ASSERT_TRUE(parseUrlRequest("GET http://H:8080/a/b HTTP/1.1\r\n\r\n", &t));
  EXPECT_EQ(t.host, "H");
  EXPECT_EQ(t.port, "8080");
  ASSERT_TRUE(parseUrlRequest("GET http://example.org/ HTTP/1.1\r\n\r\n", &t));
  EXPECT_EQ(t.port, "80");
  ASSERT_TRUE(parseUrlRequest("POST http://h:81 HTTP/1.0\r\n\r\n", &t));
  EXPECT_EQ(t.port, "81");
  ASSERT_TRUE(parseUrlRequest("GET http://user:pw@inner.example:8000/x?q=1 HTTP/1.1\r\n", &t));
  EXPECT_EQ(t.host, "inner.example");
  EXPECT_EQ(t.port, "8000");
  ASSERT_TRUE(parseUrlRequest("GET http://h?x=http://other/ HTTP/1.1\r\n", &t));
  EXPECT_EQ(t.host, "h");
  for (const char* bad :
       {"GET /bare/path HTTP/1.1\r\nReferer: http://other/\r\n\r\n", "GET http://h:8080",
        "GET http://:80/ HTTP/1.1", "GETNOSPACE", "", "GET http://h:/ HTTP/1.1",
        "CONNECT http://h/ HTTP/1.1", "GET http://h/ FTP/1.0"}) {
    EXPECT_FALSE(parseUrlRequest(bad, &t)) << bad;
  }
}

TEST(RequestHeader, BodyFramingAndTheLoggedText) {
  EXPECT_EQ(requestBodyFraming("GET http://h/ HTTP/1.1\r\nHost: h\r\n\r\n").kind,
            BodyFraming::kNone);
  const BodyFraming length =
      requestBodyFraming("POST http://h/ HTTP/1.1\r\ncontent-length: 12\r\n\r\n");
  EXPECT_EQ(length.kind, BodyFraming::kLength);
  EXPECT_EQ(length.length, 12u);
  EXPECT_EQ(requestBodyFraming("POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n").kind,
            BodyFraming::kChunked);
  for (const char* bad : {"POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n",
                          "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n",
                          "POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n"}) {
    EXPECT_EQ(requestBodyFraming(bad).kind, BodyFraming::kBad) << bad;
  }
  EXPECT_EQ(headerForLog("GET http://h/ HTTP/1.1\r\nCookie: id=s3cret\r\nproxy-authorization: "
                         "Basic YTpi\r\nAuthorization: Bearer t\r\nAccept: */*\r\n\r\nbody "
                         "with s3cret"),
            "GET http://h/ HTTP/1.1\r\nCookie: ***\r\nproxy-authorization: ***\r\n"
            "Authorization: ***\r\nAccept: */*\r\n\r\n");
}

TEST(RequestStream, CutsRequestsOutOfTheBytesAsTheyArrive) {
  const std::string bytes =
      "POST http://a/ HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"
      "POST http://b/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"
      "GET http://c/ HTTP/1.1\r\n\r\n";
  // Byte by byte, in pieces and all at once give the same requests and the same bytes.
  for (size_t step : {size_t{1}, size_t{6}, size_t{7}, bytes.size()}) {
    RequestStream stream;
    std::vector<RequestStream::Piece> pieces;
    for (size_t at = 0; at < bytes.size(); at += step) {
      ASSERT_EQ(stream.feed(bytes.data() + at, std::min(step, bytes.size() - at), &pieces),
                RequestStream::Status::kOk);
    }
    std::string joined;
    std::vector<std::string> hosts;
    for (const RequestStream::Piece& p : pieces) {
      joined += p.bytes;
      RequestTarget t;
      if (p.header && parseUrlRequest(p.bytes, &t)) hosts.push_back(t.host);
    }
    EXPECT_EQ(joined, bytes);
    EXPECT_EQ(hosts, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_FALSE(stream.inHeader());
  }
  RequestStream big;
  std::vector<RequestStream::Piece> pieces;
  const std::string huge = "GET http://a/ HTTP/1.1\r\nX: " + std::string(kMaxRequestHeader, 'x');
  EXPECT_EQ(big.feed(huge.data(), huge.size(), &pieces), RequestStream::Status::kHeaderTooLarge);
  RequestStream chunks;
  const std::string badChunk =
      "POST http://a/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n";
  EXPECT_EQ(chunks.feed(badChunk.data(), badChunk.size(), &pieces),
            RequestStream::Status::kBadFraming);
}

class BrowserSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    browser_ = fds[0];
    relay_ = fds[1];
  }
  void TearDown() override {
    close(browser_);
    close(relay_);
  }
  void send(const std::string& bytes) { ::send(browser_, bytes.data(), bytes.size(), 0); }
  std::string rest() {
    shutdown(browser_, SHUT_WR);
    std::string out;
    char buffer[256];
    for (int i = 0; i < 1000; ++i) {
      const ssize_t n = recv(relay_, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      out.append(buffer, static_cast<size_t>(n));
    }
    return out;
  }
  int browser_ = -1;
  int relay_ = -1;
};

TEST_F(BrowserSocket, ReadsTheHeaderAndNotOneByteMore) {
  send("CONNECT h:443 HTTP/1.1\r\nHost: h\r\n\r\n\x16\x03\x01");
  std::string request;
  int err = 0;
  platform::WaitBudget budget(5000);
  ASSERT_EQ(receiveBrowserRequest(relay_, &budget, &request, &err), HeaderRead::kOk);
  EXPECT_EQ(request, "CONNECT h:443 HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(rest(), "\x16\x03\x01");
}

TEST_F(BrowserSocket, JoinsAHeaderSentInPieces) {
  std::thread writer([this] {
    for (const char* piece : {"CONNECT h:1 HTTP/1.1\r", "\n", "\r", "\nafter"}) {
      send(piece);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::string request;
  int err = 0;
  platform::WaitBudget budget(5000);
  ASSERT_EQ(receiveBrowserRequest(relay_, &budget, &request, &err), HeaderRead::kOk);
  writer.join();
  EXPECT_EQ(request, "CONNECT h:1 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(rest(), "after");
}

TEST_F(BrowserSocket, RefusesAHeaderLargerThanTheBuffer) {
  std::thread writer([this] { send("CONNECT h:1 HTTP/1.1\r\n" + std::string(20000, 'x')); });
  std::string request;
  int err = 0;
  platform::WaitBudget budget(5000);
  EXPECT_EQ(receiveBrowserRequest(relay_, &budget, &request, &err), HeaderRead::kTooLarge);
  EXPECT_EQ(request.size(), kBrowserRequestSize);
  writer.join();
}

TEST_F(BrowserSocket, RefusesABrowserThatClosesEarly) {
  send("CONNECT h:1 HTTP/1.1\r\n");
  shutdown(browser_, SHUT_WR);
  std::string request;
  int err = 0;
  platform::WaitBudget budget(5000);
  EXPECT_EQ(receiveBrowserRequest(relay_, &budget, &request, &err), HeaderRead::kNothing);
}

TEST_F(BrowserSocket, ATricklingBrowserRunsOutOfItsWholeBudget) {
  std::atomic<bool> stop{false};
  std::thread trickle([this, &stop] {
    for (int i = 0; i < 100 && !stop; ++i) {
      send("X");
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  std::string request;
  int err = 0;
  platform::WaitBudget budget(400);  // each byte comes well within it; all of them do not
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(receiveBrowserRequest(relay_, &budget, &request, &err), HeaderRead::kTimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(err, 10060);
  stop = true;
  trickle.join();
}

TEST(Replies, AreByteForByte) {
  EXPECT_EQ(std::strlen(kDirectConnectReply), 17u);
  EXPECT_EQ(std::string(kBadGatewayReply).rfind("HTTP/1.0 502 ", 0), 0u);
  EXPECT_EQ(std::strlen(kProxyConnectReply), 49u);
  EXPECT_EQ(std::strlen(kProxyUnauthorizedPage), 107u);
}

}  // namespace
}  // namespace proxy
