#include "proxy/proxy_header.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "support/support.h"

namespace proxy {
namespace {

using test_support::ip;

const std::string kV2Signature("\r\n\r\n\0\r\nQUIT\n", 12);

HeaderParse parse(const std::string& bytes, ProxyHeader* header, size_t* used,
                  std::string* why = nullptr) {
  std::string ignored;
  return parseProxyHeader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), header,
                          used, why != nullptr ? why : &ignored);
}

// What a reader takes off a socket: the header and not one byte of what the client sent after
// it, however the bytes arrive.
TEST(ProxyHeader, ReadingTakesTheHeaderAndNothingAfterIt) {
  const std::string tlv = std::string("\x04\x00\x03", 3) + "abc";  // an extension the relay skips
  const std::string v2 = kV2Signature + std::string("\x21\x21\x00", 3) +
                         static_cast<char>(36 + tlv.size()) + std::string(15, '\0') + "\x01" +
                         std::string(15, '\0') + "\x02" + "\x1f\x90" + "\x01\xbb" + tlv;
  for (const std::string& header :
       {std::string("PROXY TCP4 192.0.2.7 127.0.0.1 4000 80\r\n"), v2}) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    // The header trickles in, the client's first bytes right behind its last one.
    const std::string all = header + "GET / HTTP/1.0\r\n";
    std::thread writer([&] {
      for (size_t i = 0; i < all.size(); i += 7) {
        send(fds[0], all.data() + i, std::min<size_t>(7, all.size() - i), MSG_NOSIGNAL);
        usleep(2000);
      }
    });
    platform::WaitBudget budget(5000);
    ProxyHeader read;
    std::string why;
    EXPECT_TRUE(readProxyHeader(fds[1], &budget, &read, &why)) << why;
    writer.join();
    EXPECT_FALSE(read.local);
    EXPECT_EQ(test_support::receive(fds[1], 16, std::chrono::seconds(5)), "GET / HTTP/1.0\r\n");
    if (header == v2) {
      EXPECT_EQ(read.source, ip("::1"));
      EXPECT_EQ(read.destination, ip("::2"));
      EXPECT_EQ(ntohs(read.sourcePort), 8080);
      EXPECT_EQ(ntohs(read.destinationPort), 443);
    } else {
      EXPECT_EQ(read.source, ip("192.0.2.7"));
      EXPECT_EQ(ntohs(read.sourcePort), 4000);
    }
    close(fds[0]);
    close(fds[1]);
  }
}

TEST(ProxyHeader, LocalAndUnknownHeadersLeaveTheConnectionsOwnAddresses) {
  ProxyHeader header;
  size_t used = 0;
  ASSERT_EQ(parse("PROXY UNKNOWN\r\nrest", &header, &used), HeaderParse::kComplete);
  EXPECT_TRUE(header.local);
  EXPECT_EQ(used, 15u);
  ASSERT_EQ(parse("PROXY UNKNOWN ffff::1 ffff::2 65535 65535\r\n", &header, &used),
            HeaderParse::kComplete);
  EXPECT_TRUE(header.local);
  ASSERT_EQ(parse(kV2Signature + std::string("\x20\x00\x00\x00", 4), &header, &used),
            HeaderParse::kComplete);
  EXPECT_TRUE(header.local);
  // A UNIX socket's addresses mean nothing here either.
  const std::string unix =
      kV2Signature + std::string("\x21\x31\x00\xd8", 4) + std::string(216, 'u');
  ASSERT_EQ(parse(unix, &header, &used), HeaderParse::kComplete);
  EXPECT_TRUE(header.local);
  EXPECT_EQ(used, unix.size());
  // A mapped IPv4 address is that IPv4 address.
  ASSERT_EQ(parse("PROXY TCP6 ::ffff:192.0.2.1 ::1 1 2\r\n", &header, &used),
            HeaderParse::kComplete);
  EXPECT_EQ(header.source, ip("192.0.2.1"));
}

