#include "base/ini_text.h"

#include <gtest/gtest.h>

#include <string>

#include "base/text.h"

namespace quirada {
namespace {

// A text as Notepad saves it in "Unicode" (UTF-16 LE) or "Unicode big endian", mark first.
std::string Utf16WithMark(const std::string& utf8, bool big_endian) {
  std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  bytes += Utf8ToUtf16(utf8, big_endian);
  return bytes;
}

const std::string kMorvant =
    "; Configuração\r\n[Morvant]\r\nServidor=erp.local\r\nCaminho=C:\\ERP\\Dados Ação.FDB\r\n"
    "Senha=\"s3nh@ ç\"\r\n";

// The same configuration in every encoding the file may be saved in reads the same, and the
// encoding is told by the name an operator knows.
TEST(IniText, EveryEncodingOfTheSameFileReadsTheSame) {
  const struct {
    const char* what;
    std::string bytes;
    IniEncoding encoding;
    std::string name;
  } cases[] = {
      {"UTF-8", kMorvant, IniEncoding::kUtf8, "UTF-8"},
      {"UTF-8 with its mark", "\xEF\xBB\xBF" + kMorvant, IniEncoding::kUtf8WithMark,
       "UTF-8 com marca de ordem de bytes"},
      {"Notepad's Unicode (UTF-16 LE)", Utf16WithMark(kMorvant, false), IniEncoding::kUtf16Le,
       "UTF-16 LE"},
      {"Notepad's Unicode big endian (UTF-16 BE)", Utf16WithMark(kMorvant, true),
       IniEncoding::kUtf16Be, "UTF-16 BE"},
      {"the single-byte code page", Utf8ToLatin1(kMorvant), IniEncoding::kAnsi, AnsiCodePageName()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const IniText ini = ParseIni(c.bytes);
    EXPECT_EQ(ini.encoding, c.encoding);
    EXPECT_EQ(IniEncodingName(ini.encoding), c.name);
    EXPECT_EQ(ini.Value("MORVANT", "servidor", "?"), "erp.local");
    EXPECT_EQ(ini.Value("Morvant", "Caminho", "?"), "C:\\ERP\\Dados Ação.FDB");
    EXPECT_EQ(ini.Value("Morvant", "Senha", "?"), "s3nh@ ç");
    EXPECT_EQ(ini.entries.size(), 3u);
  }
#ifndef _WIN32
  EXPECT_EQ(AnsiCodePageName(), "ISO-8859-1");
#endif
}

// Where a key is, and which of several, as the profile functions read them.
TEST(IniText, KeysAreReadWhereTheProfileFunctionsReadThem) {
  const struct {
    const char* what;
    std::string text;
    std::string expected;  // [Morvant] Servidor; "DEFAULT" when none
  } cases[] = {
      {"before any section: not read", "Servidor=solto\r\n[Morvant]\r\nCaminho=x\r\n", "DEFAULT"},
      {"only in a repeated section: not read",
       "[Morvant]\r\nCaminho=x\r\n[Quirada]\r\n[MORVANT]\r\nServidor=segundo\r\n", "DEFAULT"},
      {"in the first section, not the repeated one",
       "[Morvant]\r\nServidor=primeiro\r\n[morvant]\r\nServidor=segundo\r\n", "primeiro"},
      {"the first of two in one section", "[Morvant]\r\nServidor=a\r\nServidor=b\r\n", "a"},
      {"lines ended by lone CRs", "[Morvant]\rCaminho=x\rServidor=cr\r", "cr"},
      {"lines ended by LF", "[Morvant]\nServidor=lf", "lf"},
      {"a NUL inside a name is left out",
       std::string("[Morv") + '\0' + "ant]\nServ" + '\0' + "idor=nul\n", "nul"},
      {"text after the closing bracket", "[Morvant] ; o banco\r\nServidor=db\r\n", "db"},
      {"a bracket without its close is no section",
       "[Morvant]\r\nServidor=db\r\n[Quirada\r\nServidor=outro\r\n", "db"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ParseIni(c.text).Value("Morvant", "Servidor", "DEFAULT"), c.expected);
  }
}

TEST(IniText, UndecodableUtf16IsReplacedNotDropped) {
  // An unpaired high surrogate in "Caminho=a?b" and a trailing odd byte.
  const std::string bytes = std::string("\xFF\xFE", 2) + Utf8ToUtf16("[Morvant]\nCaminho=a", false) +
                            std::string("\x00\xD8", 2) + Utf8ToUtf16("b\n", false) + "\x41";
  EXPECT_EQ(ParseIni(bytes).Value("Morvant", "Caminho", "?"), "a?b");
}

}  // namespace
}  // namespace quirada
