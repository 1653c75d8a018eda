#include "platform_client/charset.h"

#include <string>

#include <gtest/gtest.h>

namespace quirada {
namespace {

TEST(CharsetOfContentTypeTest, FindsTheCharsetParameterWhereverItStands) {
  const struct {
    const char* content_type;
    const char* charset;
  } cases[] = {
      {"application/json", ""},
      {"application/json; charset=utf-8", "utf-8"},
      {"application/json;charset=ISO-8859-1", "ISO-8859-1"},
      {"text/plain; format=flowed; Charset=\"windows-1252\"", "windows-1252"},
      {"multipart/form-data; boundary=--x; charset=utf-8", "utf-8"},
      {"text/plain; charsetx=utf-8", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(CharsetOfContentType(c.content_type), c.charset) << c.content_type;
}

TEST(DecodeBodyTest, DecodesByTheNamedCharsetOrElseByTheDefault) {
  const struct {
    std::string body;
    const char* charset;
    DefaultCharset fallback;
    std::string expected;
  } cases[] = {
      {"a\xC3\xA7", "UTF-8", DefaultCharset::kLatin1, "a\xC3\xA7"},
      {"\xEF\xBB\xBF{}", "utf-8", DefaultCharset::kLatin1, "{}"},
      {"a\xE7", "iso-8859-1", DefaultCharset::kUtf8, "a\xC3\xA7"},
      {"a\xE7", "", DefaultCharset::kLatin1, "a\xC3\xA7"},
      {"a\xC3\xA7", "", DefaultCharset::kUtf8, "a\xC3\xA7"},
      {"a\xC3\xA7", "x-unknown", DefaultCharset::kUtf8, "a\xC3\xA7"},
      {"\x80\xE7", "windows-1252", DefaultCharset::kUtf8, "\xE2\x82\xAC\xC3\xA7"},
      {std::string("a\0\xE7\0", 4), "utf-16le", DefaultCharset::kUtf8, "a\xC3\xA7"},
      {std::string("\xFE\xFF\0a", 4), "UTF-16", DefaultCharset::kUtf8, "a"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(DecodeBody(c.body, c.charset, c.fallback), c.expected) << c.charset << " " << c.body;
}

}  // namespace
}  // namespace quirada
