#include "base/text.h"

#include <gtest/gtest.h>

namespace quirada {
namespace {

TEST(Text, Latin1RoundTripsThroughUtf8) {
  const std::string latin1 = "Jo\xE3o A\xE7\xFA" "car \xC9";
  const std::string utf8 = Latin1ToUtf8(latin1);
  EXPECT_EQ(utf8, "João Açúcar É");
  EXPECT_EQ(Utf8ToLatin1(utf8), latin1);
}

TEST(Text, CharactersOutsideLatin1BecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToLatin1("a€b✓"), "a?b?");
  EXPECT_EQ(Utf8ToLatin1("x\xFFy"), "x?y");  // not UTF-8 at all
}

TEST(Text, ValidUtf8IsTold) {
  EXPECT_TRUE(IsValidUtf8("plain ascii"));
  EXPECT_TRUE(IsValidUtf8("ação"));
  EXPECT_FALSE(IsValidUtf8("a\xE7\xE3o"));     // Latin-1 bytes
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));       // overlong
  EXPECT_FALSE(IsValidUtf8("\xE2\x82"));       // truncated
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));   // surrogate
}

TEST(Text, Utf16BothByteOrders) {
  for (bool big : {false, true}) {
    const std::string s = "Ação 😀";
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(s, big), big), s);
  }
  EXPECT_EQ(Utf8ToUtf16("A", false), std::string("A\0", 2));
  EXPECT_EQ(Utf8ToUtf16("A", true), std::string("\0A", 2));
}

}  // namespace
}  // namespace quirada
