#include "proxy/base64.h"

#include <gtest/gtest.h>

namespace proxy {
namespace {

std::string decoded(std::string_view text) {
  const std::vector<uint8_t> bytes = base64Decode(text);
  return std::string(bytes.begin(), bytes.end());
}

TEST(Base64, RoundTripsEveryLengthAndByte) {
  std::string data;
  for (int i = 0; i < 300; ++i) {
    data += static_cast<char>(i * 37);
    EXPECT_EQ(decoded(base64Encode(data)), data) << i;
  }
  EXPECT_EQ(base64Encode("alice:secret"), "YWxpY2U6c2VjcmV0");
  EXPECT_EQ(base64Encode("a"), "YQ==");
  EXPECT_EQ(base64Encode("ab"), "YWI=");
  EXPECT_EQ(base64Encode(""), "");
}

TEST(Base64, DecodingSkipsLeadingBlanksAndStopsAtForeignCharacters) {
  EXPECT_EQ(decoded(" \t YWxpY2U6c2VjcmV0"), "alice:secret");
  EXPECT_EQ(decoded("YQ==garbage"), "a");
  EXPECT_EQ(decoded("YWxp\r\nY2U6"), "ali");
  EXPECT_EQ(decoded("realm=\"x\""), decoded("realm"));
  EXPECT_EQ(decoded("!!!"), "");
  EXPECT_EQ(decoded(""), "");
  EXPECT_EQ(decoded("Y"), "");  // a lone sixth of a byte is dropped
}

}  // namespace
}  // namespace proxy