TEST(ProxyHeader, MalformedOrUnfinishedHeadersAreToldApart) {
  const struct {
    std::string bytes;
    HeaderParse result;
    const char* why;
  } cases[] = {
      {"GET / HTTP/1.0\r\n", HeaderParse::kBad, "no PROXY header"},
      {"PROX", HeaderParse::kNeedMore, ""},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1", HeaderParse::kNeedMore, ""},
      {kV2Signature.substr(0, 7), HeaderParse::kNeedMore, ""},
      {kV2Signature + std::string("\x21\x11\x00\x0c", 4) + "12345", HeaderParse::kNeedMore, ""},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n", HeaderParse::kBad,
       "a version 1 header that ends without a carriage return"},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1\r\n", HeaderParse::kBad,
       "a version 1 header with fewer than five fields"},
      {"PROXY TCP5 1.2.3.4 5.6.7.8 1 2\r\n", HeaderParse::kBad,
       "a version 1 header for neither TCP4 nor TCP6"},
      {"PROXY TCP4 ::1 5.6.7.8 1 2\r\n", HeaderParse::kBad,
       "a version 1 header with an address that is not of its family"},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 01 2\r\n", HeaderParse::kBad,
       "a version 1 header with a port that is no port"},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1 65536\r\n", HeaderParse::kBad,
       "a version 1 header with a port that is no port"},
      {"PROXY TCP4 1.2.3.4  5.6.7.8 1 2\r\n", HeaderParse::kBad,
       "a version 1 header with an address that is not of its family"},
      {"PROXY " + std::string(120, 'x'), HeaderParse::kBad,
       "a version 1 header without its line end in 107 bytes"},
      {kV2Signature + std::string("\x31\x11\x00\x0c", 4), HeaderParse::kBad,
       "a version 2 header of another version or command"},
      {kV2Signature + std::string("\x22\x11\x00\x0c", 4), HeaderParse::kBad,
       "a version 2 header of another version or command"},
      {kV2Signature + std::string("\x21\x11\x00\x08", 4) + "12345678", HeaderParse::kBad,
       "a version 2 header too short for its IPv4 addresses"},
      {kV2Signature + std::string("\x21\x21\x00\x0c", 4) + "123456789012", HeaderParse::kBad,
       "a version 2 header too short for its IPv6 addresses"},
      {kV2Signature + std::string("\x21\x11\xff\xff", 4), HeaderParse::kBad,
       "a version 2 header longer than 1040 bytes"},
  };
  for (const auto& c : cases) {
    ProxyHeader header;
    size_t used = 0;
    std::string why;
    EXPECT_EQ(parse(c.bytes, &header, &used, &why), c.result) << c.bytes;
    if (c.result == HeaderParse::kBad) {
      EXPECT_EQ(why, c.why) << c.bytes;
    }
  }
}

// What the relay sends reads back as what it meant, in both versions; a client and a listener of
// two families are both written as IPv6.
TEST(ProxyHeader, HeadersMadeReadBack) {
  EXPECT_EQ(makeProxyHeader(1, ip("192.0.2.7"), htons(4000), ip("127.0.0.1"), htons(80)),
            "PROXY TCP4 192.0.2.7 127.0.0.1 4000 80\r\n");
  EXPECT_EQ(makeProxyHeader(1, ip("192.0.2.7"), htons(4000), ip("::1"), htons(80)),
            "PROXY TCP6 ::ffff:192.0.2.7 ::1 4000 80\r\n");
  const std::string v2 = makeProxyHeader(2, ip("2001:db8::5"), htons(1), ip("::1"), htons(2));
  EXPECT_EQ(v2.size(), 16u + 36u);
  ProxyHeader header;
  size_t used = 0;
  ASSERT_EQ(parse(v2, &header, &used), HeaderParse::kComplete);
  EXPECT_EQ(header.source, ip("2001:db8::5"));
  EXPECT_EQ(ntohs(header.destinationPort), 2);
  ASSERT_EQ(
      parse(makeProxyHeader(2, ip("10.0.0.1"), htons(5), ip("10.0.0.2"), htons(6)), &header, &used),
      HeaderParse::kComplete);
  EXPECT_EQ(used, 28u);
  EXPECT_EQ(header.destination, ip("10.0.0.2"));
}

}  // namespace
}  // namespace proxy
