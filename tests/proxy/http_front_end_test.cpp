// The browser request parsers and the request reader on crafted inputs.
#include "proxy/http_front_end.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "proxy/http_request.h"

namespace proxy {
namespace {

TEST(ParseConnectRequest, FindsHostAndPort) {
  RequestTarget t;
  ASSERT_TRUE(parseConnectRequest("CONNECT example.com:443 HTTP/1.1\r\nHost: x\r\n\r\n", &t));
  EXPECT_EQ(t.host, "example.com");
  EXPECT_EQ(t.port, "443");
  ASSERT_TRUE(parseConnectRequest("CONNECT   10.0.0.1:8443 HTTP/1.0\r\n\r\n", &t));
  EXPECT_EQ(t.host, "10.0.0.1");
  EXPECT_EQ(t.port, "8443");
  // "CONNECT " may stand anywhere in the bytes.
  ASSERT_TRUE(parseConnectRequest("junk CONNECT h:1 x", &t));
  EXPECT_EQ(t.host, "h");
}

TEST(ParseConnectRequest, RefusesMissingPartsAndOverlongTexts) {
  RequestTarget t;
  for (const char* bad :
       {"CONNECT example.com HTTP/1.1\r\n\r\n", "CONNECT example.com:443\r\n\r\n",
        "CONNECT example.com:443", "CONNECT :443 HTTP/1.1", "CONNECT h: HTTP/1.1",
        "CONNECT h\r\nHost: x:443 y", "GET http://h:1/ HTTP/1.1", "CONNECT", ""}) {
    EXPECT_FALSE(parseConnectRequest(bad, &t)) << bad;
  }
  EXPECT_FALSE(parseConnectRequest("CONNECT " + std::string(256, 'h') + ":443 H", &t));
  EXPECT_TRUE(parseConnectRequest("CONNECT " + std::string(255, 'h') + ":443 H", &t));
  EXPECT_FALSE(parseConnectRequest("CONNECT h:" + std::string(16, '4') + " H", &t));
}

TEST(ParseUrlRequest, TakesHostAndPortFromTheAbsoluteUrl) {
  RequestTarget t;
  ASSERT_TRUE(parseUrlRequest("GET http://H:8080/a/b HTTP/1.1\r\n\r\n", &t));
  EXPECT_EQ(t.host, "H");
  EXPECT_EQ(t.port, "8080");
  ASSERT_TRUE(parseUrlRequest("GET http://example.org/ HTTP/1.1\r\n\r\n", &t));
  EXPECT_EQ(t.host, "example.org");
  EXPECT_EQ(t.port, "80");
  ASSERT_TRUE(parseUrlRequest("POST http://h:81 HTTP/1.0\r\n\r\n", &t));
  EXPECT_EQ(t.port, "81");
}

TEST(ParseUrlRequest, RefusesRequestsWithoutAUrlOnTheRequestLine) {
  RequestTarget t;
  for (const char* bad :
       {"GET /bare/path HTTP/1.1\r\nReferer: http://other/\r\n\r\n", "GET http://h:8080",
        "GET http://host", "GET http://:80/ H", "GETNOSPACE", "", "GET http://h:/ H"}) {
    EXPECT_FALSE(parseUrlRequest(bad, &t)) << bad;
  }
  // The last byte is not examined: the port's ending space must come before it.
  EXPECT_FALSE(parseUrlRequest("GET http://h:1 ", &t));
  EXPECT_TRUE(parseUrlRequest("GET http://h:1 x", &t));
}

TEST(LooksLikeConnect, ShortOrConnectRequests) {
  EXPECT_TRUE(looksLikeConnect("CONN"));
  EXPECT_TRUE(looksLikeConnect("CONNECT x"));
  EXPECT_FALSE(looksLikeConnect("GET http://h/ HTTP/1.0"));
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
  ASSERT_TRUE(receiveBrowserRequest(relay_, &request, &err));
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
  ASSERT_TRUE(receiveBrowserRequest(relay_, &request, &err));
  writer.join();
  EXPECT_EQ(request, "CONNECT h:1 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(rest(), "after");
}

TEST_F(BrowserSocket, RefusesAHeaderLargerThanTheBuffer) {
  std::thread writer([this] { send("CONNECT h:1 HTTP/1.1\r\n" + std::string(20000, 'x')); });
  std::string request;
  int err = 0;
  EXPECT_FALSE(receiveBrowserRequest(relay_, &request, &err));
  EXPECT_EQ(request.size(), kBrowserRequestSize);
  writer.join();
}

TEST_F(BrowserSocket, RefusesABrowserThatClosesEarly) {
  send("CONNECT h:1 HTTP/1.1\r\n");
  shutdown(browser_, SHUT_WR);
  std::string request;
  int err = 0;
  EXPECT_FALSE(receiveBrowserRequest(relay_, &request, &err));
}

TEST(Replies, AreByteForByte) {
  EXPECT_EQ(std::strlen(kDirectConnectReply), 17u);
  EXPECT_EQ(std::strlen(kProxyConnectReply), 49u);
  EXPECT_EQ(std::strlen(kProxyUnauthorizedPage), 107u);
}

}  // namespace
}  // namespace proxy
