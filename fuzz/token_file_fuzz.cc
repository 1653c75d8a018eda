// The token file "token.dm", read the way the token check reads it: the file's lines, the six keys
// at the start of a line, and the date and time conversions of "data", "hora" and "ExpiraData". The
// input is the whole file.
//
// Promises checked besides surviving any file: lines hold no line break and are valid UTF-8; a key's
// value is the rest of its line; a conversion either fails with its "'%s' is not a valid ..."
// message (the only failure) or gives a value that its own text form reads back to; and a token
// read from the file, written again the way a new token is written, reads back as four lines whose
// dates convert.
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform_client/token_file.h"
#include "base/datetime.h"
#include "base/errors.h"
#include "base/text.h"

namespace quirada {
namespace {

template <typename Convert>
std::optional<TDateTime> Converted(const std::string& text, Convert convert, const char* what) {
  try {
    return convert(text);
  } catch (const Exception& e) {
    // The message holds the text; what() ends at the first NUL byte it may hold.
    QUIRADA_FUZZ_CHECK(std::strcmp(e.what(), ("'" + text + "' is not a valid " + what).c_str()) == 0);
    return std::nullopt;
  }
}

std::optional<TDateTime> ReadDate(const std::string& text) {
  const auto d = Converted(text, StrToDate, "date");
  if (d) {
    QUIRADA_FUZZ_CHECK(std::floor(*d) == *d);
    QUIRADA_FUZZ_CHECK(StrToDate(DateToStr(*d)) == *d);
  }
  return d;
}

std::optional<TDateTime> ReadTime(const std::string& text) {
  const auto t = Converted(text, StrToTime, "time");
  if (t) {
    QUIRADA_FUZZ_CHECK(*t >= 0 && *t < 1);
    if (DecodeDateTime(*t).millisecond == 0) QUIRADA_FUZZ_CHECK(StrToTime(TimeToStr(*t)) == *t);
  }
  return t;
}

std::optional<TDateTime> ReadDateTime(const std::string& text) {
  const auto dt = Converted(text, StrToDateTime, "date and time");
  if (dt && DecodeDateTime(*dt).millisecond == 0)
    QUIRADA_FUZZ_CHECK(StrToDateTime(DateTimeToStr(*dt)) == *dt);
  return dt;
}

bool HasControlCharacter(const std::string& text) {
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return true;
  }
  return false;
}

struct Loaded {
  std::optional<std::string> access_token;
  bool failed = false;  // a conversion failed, which fails the token check
};

std::optional<std::string> Entry(const std::string& line, std::string_view key) {
  auto value = TokenEntryValue(line, key);
  if (value) QUIRADA_FUZZ_CHECK(line == std::string(key) + "=" + *value);
  return value;
}

// Every line is tested against every key, in the token check's order.
Loaded Load(const std::vector<std::string>& lines) {
  Loaded loaded;
  for (const std::string& line : lines) {
    QUIRADA_FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
    QUIRADA_FUZZ_CHECK(IsValidUtf8(line));
    if (auto v = Entry(line, "data")) loaded.failed |= !ReadDate(*v);
    if (auto v = Entry(line, "hora")) loaded.failed |= !ReadTime(*v);
    (void)Entry(line, "audience");
    if (auto v = Entry(line, "ExpiraData")) loaded.failed |= !ReadDateTime(*v);
    if (auto v = Entry(line, "access_token")) loaded.access_token = *v;
    (void)Entry(line, "integrationKey");
  }
  return loaded;
}

const fuzz::ScratchFile& InputFile() {
  static const fuzz::ScratchFile file("token_file_fuzz_in");
  return file;
}

const fuzz::ScratchFile& WrittenFile() {
  static const fuzz::ScratchFile file("token_file_fuzz_out");
  return file;
}

}  // namespace
}  // namespace quirada

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quirada;
  InputFile().Write(fuzz::AsText(data, size));
  const auto lines = ReadTokenFileLines(InputFile().path());
  QUIRADA_FUZZ_CHECK(lines.has_value());
  const Loaded loaded = Load(*lines);

  // A token that the client would accept is written back and must read back whole.
  if (loaded.failed || !loaded.access_token || HasControlCharacter(*loaded.access_token)) return 0;
  const std::string& token = *loaded.access_token;
  WriteTokenFile(WrittenFile().path(), token, size % 2 == 0 ? kTokenLifetimeSeconds : 0);
  const auto again = ReadTokenFileLines(WrittenFile().path());
  QUIRADA_FUZZ_CHECK(again.has_value() && again->size() == 4);
  QUIRADA_FUZZ_CHECK((*again)[0] == "access_token=" + Latin1ToUtf8(Utf8ToLatin1(token)));
  const Loaded reloaded = Load(*again);
  QUIRADA_FUZZ_CHECK(!reloaded.failed);
  return 0;
}
