#include "base/ini_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/test_files.h"

using quirada::testing::FailureOf;
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
      {"comment line ignored", "[Morvant]\n;Servidor=x\n#Servidor=y\n", "Morvant", "Servidor", "DEFAULT"},
      {"indented key is a key, not a continuation", "[Morvant]\nCaminho=a\n   Servidor=b\n", "Morvant",
       "Servidor", "b"},
      {"indented line does not extend the previous value", "[Morvant]\nCaminho=a\n   Servidor=b\n", "Morvant",
       "Caminho", "a"},
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

TEST(IniFile, AFileIsReadAsUtf8WhenItIsUtf8AndInTheSingleByteCodePageOtherwise) {
  struct EncodingCase {
    const char* what;
    std::string content;
    const char* section;
    const char* key;
    std::string expected;
    IniEncoding encoding;
  };
  const EncodingCase cases[] = {
      {"ISO-8859-1", "[Morvant]\nCaminho=/dados/a\xE7\xE3o.fdb\n", "Morvant", "Caminho", "/dados/ação.fdb",
       IniEncoding::kAnsi},
      {"UTF-8", "[Morvant]\nCaminho=/dados/ação.fdb\n", "Morvant", "Caminho", "/dados/ação.fdb", IniEncoding::kUtf8},
      {"UTF-8 with the byte-order mark, not part of the first line",
       "\xEF\xBB\xBF[Morvant]\nCaminho=/dados/ação.fdb\n", "Morvant", "Caminho", "/dados/ação.fdb",
       IniEncoding::kUtf8WithMark},
      {"plain ASCII", "[Morvant]\nServidor=db\n", "Morvant", "Servidor", "db", IniEncoding::kUtf8},
      {"UTF-8 outside ISO-8859-1", "[Morvant]\nCaminho=/dados/€-łódź.fdb\n", "Morvant", "Caminho",
       "/dados/€-łódź.fdb", IniEncoding::kUtf8},
      {"one byte that is not UTF-8 makes the whole file ISO-8859-1", "[Morvant]\nServidor=s\xE9\nCaminho=ação\n",
       "Morvant", "Caminho", "a\xC3\x83\xC2\xA7\xC3\x83\xC2\xA3o", IniEncoding::kAnsi},
      {"with the byte-order mark, a byte that is not UTF-8 is U+FFFD", "\xEF\xBB\xBF[Morvant]\nCaminho=a\xE7o\n",
       "Morvant", "Caminho", "a\uFFFDo", IniEncoding::kUtf8WithMark},
      {"ISO-8859-1 accented names without regard to case", "[SE\xC7\xC3O]\nCHAVE=1\n", "seção", "chave", "1",
       IniEncoding::kAnsi},
      {"UTF-8 accented names without regard to case", "[SEÇÃO]\nÍNDICE=1\n", "seção", "índice", "1",
       IniEncoding::kUtf8},
      {"a long accented section name is matched whole",
       "[CONFIGURAÇÕES DA INTEGRAÇÃO COM A PLATAFORMA CONTÁBIL]\nChave=1\n",
       "configurações da integração com a plataforma contábil", "chave", "1", IniEncoding::kUtf8},
  };
  TempFolder dir;
  const std::string path = dir.path() + "Morvant.ini";
  for (const EncodingCase& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFileBytes(path, c.content);
    EXPECT_EQ(ReadIniString(path, c.section, c.key, "DEFAULT"), c.expected);
    EXPECT_EQ(ReadIniFile(path).encoding, c.encoding);
  }
}

TEST(IniFile, OnePairOfEnclosingDoubleQuotesIsRemoved) {
  struct QuoteCase {
    const char* what;
    std::string line;  // after "Caminho="
    std::string expected;
  };
  const QuoteCase cases[] = {
      {"enclosed", "\"/x.fdb\"", "/x.fdb"},
      {"blanks outside trimmed first, blanks inside kept", "  \" /meus dados/x.fdb \" \t", " /meus dados/x.fdb "},
      {"quote inside", "\"a\"b\"", "a\"b"},
      {"only the outer pair", "\"\"x\"\"", "\"x\""},
      {"empty quotes", "\"\"", ""},
      {"lone quote", "\"", "\""},
      {"opening quote only", "\"abc", "\"abc"},
      {"closing quote only", "abc\"", "abc\""},
      {"quotes not at both ends", "\"a\" b", "\"a\" b"},
      {"single quotes kept", "'abc'", "'abc'"},
      {"accented text inside", "\"/dados/a\xE7\xE3o.fdb\"", "/dados/ação.fdb"},
  };
  TempFolder dir;
  const std::string path = dir.path() + "Morvant.ini";
  for (const QuoteCase& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFileBytes(path, "[Morvant]\nCaminho=" + c.line + "\nServidor=db\n");
    EXPECT_EQ(ReadIniString(path, "Morvant", "Caminho", "DEFAULT"), c.expected);
  }
}

