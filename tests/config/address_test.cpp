#include "config/address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace config {
namespace {

uint32_t quad(const char* text) { return inet_addr(text); }

TEST(ParseAddress, KeywordsAreCaseSensitiveAndWhole) {
  EXPECT_EQ(parseAddress("Local Machine Only"), quad("255.255.255.255"));
  EXPECT_EQ(parseAddress("All"), 0u);
  EXPECT_EQ(parseAddress("A net"), quad("255.0.0.0"));
  EXPECT_EQ(parseAddress("B net"), quad("255.255.0.0"));
  EXPECT_EQ(parseAddress("C net"), quad("255.255.255.0"));
  // Anything else that starts with a letter is a host name; these do not resolve.
  EXPECT_EQ(parseAddress("c net.invalid"), 0u);
  EXPECT_EQ(parseAddress("Allx.invalid"), 0u);
  EXPECT_EQ(parseAddress(""), 0u);
}

TEST(ParseAddress, DottedQuadsDropLeadingZeros) {
  EXPECT_EQ(parseAddress("010.001.002.003"), quad("10.1.2.3"));
  EXPECT_EQ(parseAddress("010.000.000.001"), quad("10.0.0.1"));
  EXPECT_EQ(parseAddress("192.168.1.77"), quad("192.168.1.77"));
  EXPECT_EQ(parseAddress("0000000000000000127.0.0.1"), quad("127.0.0.1"));
}

TEST(ParseAddress, MalformedQuadsGiveAllOnes) {
  for (const char* bad : {"1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "1.2.3.4x", "1.2.3.",
                          "9999999999999999999999.1.1.1", "1.2.3.-4", "1 .2.3.4"}) {
    EXPECT_EQ(parseAddress(bad), 0xFFFFFFFFu) << bad;
  }
}

TEST(ParseAddress, HostNamesResolve) {
  EXPECT_EQ(parseAddress("localhost"), quad("127.0.0.1"));
  EXPECT_EQ(parseAddress("no-such-host.invalid"), 0u);
}

TEST(ParsePort, NumbersNamesAndWords) {
  EXPECT_EQ(ntohs(parsePort("socks")), 1080);
  EXPECT_EQ(ntohs(parsePort("https")), 443);
  EXPECT_EQ(ntohs(parsePort("8443")), 8443);
  EXPECT_EQ(ntohs(parsePort("80abc")), 80);
  EXPECT_EQ(ntohs(parsePort("65535")), 65535);
  EXPECT_EQ(parsePort("0"), 0);
  EXPECT_EQ(parsePort(""), 0);
  EXPECT_EQ(parsePort("no-such-service"), 0);
  EXPECT_EQ(parsePort("SOCKS"), 0);
}

TEST(ParsePort, NumbersBeyondAPortGiveZero) {
  EXPECT_EQ(parsePort("65536"), 0);
  EXPECT_EQ(parsePort("70000"), 0);
  EXPECT_EQ(parsePort("99999999999999999999999"), 0);
}

TEST(FormatAddress, DottedQuad) {
  char text[16];
  formatAddress(quad("10.1.200.3"), text);
  EXPECT_STREQ(text, "10.1.200.3");
}

}  // namespace
}  // namespace config
