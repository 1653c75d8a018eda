// The INI file "Morvant.ini", read the way the connection set-up reads it (single values looked up
// by section and key) and the way a configuration check lists it (every entry). The input is the
// whole file, written to a scratch file for every run.
//
// Promises checked besides surviving any file: a value is valid UTF-8 without a NUL byte or a line
// break and at most 2047 characters long (blanks may start or end it only inside its quotes, which
// are gone); names match without regard to letter case, and the same file reads the same every
// time; every entry listed has valid UTF-8 names, and looking the names of an entry that is read
// (not before any section, not in a repeated section) up gives its value or the value of an earlier
// entry (the first occurrence wins).
#include <string>
#include <vector>

#include "base/ini_file.h"
#include "fuzz/fuzz_support.h"
#include "base/text.h"

namespace quirada {
namespace {

constexpr char kDefault[] = "(default)";

void CheckValue(const std::string& value) {
  if (value == kDefault) return;
  QUIRADA_FUZZ_CHECK(IsValidUtf8(value));
  QUIRADA_FUZZ_CHECK(value.find_first_of(std::string("\n\0", 2)) == std::string::npos);
  QUIRADA_FUZZ_CHECK(Utf8ToLatin1(value).size() <= kIniValueMaxChars);
}

// Entries looked up again by their names: enough to cover a sizeable file without reading it once
// per line of a long input.
constexpr size_t kEntriesLookedUp = 16;

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
  const std::vector<IniEntry> entries = ReadIniEntries(File().path());
  for (size_t i = 0; i < entries.size(); ++i) {
    const IniEntry& entry = entries[i];
    QUIRADA_FUZZ_CHECK(IsValidUtf8(entry.section) && IsValidUtf8(entry.key));
    CheckValue(entry.value);
    if (i >= kEntriesLookedUp || entry.place != IniPlace::kRead) continue;
    const std::string found = ReadIniString(File().path(), entry.section, entry.key, kDefault);
    bool earlier = false;
    for (size_t j = 0; j <= i && !earlier; ++j) earlier = entries[j].value == found;
    QUIRADA_FUZZ_CHECK(earlier);
  }
  return 0;
}
