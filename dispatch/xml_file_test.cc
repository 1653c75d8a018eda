#include "dispatch/xml_file.h"

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <csignal>
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "base/errors.h"
#include "base/file_io.h"
#include "base/platform.h"
#include "base/text.h"
#include "testing/test_files.h"

namespace quirada {
namespace {

// The declaration of a document in the encoding `label`, for the cases below.
std::string Decl(const std::string& label) { return "<?xml version=\"1.0\" encoding=\"" + label + "\"?>"; }

// Texts as the database gives them: the characters of a column of a character set (UTF-8), or the
// stored bytes of a column without one.
const FbCharacterSet kUtf8{kFbCsUtf8, "UTF8", 4};
const FbCharacterSet kLatin1{kFbCsIso8859_1, "ISO8859_1", 1};
const FbCharacterSet kWin1252{kFbCsWin1252, "WIN1252", 1};
const FbCharacterSet kWin1250{51, "WIN1250", 1};
FbText In(const FbCharacterSet& charset, std::string utf8) { return FbText{std::move(utf8), false, charset}; }
FbText Raw(std::string bytes) { return FbText{std::move(bytes), true, FbCharacterSet{kFbCsNone, "NONE", 1}}; }

TEST(XmlFile, KeepsEveryCharacterStoredInTheDeclaredEncodingWhenItFitsElseInUtf8) {
  struct Case {
    const char* what;
    FbText text;
    std::string bytes;  // expected file content
  } cases[] = {
      {"plain ASCII", In(kUtf8, "<a>x</a>"), "<a>x</a>\r\n"},
      {"ISO-8859-1 declared, every character fits", In(kUtf8, Decl("ISO-8859-1") + "<a>ação</a>"),
       Decl("ISO-8859-1") + "<a>a\xE7\xE3o</a>\r\n"},
      {"UTF-8 declared", In(kUtf8, Decl("UTF-8") + "<a>ação € “x” –</a>"), Decl("UTF-8") + "<a>ação € “x” –</a>\r\n"},
      {"windows-1252 declared, every character fits", In(kWin1252, Decl("windows-1252") + "<a>€“”–</a>"),
       Decl("windows-1252") + "<a>\x80\x93\x94\x96</a>\r\n"},
      {"ISO-8859-1 declared with a euro: UTF-8, declaration changed", In(kUtf8, Decl("ISO-8859-1") + "<a>10 €</a>"),
       Decl("UTF-8") + "<a>10 €</a>\r\n"},
      {"US-ASCII declared with an accent: UTF-8", In(kUtf8, Decl("us-ascii") + "<a>é</a>"),
       Decl("UTF-8") + "<a>é</a>\r\n"},
      {"an encoding the program does not write: UTF-8", In(kUtf8, Decl("ISO-8859-15") + "<a>é</a>"),
       Decl("UTF-8") + "<a>é</a>\r\n"},
      {"single quotes, lower case label", In(kLatin1, "<?xml version='1.0' encoding='iso-8859-1'?><a>é</a>"),
       "<?xml version='1.0' encoding='iso-8859-1'?><a>\xE9</a>\r\n"},
      {"byte-order mark kept before a UTF-8 declaration", In(kUtf8, "\xEF\xBB\xBF" + Decl("utf-8") + "<a>é</a>"),
       "\xEF\xBB\xBF" + Decl("utf-8") + "<a>é</a>\r\n"},
      {"no declaration: UTF-8", In(kUtf8, "<a>é €</a>"), "<a>é €</a>\r\n"},
      {"declaration without encoding: UTF-8", In(kUtf8, "<?xml version=\"1.0\"?><a>é</a>"),
       "<?xml version=\"1.0\"?><a>é</a>\r\n"},
      {"line breaks and TAB inside stay", In(kUtf8, "<a>\n<b/>\r\n\t</a>"), "<a>\n<b/>\r\n\t</a>\r\n"},
      {"empty text", In(kUtf8, ""), "\r\n"},
      // Single-byte columns: C1 controls are the Windows-1252 characters of their bytes; UTF-8 bytes
      // kept there are read as UTF-8 only in a document declaring UTF-8 or nothing, and only when
      // they spell Windows-1252 characters.
      {"C1 controls of an ISO8859_1 column", In(kLatin1, Decl("UTF-8") + "<a>\xC2\x93ol\xC2\x94 \xC2\x80</a>"),
       Decl("UTF-8") + "<a>“ol” €</a>\r\n"},
      {"UTF-8 bytes kept in a WIN1252 column", In(kWin1252, Decl("UTF-8") + "<a>Ã©â€œ</a>"),
       Decl("UTF-8") + "<a>é“</a>\r\n"},
      {"UTF-8 bytes kept in an ISO8859_1 column, no declaration", In(kLatin1, "<a>Ã©â\xC2\x80\xC2\x9C</a>"),
       "<a>é“</a>\r\n"},
      {"WIN1252, windows-1252 declared: never reinterpreted", In(kWin1252, Decl("windows-1252") + "<a>NESCAFÉ® ORIGINAL 160G</a>"),
       Decl("windows-1252") + "<a>NESCAF\xC9\xAE ORIGINAL 160G</a>\r\n"},
      {"WIN1252, UTF-8 declared: C9 AE would spell ɮ, no fiscal character", In(kWin1252, Decl("UTF-8") + "<a>NESCAFÉ®</a>"),
       Decl("UTF-8") + "<a>NESCAFÉ®</a>\r\n"},
      {"WIN1252, windows-1252 declared, bytes that spell é stay Ã©", In(kWin1252, Decl("windows-1252") + "<a>Ã©</a>"),
       Decl("windows-1252") + "<a>\xC3\xA9</a>\r\n"},
      {"a single-byte set whose bytes the program does not know: its characters", In(kWin1250, Decl("UTF-8") + "<a>Ă©</a>"),
       Decl("UTF-8") + "<a>Ă©</a>\r\n"},
      // Multi-byte columns: their characters, whatever they look like.
      {"UTF8 column, a supplier's double-encoded text", In(kUtf8, Decl("UTF-8") + "<a>DISTRIBUIDORA SÃƒO JOÃƒO LTDA</a>"),
       Decl("UTF-8") + "<a>DISTRIBUIDORA SÃƒO JOÃƒO LTDA</a>\r\n"},
      {"UTF8 column, a C1 control stays one", In(kUtf8, Decl("UTF-8") + "<a>\xC2\x93\xC2\x81</a>"),
       Decl("UTF-8") + "<a>\xC2\x93\xC2\x81</a>\r\n"},
      // Stored bytes of a NONE column.
      {"raw UTF-8 stays UTF-8", Raw(Decl("UTF-8") + "<a>a\xC3\xA7\xC3\xA3o</a>"), Decl("UTF-8") + "<a>a\xC3\xA7\xC3\xA3o</a>\r\n"},
      {"raw Windows-1252 under a UTF-8 declaration", Raw(Decl("UTF-8") + "<a>\x80\x93\x94\x96\xE9</a>"),
       Decl("UTF-8") + "<a>€“”–é</a>\r\n"},
      {"raw Windows-1252 without a declaration", Raw("<a>\x93x\x94</a>"), "<a>“x”</a>\r\n"},
      {"raw C9 AE under a UTF-8 declaration is Windows-1252", Raw(Decl("UTF-8") + "<a>CAF\xC9\xAE</a>"),
       Decl("UTF-8") + "<a>CAFÉ®</a>\r\n"},
      {"raw bytes declared ISO-8859-1 are read as Windows-1252", Raw(Decl("ISO-8859-1") + "<a>\x93\xE9\x94</a>"),
       Decl("UTF-8") + "<a>“é”</a>\r\n"},
      {"raw bytes declared ISO-8859-1 without 0x80..0x9F stay as they are", Raw(Decl("ISO-8859-1") + "<a>\xE9</a>"),
       Decl("ISO-8859-1") + "<a>\xE9</a>\r\n"},
      {"raw windows-1252 declared stays as it is", Raw(Decl("windows-1252") + "<a>\x80</a>"),
       Decl("windows-1252") + "<a>\x80</a>\r\n"},
      {"raw bytes that spell UTF-8 in a windows-1252 document stay as they are", Raw(Decl("windows-1252") + "<a>\xC3\xA7</a>"),
       Decl("windows-1252") + "<a>\xC3\xA7</a>\r\n"},
  };
  for (const auto& c : cases) {
    const XmlFileContent content = XmlFileBytes(c.text);
    EXPECT_EQ(content.failure, "") << c.what;
    EXPECT_EQ(content.bytes, c.bytes) << c.what;
  }
}

// A character the file cannot hold unchanged gives no file, only the reason, naming the character
// and its place in the stored text as the database counts it.
TEST(XmlFile, ACharacterXmlDoesNotAdmitOrNoWindows1252CharacterExplainsGivesNoFile) {
  const std::string decl = Decl("UTF-8");
  const struct {
    const char* what;
    FbText text;
    std::string reason;  // a piece of the failure
  } cases[] = {
      {"a C1 control of an ISO8859_1 column", In(kLatin1, "<a>\xC2\x81</a>"),
       "o texto guardado (ISO8859_1) tem, na posição 4, o caractere de controle U+0081, que nenhum caractere "
       "de windows-1252 explica"},
      {"a NONE byte Windows-1252 leaves undefined", Raw("<a>x\x9D</a>"),
       "o texto guardado (NONE) tem, na posição 5, o caractere de controle U+009D"},
      {"the NUL the server gives for 0x81 of a WIN1252 column", In(kWin1252, std::string("<a>ÇÃ\0</a>", 12)),
       "o texto guardado (WIN1252) tem, na posição 6, o caractere U+0000, que o XML não admite (numa coluna "
       "WIN1252, o servidor dá U+0000 também aos bytes 0x81, 0x8D, 0x8F, 0x90 e 0x9D"},
      {"a form feed in a UTF8 column, counted in characters", In(kUtf8, "<a>ção\x0C</a>"),
       "o texto guardado (UTF8) tem, na posição 7, o caractere U+000C, que o XML não admite"},
      {"a control in NONE bytes, counted in bytes", Raw(decl + "<a>\xC3\xA9\x01</a>"),
       "o texto guardado (NONE) tem, na posição " + std::to_string(decl.size() + 6) + ", o caractere U+0001"},
      {"U+FFFF", In(kUtf8, "<a>\xEF\xBF\xBF</a>"), "na posição 4, o caractere U+FFFF, que o XML não admite"},
      {"NUL in an ASCII text of unknown character set", FbText{std::string("<a>\0</a>", 8), false, {}},
       "o texto guardado tem, na posição 4, o caractere U+0000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const XmlFileContent content = XmlFileBytes(c.text);
    EXPECT_EQ(content.bytes, "");
    EXPECT_NE(content.failure.find(c.reason), std::string::npos) << content.failure;
  }
}

TEST(XmlFile, SaveReplacesTheFileAndFailsWithTheFileName) {
  const std::string dir =
      (std::filesystem::temp_directory_path() / ("quirada-xml-" + std::to_string(CurrentProcessId()))).string();
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/123.xml";
  SaveXmlFile(path, "<a>antigo e mais longo</a>\r\n");
  SaveXmlFile(path, "<a/>\r\n");
  EXPECT_EQ(std::filesystem::file_size(path), 6u);
  try {
    SaveXmlFile(dir + "/nao/existe.xml", "<a/>");
    ADD_FAILURE() << "wrote into a missing folder";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot create file \"" + dir + "/nao/existe.xml\". No such file or directory");
  }
  std::filesystem::remove_all(dir);
}

#ifndef _WIN32  // a file size limit is a POSIX resource limit
// Under a file size limit, which makes the write fail part way as a full disk does: exits 0 when
// the failure names the file and the file is gone.
[[noreturn]] void SaveBeyondTheSizeLimit(const std::string& path) {
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  limit.rlim_cur = limit.rlim_max = 4096;
  if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) std::_Exit(3);
  try {
    SaveXmlFile(path, "<a>" + std::string(64 * 1024, 'x') + "</a>");
    std::_Exit(4);  // written whole despite the limit
  } catch (const Exception& e) {
    const bool named = std::string(e.what()).starts_with("Cannot write file \"" + path + "\". ");
    std::_Exit(named && !std::filesystem::exists(path) ? 0 : 5);
  }
}

// The limit stays in a child process, away from the test program.
TEST(XmlFile, AFileThatCannotBeWrittenWholeIsRemoved) {
  const std::string dir =
      (std::filesystem::temp_directory_path() / ("quirada-xml-cut-" + std::to_string(CurrentProcessId())))
          .string();
  std::filesystem::create_directories(dir);
  EXPECT_EXIT(SaveBeyondTheSizeLimit(dir + "/456.xml"), ::testing::ExitedWithCode(0), "");
  std::filesystem::remove_all(dir);
}
#endif

#ifndef _WIN32  // links, FIFOs and permission bits are POSIX's
// What stands in the XML file's name is never written through: a link planted there is removed
// and the file created new beside nothing, mode 0600 whatever the umask; a FIFO, a device or a
// folder there is refused, naming the file, and the cycle that tried writes nothing.
TEST(XmlFile, TheFileIsCreatedNewAndPrivateAndNothingInItsNameIsWrittenThrough) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("quirada-xml-new-" + std::to_string(CurrentProcessId()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string path = (dir / "789.xml").string();
  const std::string victim = (dir / "victim").string();
  const struct {
    const char* what;
    std::function<void()> plant;
    bool refused;
  } cases[] = {
      {"a stale file", [&] { testing::WriteFileBytes(path, "<antigo/>"); }, false},
      {"a link to a victim", [&] { fs::create_symlink(victim, path); }, false},
      {"a dangling link", [&] { fs::create_symlink(dir / "nowhere", path); }, false},
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }, true},
      {"a folder", [&] { fs::create_directory(path); }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(path);
    fs::remove(dir / "nowhere");
    testing::WriteFileBytes(victim, "vítima");
    c.plant();
    const mode_t before = ::umask(0);
    const std::string failure = testing::FailureOf([&] { SaveXmlFile(path, "<a/>\r\n"); });
    ::umask(before);
    EXPECT_EQ(testing::ReadFileBytes(victim), "vítima");
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
    if (c.refused) {
      EXPECT_NE(failure.find("\"" + path + "\""), std::string::npos) << failure;
      EXPECT_NE(failure.find("não um arquivo comum"), std::string::npos) << failure;
      EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(path)));
    } else {
      EXPECT_EQ(failure, "no failure");
      ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
      EXPECT_EQ(testing::ReadFileBytes(path), "<a/>\r\n");
      struct stat st {};
      ASSERT_EQ(::lstat(path.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0600u);
    }
  }
  fs::remove_all(dir);
}
#endif

TEST(XmlFile, ExtraiNumeroKeepsOnlyAsciiDigits) {
  EXPECT_EQ(ExtraiNumero("NFe3525 1112-3456/7890"), "3525111234567890");
  EXPECT_EQ(ExtraiNumero("sem dígitos ٣"), "");
  EXPECT_EQ(ExtraiNumero(""), "");
}

}  // namespace
}  // namespace quirada