TEST(IniFile, EveryEntryInTheOrderOfTheFileWithWhatIsNotRead) {
  TempFolder dir;
  const std::string path = dir.path() + "Morvant.ini";
  WriteFileBytes(path,
                 "; comentário\n"
                 "Solta=antes de qualquer seção\n"
                 "[Morvant]\n"
                 "  Servidor = db.local \r\n"
                 "#Servidor=comentado\n"
                 ";Caminho=comentado\n"
                 "Caminho=\"/dados/ação.fdb\"\n"
                 "Servidor=segundo\n"
                 "[ Quirada ]\n"
                 "lixo sem igual\n"
                 "ApiUrl=https://api;x\n"
                 "[morvant]\n"
                 "SERVIDOR=terceiro\n"
                 "Vazio=\n"
                 "[Configurações da integração com a plataforma contábil]\n"
                 "Chave=1");
  const std::vector<IniEntry> expected = {
      {"", "Solta", "antes de qualquer seção", IniPlace::kBeforeAnySection},
      {"Morvant", "Servidor", "db.local"},
      {"Morvant", "Caminho", "/dados/ação.fdb"},
      {"Morvant", "Servidor", "segundo"},
      {"Quirada", "ApiUrl", "https://api;x"},
      {"morvant", "SERVIDOR", "terceiro", IniPlace::kRepeatedSection},
      {"morvant", "Vazio", "", IniPlace::kRepeatedSection},
      {"Configurações da integração com a plataforma contábil", "Chave", "1"},
  };
  EXPECT_EQ(ReadIniEntries(path), expected);
  EXPECT_EQ(ReadIniString(path, "Morvant", "Servidor", "DEFAULT"), "db.local");  // the first one
  EXPECT_EQ(ReadIniString(path, "Morvant", "Vazio", "DEFAULT"), "DEFAULT");      // a later [morvant]
  EXPECT_EQ(ReadIniString(path, "", "Solta", "DEFAULT"), "DEFAULT");             // before any section
}

TEST(IniFile, WhatIsNoConfigurationFileFailsOrHasNoEntries) {
  TempFolder dir;
  const std::string big = dir.path() + "grande.ini";
  WriteFileBytes(big, "[Morvant]\nServidor=db\n" + std::string(1024 * 1024, ';'));
  struct FileCase {
    const char* what;
    std::string path;
    std::string failure;  // "no failure": no entries
  };
  const FileCase cases[] = {
      {"missing", dir.path() + "Morvant.ini", "no failure"},
      {"a folder", dir.path(), "O arquivo de configuração \"" + dir.path() + "\" não é um arquivo comum"},
      {"over 1 MiB", big, "O arquivo de configuração \"" + big + "\" tem mais de 1048576 bytes"},
  };
  for (const FileCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(FailureOf([&] {
                const IniFileContents contents = ReadIniFile(c.path);
                EXPECT_TRUE(contents.entries.empty());
                EXPECT_EQ(contents.encoding, std::nullopt);
              }),
              c.failure);
    EXPECT_EQ(FailureOf([&] { ReadIniString(c.path, "Morvant", "Servidor", "DEFAULT"); }), c.failure);
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
    for (const char* quote : {"", "\""}) {  // the cut comes after the quotes are removed
      SCOPED_TRACE(std::string(c.what) + (*quote ? ", quoted" : ""));
      std::string value;
      for (std::size_t i = 0; i < c.length; ++i) value += static_cast<char>('a' + i % 26);
      WriteFileBytes(path, "[Morvant]\nCaminho=" + (quote + value + quote) + "\nServidor=depois\n");
      EXPECT_EQ(ReadIniString(path, "Morvant", "Caminho", "DEFAULT"), value.substr(0, kIniValueMaxChars));
      EXPECT_EQ(ReadIniString(path, "Morvant", "Servidor", "DEFAULT"), "depois");
    }
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
  std::string utf8;
  for (int i = 0; i < 3000; ++i) utf8 += "é";
  const struct {
    const char* what;
    std::string value;
  } cases[] = {{"ISO-8859-1", std::string(3000, '\xE9')}, {"UTF-8", utf8}};
  TempFolder dir;
  const std::string path = dir.path() + "Morvant.ini";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFileBytes(path, "[Morvant]\nCaminho=" + c.value + "\n");
    EXPECT_EQ(ReadIniString(path, "Morvant", "Caminho", ""), utf8.substr(0, 2 * kIniValueMaxChars));
  }
}

}  // namespace
}  // namespace quirada
