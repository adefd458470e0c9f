#include "config/address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace config {
namespace {

IpAddress quad(const char* text) { return IpAddress::ipv4(inet_addr(text)); }

IpAddress six(const char* text) {
  IpAddress address;
  EXPECT_TRUE(platform::parseIpv6(text, &address)) << text;
  return address;
}

TEST(ParseAddress, KeywordsAreCaseSensitiveAndWhole) {
  EXPECT_EQ(parseAddress("Local Machine Only"), quad("255.255.255.255"));
  EXPECT_EQ(parseAddress("All"), IpAddress());
  EXPECT_EQ(parseAddress("A net"), quad("255.0.0.0"));
  EXPECT_EQ(parseAddress("B net"), quad("255.255.0.0"));
  EXPECT_EQ(parseAddress("C net"), quad("255.255.255.0"));
  // Anything else that starts with a letter is a host name; these do not resolve.
  EXPECT_EQ(parseAddress("c net.invalid"), IpAddress());
  EXPECT_EQ(parseAddress("Allx.invalid"), IpAddress());
  EXPECT_EQ(parseAddress(""), IpAddress());
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
    EXPECT_EQ(parseAddress(bad), quad("255.255.255.255")) << bad;
  }
}

TEST(ParseAddress, HostNamesResolve) {
  EXPECT_EQ(parseAddress("localhost"), quad("127.0.0.1"));
  EXPECT_EQ(parseAddress("no-such-host.invalid"), IpAddress());
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

TEST(FormatAddress, DottedQuadsAndIpv6TextsAndTheirEndpoints) {
  char text[platform::kAddressTextSize];
  formatAddress(quad("10.1.200.3"), text);
  EXPECT_STREQ(text, "10.1.200.3");
  formatAddress(six("2001:0db8:0000::0005"), text);
  EXPECT_STREQ(text, "2001:db8::5");
  // IPv4 endpoints read as they always have; IPv6 ones are bracketed.
  EXPECT_STREQ(platform::endpointText(quad("10.1.200.3"), 443, '.').text, "10.1.200.3.443");
  EXPECT_STREQ(platform::endpointText(quad("10.1.200.3"), 443, ':').text, "10.1.200.3:443");
  EXPECT_STREQ(platform::endpointText(six("::1"), 8080, '.').text, "[::1]:8080");
  const IpAddress longest = six("ffff:ffff:ffff:ffff:ffff:fffe:255.255.255.255");
  EXPECT_STREQ(platform::endpointText(longest, 65535, '.').text,
               "[ffff:ffff:ffff:ffff:ffff:fffe:ffff:ffff]:65535");
}

TEST(ParseAddress, Ipv6TextsInTheirUsualForms) {
  const IpAddress loopback = parseAddress("::1");
  EXPECT_TRUE(loopback.v6);
  EXPECT_EQ(loopback.bytes[15], 1);
  EXPECT_EQ(parseAddress("[::1]"), loopback);
  EXPECT_EQ(parseAddress("2001:db8::5"), six("2001:0db8:0:0:0:0:0:5"));
  EXPECT_EQ(parseAddress("fe80::1"), six("fe80:0:0:0:0:0:0:1"));  // a letter first: no host name
  // An IPv4-mapped address is the IPv4 address it carries: its rules and log lines are IPv4's.
  EXPECT_EQ(parseAddress("::ffff:192.0.2.1"), quad("192.0.2.1"));
  EXPECT_FALSE(parseAddress("::ffff:192.0.2.1").v6);
  for (const char* bad : {":::1", "2001:db8::5::1", "1:2:3:4:5:6:7:8:9", "[::1", "::1]", "::g",
                          "2001:db8::5%eth0", ":"}) {
    EXPECT_EQ(parseAddress(bad), quad("255.255.255.255")) << bad;
  }
  IpAddress literal;
  EXPECT_TRUE(literalAddress("::1", &literal));
  EXPECT_EQ(literal, loopback);
  EXPECT_FALSE(literalAddress("localhost", &literal));
}

TEST(ParseMask, PrefixLengthsForIpv6SourcesDottedMasksForIpv4Ones) {
  IpAddress mask;
  std::string why;
  ASSERT_TRUE(parseMask("64", true, &mask));
  EXPECT_EQ(mask, six("ffff:ffff:ffff:ffff::"));
  ASSERT_TRUE(parseMask("/121", true, &mask));
  EXPECT_EQ(mask, six("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ff80"));
  ASSERT_TRUE(parseMask("128", true, &mask));
  EXPECT_EQ(mask.bytes[15], 0xFF);
  ASSERT_TRUE(parseMask("All", true, &mask));
  EXPECT_TRUE(mask.isZero());
  ASSERT_TRUE(parseMask("0", true, &mask));
  EXPECT_TRUE(mask.isZero());
  for (const char* bad : {"129", "255.255.255.0", "C net", "Local Machine Only", "/", "64x", ""}) {
    EXPECT_FALSE(parseMask(bad, true, &mask, &why)) << bad;
    EXPECT_EQ(why, "an IPv6 source takes a prefix length from 0 to 128 as its mask");
  }
  EXPECT_FALSE(parseMask("24", false, &mask, &why));
  EXPECT_EQ(why, "a prefix length is a mask for IPv6 sources only");
  EXPECT_FALSE(parseMask("/24", false, &mask));
  ASSERT_TRUE(parseMask("C net", false, &mask));
  EXPECT_EQ(mask, quad("255.255.255.0"));
  ASSERT_TRUE(parseMask("All", false, &mask));
  EXPECT_TRUE(mask.isZero());
}

TEST(MaskedMatch, FamiliesMatchTheirOwnExceptForAnAllMask) {
  IpAddress prefix64;
  ASSERT_TRUE(parseMask("64", true, &prefix64));
  const IpAddress net = six("2001:db8:1:2::");
  EXPECT_TRUE(maskedMatch(net, prefix64, six("2001:db8:1:2::77")));
  EXPECT_FALSE(maskedMatch(net, prefix64, six("2001:db8:1:3::77")));
  EXPECT_FALSE(maskedMatch(net, prefix64, quad("32.1.13.184")));  // the same first bytes
  EXPECT_TRUE(maskedMatch(quad("192.168.1.0"), quad("255.255.255.0"), quad("192.168.1.9")));
  EXPECT_FALSE(maskedMatch(quad("192.168.1.0"), quad("255.255.255.0"), six("c0a8:109::")));
  EXPECT_TRUE(maskedMatch(IpAddress(), IpAddress(), six("2001:db8::1")));
  EXPECT_TRUE(maskedMatch(net, IpAddress(), quad("10.0.0.1")));
}

TEST(ReachableAddresses, ThisHostAndMalformedTextsAreLeftOut) {
  std::vector<IpAddress> found;
  EXPECT_FALSE(reachableAddresses("0.0.0.0", &found));
  EXPECT_FALSE(reachableAddresses("::", &found));
  EXPECT_FALSE(reachableAddresses("1.2.3", &found));
  EXPECT_FALSE(reachableAddresses("no-such-host.invalid", &found));
  ASSERT_TRUE(reachableAddresses("[::1]", &found));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(found[0].v6);
}

}  // namespace
}  // namespace config
