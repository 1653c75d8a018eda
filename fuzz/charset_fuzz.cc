// The decoding of answer bodies. The input is an answer: its first line is the Content-Type value,
// the rest the body.
//
// Promises checked besides surviving any answer: the charset found is a piece of the Content-Type;
// a body either passes through as UTF-8 (less a leading byte-order mark) or comes out as valid UTF-8;
// ISO-8859-1 reads back to the very bytes; Windows-1252 and UTF-16 always give valid UTF-8.
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "platform_client/charset.h"
#include "base/text.h"

namespace quirada {
namespace {

std::string_view WithoutMark(std::string_view body) {
  if (body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);
  return body;
}

}  // namespace
}  // namespace quirada

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quirada;
  const std::string_view answer = fuzz::AsText(data, size);
  const size_t eol = answer.find('\n');
  const std::string_view content_type = answer.substr(0, eol);
  const std::string_view body = eol == std::string_view::npos ? std::string_view() : answer.substr(eol + 1);

  const std::string charset = CharsetOfContentType(content_type);
  QUIRADA_FUZZ_CHECK(content_type.find(charset) != std::string_view::npos);

  for (DefaultCharset fallback : {DefaultCharset::kLatin1, DefaultCharset::kUtf8}) {
    const std::string text = DecodeBody(body, charset, fallback);
    QUIRADA_FUZZ_CHECK(text == WithoutMark(body) || IsValidUtf8(text));
  }
  const std::string latin1 = DecodeBody(body, "ISO-8859-1", DefaultCharset::kUtf8);
  QUIRADA_FUZZ_CHECK(IsValidUtf8(latin1) && Utf8ToLatin1(latin1) == body);
  QUIRADA_FUZZ_CHECK(IsValidUtf8(DecodeBody(body, "windows-1252", DefaultCharset::kUtf8)));
  for (const char* utf16 : {"utf-16", "UTF-16LE", "utf-16be"}) {
    const std::string text = DecodeBody(body, utf16, DefaultCharset::kLatin1);
    QUIRADA_FUZZ_CHECK(IsValidUtf8(text));
    QUIRADA_FUZZ_CHECK(text.size() <= body.size() / 2 * 3);
  }
  return 0;
}
