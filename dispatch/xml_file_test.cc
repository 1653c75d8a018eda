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

TEST(XmlFile, KeepsTheDatabaseBytesUnlessTheyBreakADeclaredUtf8Document) {
  struct Case {
    const char* what;
    std::string text;   // the document's text, written here in UTF-8; the database holds it in ISO-8859-1
    std::string bytes;  // expected file content
  } cases[] = {
      {"plain ASCII", "<a>x</a>", "<a>x</a>\r\n"},
      {"Latin-1 declared: written as the database holds it",
       "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>ação</a>",
       "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>a\xE7\xE3o</a>\r\n"},
      {"UTF-8 declared with Latin-1 bytes: written as UTF-8",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>ação</a>",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>ação</a>\r\n"},
      {"lower-case utf-8 in single quotes", "<?xml version='1.0' encoding='utf-8'?><a>é</a>",
       "<?xml version='1.0' encoding='utf-8'?><a>é</a>\r\n"},
      {"no declaration: XML's default is UTF-8", "<a>é</a>", "<a>é</a>\r\n"},
      {"declaration without encoding", "<?xml version=\"1.0\"?><a>é</a>",
       "<?xml version=\"1.0\"?><a>é</a>\r\n"},
      // The database already held UTF-8 bytes (each read as two Latin-1 characters): unchanged.
      {"already UTF-8 in the database", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>\xC3\x83\xC2\xA9</a>",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>\xC3\xA9</a>\r\n"},
      {"line breaks inside stay", "<a>\n<b/>\r\n</a>", "<a>\n<b/>\r\n</a>\r\n"},
      {"empty text", "", "\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(XmlFileBytes(Utf8ToLatin1(c.text)), c.bytes) << c.what;
}

TEST(XmlFile, SaveReplacesTheFileAndFailsWithTheFileName) {
  const std::string dir =
      (std::filesystem::temp_directory_path() / ("quirada-xml-" + std::to_string(CurrentProcessId()))).string();
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/123.xml";
  SaveXmlFile(path, "<a>antigo e mais longo</a>");
  SaveXmlFile(path, "<a/>");
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
    const std::string failure = testing::FailureOf([&] { SaveXmlFile(path, "<a/>"); });
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
