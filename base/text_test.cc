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

// Bytes of unknown meaning are taken for UTF-8 only when what they spell is a text of the
// Windows-1252 repertoire beyond ASCII.
TEST(Text, Utf8OfWindows1252TextIsOnlyThatRepertoireBeyondAscii) {
  const struct {
    std::string bytes;
    bool accepted;
  } cases[] = {
      {"a\xC3\xA7\xC3\xA3o \xE2\x82\xAC \xE2\x80\x9Cx\xE2\x80\x9D \xC5\xA0", true},  // ação € “x” Š
      {"\xC3\x89\xC2\xAE\t\r\n\xC3\xBF", true},                                        // É® TAB CR LF ÿ
      {"NESCAF\xC9\xAE", false},                     // C9 AE spells U+026E, beyond the repertoire
      {"S\xC3\x83\xC6\x92O", true},                  // Ãƒ: both in the repertoire
      {"plain ascii", false},                          // nothing beyond ASCII
      {"\xC2\x93", false},                            // a C1 control
      {std::string("\0\xC3\xA9", 3), false},          // NUL
      {"\x7F\xC3\xA9", false},                        // DEL
      {"\xC3\xA9\xE6\x97\xA5", false},                // 日
      {"\xE9t\xE9", false},                            // not UTF-8
  };
  for (const auto& c : cases) EXPECT_EQ(IsUtf8OfWindows1252Text(c.bytes), c.accepted) << c.bytes;
}

// A text cut to a number of bytes never ends inside a character.
TEST(Text, Utf8PrefixNeverCutsACharacterInTwo) {
  const struct {
    std::string text;
    size_t max;
    std::string prefix;
  } cases[] = {
      {"ação", 10, "ação"},   // fits whole
      {"ação", 2, "a"},       // inside "ç"
      {"ação", 3, "aç"},      // right after it
      {"a€b", 3, "a"},        // inside a three-byte character
      {"a😀", 4, "a"},       // inside a four-byte one
      {"a😀", 5, "a😀"},
      {"", 0, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Utf8Prefix(c.text, c.max), c.prefix) << c.text << " " << c.max;
}

TEST(Text, Utf16BothByteOrders) {
  for (bool big : {false, true}) {
    const std::string s = "Ação 😀";
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(s, big), big), s);
  }
  EXPECT_EQ(Utf8ToUtf16("A", false), std::string("A\0", 2));
  EXPECT_EQ(Utf8ToUtf16("A", true), std::string("\0A", 2));
}

// What goes to an operator's terminal: every control character a blank, the printable text as it
// was (accents, NBSP, any script).
TEST(Text, BlankControlsLeavesNoControlCharacterForATerminal) {
  const struct {
    std::string text, shown;
  } cases[] = {
      {"\x1B]0;t\x07" "fim", " ]0;t fim"},                        // window title (OSC ... BEL)
      {"a\x1B[2Jb\r\nc\td\x7F", "a [2Jb  c d "},                 // clear screen, line ends, TAB, DEL
      {"\xC2\x9B" "31m\xC2\x85", " 31m "},                         // C1: CSI, NEL
      {"ação\xC2\xA0€ 日本", "ação\xC2\xA0€ 日本"},                   // printable: kept
      {"x\x9By\xFF", "x y "},                                      // bytes that are no UTF-8
      {std::string("n\0l", 3), "n l"},
  };
  for (const auto& c : cases) EXPECT_EQ(BlankControls(c.text), c.shown) << c.text;
}

}  // namespace
}  // namespace quirada
