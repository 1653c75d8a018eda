// The INI file "Morvant.ini", read the way the connection set-up reads it: single values looked up
// by section and key. The input is the whole file, written to a scratch file for every run.
//
// Promises checked besides surviving any file: a value is valid UTF-8 without a NUL byte or a line
// break, without blanks at its start (nor at its end unless it was cut), and at most 2047 characters
// long; names match without regard to letter case, and the same file reads the same every time.
#include <string>

#include "dispatch/ini_file.h"
#include "fuzz/fuzz_support.h"
#include "base/text.h"

namespace quirada {
namespace {

constexpr char kDefault[] = "(default)";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

void CheckValue(const std::string& value) {
  if (value == kDefault) return;
  QUIRADA_FUZZ_CHECK(IsValidUtf8(value));
  QUIRADA_FUZZ_CHECK(value.find_first_of(std::string("\n\0", 2)) == std::string::npos);
  const size_t chars = Utf8ToLatin1(value).size();
  QUIRADA_FUZZ_CHECK(chars <= kIniValueMaxChars);
  if (value.empty()) return;
  QUIRADA_FUZZ_CHECK(!IsBlank(value.front()));
  if (chars < kIniValueMaxChars) QUIRADA_FUZZ_CHECK(!IsBlank(value.back()));
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

const fuzz::ScratchFile& File() {
  static const fuzz::ScratchFile file("ini_file_fuzz");
  return file;
}

}  // namespace
}  // namespace quirada

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quirada;
  File().Write(fuzz::AsText(data, size));
  static const struct {
    const char* section;
    const char* key;
  } kLookups[] = {
      {"Morvant", "Servidor"},  {"Morvant", "Caminho"}, {"Quirada", "ApiUrl"},
      {"Quirada", "AuthUrl"},   {"Quirada", "CAFile"},  {"Quirada", "IntervaloSegundos"},
      {"seção", "chave"},
  };
  for (const auto& lookup : kLookups) {
    const std::string value = ReadIniString(File().path(), lookup.section, lookup.key, kDefault);
    CheckValue(value);
    // Read again, names in capitals: the same value (which also shows that reading has no memory).
    QUIRADA_FUZZ_CHECK(ReadIniString(File().path(), Upper(lookup.section), Upper(lookup.key), kDefault) ==
                       value);
  }
  return 0;
}
