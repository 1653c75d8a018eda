#include "platform_client/encodings.h"

#include <gtest/gtest.h>

namespace quirada {
namespace {

struct Case {
  const char* input;
  const char* expected;
};

TEST(FormEncodeTest, KeepsUnreservedBytesTurnsBlanksIntoPlusAndEscapesTheRestPerUtf8Byte) {
  const Case cases[] = {
      {"", ""},
      {"client_credentials", "client_credentials"},
      {"AZaz09*-._", "AZaz09*-._"},
      {"a b", "a+b"},
      {"https://api.quirada.com.br", "https%3A%2F%2Fapi.quirada.com.br"},
      {"a&b=c+d~e", "a%26b%3Dc%2Bd%7Ee"},
      {"a\xC3\xA7\xC3\xA3o", "a%C3%A7%C3%A3o"},
      {"\x7F\x01", "%7F%01"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormEncode(c.input), c.expected) << c.input;
}

TEST(PathSegmentEncodeTest, KeepsOnlyUnreservedBytesSoNoIdCanLeaveItsSegment) {
  const Case cases[] = {
      {"0f3c-9a.b_c~D", "0f3c-9a.b_c~D"},
      {"../../admin?x#", "..%2F..%2Fadmin%3Fx%23"},
      {"a b%2F+", "a%20b%252F%2B"},
      {"\xC3\xA7\x01", "%C3%A7%01"},
  };
  for (const auto& c : cases) EXPECT_EQ(PathSegmentEncode(c.input), c.expected) << c.input;
}

TEST(Base64EncodeTest, MatchesTheRfc4648Vectors) {
  const Case cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
      {"cliente:segredo:x", "Y2xpZW50ZTpzZWdyZWRvOng="},
      {"\xFF\xFE\xFD", "//79"},
  };
  for (const auto& c : cases) EXPECT_EQ(Base64Encode(c.input), c.expected) << c.input;
}

}  // namespace
}  // namespace quirada
