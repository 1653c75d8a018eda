#include "dispatch/ini_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "testing/erp_database.h"
#include "testing/test_files.h"

using quirada::testing::WriteFileBytes;

namespace quirada {
namespace {

using testing::TempFolder;

TEST(IniFile, MissingFileGivesTheDefault) {
  TempFolder dir;
  EXPECT_EQ(ReadIniString(dir.path() + "Morvant.ini", "Morvant", "Servidor", "localhost"), "localhost");
}

struct IniCase {
  const char* what;
  std::string content;
  const char* section;
  const char* key;
  std::string expected;  // the default is "DEFAULT"
};

TEST(IniFile, ReadsValuesAsTheClassicProfileReaderDoes) {
  const IniCase cases[] = {
      {"section missing", "[Outra]\nServidor=db\n", "Morvant", "Servidor", "DEFAULT"},
      {"key missing", "[Morvant]\nCaminho=/x.fdb\n", "Morvant", "Servidor", "DEFAULT"},
      {"empty value stays empty", "[Morvant]\nServidor=\n", "Morvant", "Servidor", ""},
      {"blank value is empty", "[Morvant]\nServidor=    \n", "Morvant", "Servidor", ""},
      {"names without regard to case", "[MORVANT]\nsErViDoR=db\n", "Morvant", "Servidor", "db"},
      {"blanks around the value dropped", "[Morvant]\nServidor =  10.0.0.1 \t \r\n", "Morvant", "Servidor",
       "10.0.0.1"},
      {"blanks inside the value kept", "[Morvant]\nCaminho= C:\\Meus Dados\\X.FDB \n", "Morvant", "Caminho",
       "C:\\Meus Dados\\X.FDB"},
      {"first occurrence wins", "[Morvant]\nServidor=a\nServidor=b\n", "Morvant", "Servidor", "a"},
      {"same key in another section", "[Outra]\nServidor=x\n[Morvant]\nServidor=y\n", "Morvant", "Servidor", "y"},
      {"semicolon belongs to the value", "[Morvant]\nCaminho=/dados;velhos/x.fdb\n", "Morvant", "Caminho",
       "/dados;velhos/x.fdb"},
      {"quotes are kept", "[Morvant]\nCaminho=\"/x.fdb\"\n", "Morvant", "Caminho", "\"/x.fdb\""},
      {"comment line ignored", "[Morvant]\n;Servidor=x\n#Servidor=y\n", "Morvant", "Servidor", "DEFAULT"},
      {"indented key is a key, not a continuation", "[Morvant]\nCaminho=a\n   Servidor=b\n", "Morvant",
       "Servidor", "b"},
      {"indented line does not extend the previous value", "[Morvant]\nCaminho=a\n   Servidor=b\n", "Morvant",
       "Caminho", "a"},
      {"ISO-8859-1 read as UTF-8", "[Morvant]\nCaminho=/dados/a\xE7\xE3o.fdb\n", "Morvant", "Caminho",
       "/dados/ação.fdb"},
      {"accented names without regard to case", "[SE\xC7\xC3O]\nCHAVE=1\n", "seção", "chave", "1"},
      {"UTF-8 byte-order mark skipped", "\xEF\xBB\xBF[Morvant]\nServidor=db\n", "Morvant", "Servidor", "db"},
      {"CR LF lines", "[Morvant]\r\nServidor=db\r\nCaminho=/x.fdb\r\n", "Morvant", "Caminho", "/x.fdb"},
      {"last line without line break", "[Morvant]\nServidor=db", "Morvant", "Servidor", "db"},
      {"malformed lines ignored", "[Morvant]\nlixo sem igual\nServidor=db\n", "Morvant", "Servidor", "db"},
      {"blanks inside the brackets", "[ Morvant ]\nServidor=db\n", "Morvant", "Servidor", "db"},
  };
  TempFolder dir;
  const std::string path = dir.path() + "Morvant.ini";
  for (const IniCase& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFileBytes(path, c.content);
    EXPECT_EQ(ReadIniString(path, c.section, c.key, "DEFAULT"), c.expected);
  }
}

TEST(IniFile, ValuesAreCutAt2047CharactersHoweverLongTheLine) {
  struct LongCase {
    const char* what;
    std::size_t length;
  };
  const LongCase cases[] = {
      {"just below the cut", 2046}, {"exactly at the cut", 2047}, {"just above", 2048},
      {"several kilobytes", 5000},  {"longer than any line buffer", 200000},
  };
  TempFolder dir;
  const std::string path = dir.path() + "Morvant.ini";
  for (const LongCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::string value;
    for (std::size_t i = 0; i < c.length; ++i) value += static_cast<char>('a' + i % 26);
    WriteFileBytes(path, "[Morvant]\nCaminho=" + value + "\nServidor=depois\n");
    EXPECT_EQ(ReadIniString(path, "Morvant", "Caminho", "DEFAULT"), value.substr(0, kIniValueMaxChars));
    EXPECT_EQ(ReadIniString(path, "Morvant", "Servidor", "DEFAULT"), "depois");
  }
}

TEST(IniFile, TheTailOfALongLineNeverBecomesAKey) {
  // A parser with a small line buffer would read the tail of this line as "Servidor=intruso".
  for (std::size_t head : {150u, 190u, 195u, 196u, 197u, 198u, 200u, 390u, 1000u}) {
    SCOPED_TRACE(head);
    TempFolder dir;
    const std::string path = dir.path() + "Morvant.ini";
    WriteFileBytes(path, "[Morvant]\nCaminho=" + std::string(head, 'x') + "Servidor=intruso\n");
    EXPECT_EQ(ReadIniString(path, "Morvant", "Servidor", "localhost"), "localhost");
    EXPECT_EQ(ReadIniString(path, "Morvant", "Caminho", ""), std::string(head, 'x') + "Servidor=intruso");
  }
}

TEST(IniFile, AccentedValuesAreCutInCharactersNotBytes) {
  TempFolder dir;
  const std::string path = dir.path() + "Morvant.ini";
  WriteFileBytes(path, "[Morvant]\nCaminho=" + std::string(3000, '\xE9') + "\n");
  std::string expected;
  for (std::size_t i = 0; i < kIniValueMaxChars; ++i) expected += "é";
  EXPECT_EQ(ReadIniString(path, "Morvant", "Caminho", ""), expected);
}

}  // namespace
}  // namespace quirada
