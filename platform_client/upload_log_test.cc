#ifdef _WIN32
#include <windows.h>
#endif

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform_client/Quirada.h"
#include "testing/client_test_fixture.h"

namespace quirada {
namespace {

namespace fs = std::filesystem;

class UploadLogTest : public testing::ClientTest {
 protected:
  // "Data: <stamp> Chave: <chave> ID: <id>\r\n" for a stamp between `before` and `after`.
  static void ExpectLine(const std::string& line, const std::string& chave_and_id, TDateTime before,
                         TDateTime after) {
    const std::string tail = " Chave: " + chave_and_id + "\r\n";
    ASSERT_GT(line.size(), 6 + tail.size()) << line;
    EXPECT_EQ(line.substr(0, 6), "Data: ");
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
    const std::string stamp = line.substr(6, line.size() - 6 - tail.size());
    EXPECT_EQ(stamp.size(), 19u) << stamp;  // dd/mm/yyyy hh:nn:ss
    const TDateTime when = StrToDateTime(stamp);
    EXPECT_GE(when, before - 1.0 / 86400);
    EXPECT_LE(when, after);
  }
};

TEST_F(UploadLogTest, WithGravarLogFalseNothingIsTouched) {
  q_.setGravarLog(false);
  q_.setCaminhoLog((dir_ / "a" / "b" / "envios.log").string());
  q_.Gravalog("1.xml", "9");
  EXPECT_FALSE(fs::exists(dir_ / "a"));
  q_.setCaminhoLog("");
  EXPECT_EQ(FailureOf([&] { q_.Gravalog("1.xml", "9"); }), "no failure");
}

TEST_F(UploadLogTest, CreatesTheWholeFolderTreeAndAppendsOneLinePerCall) {
  q_.setGravarLog(true);
  const fs::path log = dir_ / "a" / "b" / "c" / "envios.log";
  q_.setCaminhoLog(log.string());
  const TDateTime before = Now();
  q_.Gravalog("35251234567890.xml", "lote-1");
  q_.Gravalog("35251234567891.xml", "lote-2");
  const TDateTime after = Now();
  const std::string text = ReadFileBytes(log);
  const size_t first_end = text.find("\r\n") + 2;
  ExpectLine(text.substr(0, first_end), "35251234567890.xml ID: lote-1", before, after);
  ExpectLine(text.substr(first_end), "35251234567891.xml ID: lote-2", before, after);
}

TEST_F(UploadLogTest, BackslashesSeparateFoldersToo) {
  q_.setGravarLog(true);
  q_.setCaminhoLog(dir_.string() + "\\logs\\envios.log");
  q_.Gravalog("1.xml", "9");
  EXPECT_TRUE(fs::is_regular_file(dir_ / "logs" / "envios.log"));
}

TEST_F(UploadLogTest, FolderNamesAreUtf8TextAsEveryOtherPath) {
  q_.setGravarLog(true);
  q_.setCaminhoLog(dir_.string() + "/relat\xC3\xB3rios/m\xC3\xAAs/envios.log");
  q_.Gravalog("1.xml", "9");
  const fs::path folder = dir_ / fs::path(u8"relat\u00F3rios") / fs::path(u8"m\u00EAs");
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(ReadFileBytes(folder / "envios.log").substr(0, 6), "Data: ");
}

TEST_F(UploadLogTest, FailuresCarryTheMessageOfTheirCause) {
  WriteFileBytes(dir_ / "plain-file", "x");
  const struct {
    std::string path;
    const char* message;
  } cases[] = {
      {"", "Unable to create directory"},
      {"envios.log", "Unable to create directory"},
      {(dir_ / "plain-file" / "envios.log").string(), "Unable to create directory"},
#ifndef _WIN32
      // Not on Windows: no device there fails every write (under Wine the path only reaches
      // Linux's /dev/full through the drive that maps the root folder).
      {"/dev/full", "Disk full"},
#endif
      {(dir_ / "logs-dir/").string(), "I/O error 21"},
  };
  fs::create_directories(dir_ / "logs-dir");
  q_.setGravarLog(true);
  for (const auto& c : cases) {
    q_.setCaminhoLog(c.path);
    EXPECT_EQ(FailureOf([&] { q_.Gravalog("1.xml", "9"); }), c.message) << c.path;
  }
}

TEST_F(UploadLogTest, AnEndOfFileMarkNearTheEndCutsTheFileBeforeTheNewLine) {
  const std::string early_mark = "a\x1A" + std::string(200, 'b') + "\r\n";
  const struct {
    const char* what;
    std::string before;
    std::string kept;
  } cases[] = {
      {"mark as the last byte", "line 1\r\n\x1A", "line 1\r\n"},
      {"mark with text after it", "line 1\r\n\x1Agarbage\x1Amore", "line 1\r\n"},
      {"mark 128 bytes from the end", "x\x1A" + std::string(127, 'y'), "x"},
      {"mark earlier than the last 128 bytes", early_mark, early_mark},
      {"no mark", "line 1\r\n", "line 1\r\n"},
  };
  q_.setGravarLog(true);
  const fs::path log = dir_ / "envios.log";
  q_.setCaminhoLog(log.string());
  for (const auto& c : cases) {
    WriteFileBytes(log, c.before);
    q_.Gravalog("1.xml", "9");
    const std::string after = ReadFileBytes(log);
    EXPECT_EQ(after.substr(0, c.kept.size()), c.kept) << c.what;
    EXPECT_EQ(after.substr(c.kept.size(), 6), "Data: ") << c.what;
  }
}

TEST_F(UploadLogTest, TextIsStoredInLatin1WithQuestionMarksForTheRest) {
  q_.setGravarLog(true);
  const fs::path log = dir_ / "envios.log";
  q_.setCaminhoLog(log.string());
#ifdef _WIN32
  // On Windows the text is in the system's ANSI code page: 1252 on a Brazilian Windows, which has
  // the Latin-1 letters, a byte of its own for the euro sign (0x80) and none for a Chinese letter.
  if (GetACP() != 1252) GTEST_SKIP() << "the expected bytes are code page 1252's; this system's is " << GetACP();
  q_.Gravalog("a\xC3\xA7\xC3\xA3o.xml", "\xE2\x82\xAC" "1\xE4\xB8\xAD");
  const std::string text = ReadFileBytes(log);
  const std::string tail = " Chave: a\xE7\xE3o.xml ID: \x80" "1?\r\n";
#else
  q_.Gravalog("a\xC3\xA7\xC3\xA3o.xml", "\xE2\x82\xAC" "1");
  const std::string text = ReadFileBytes(log);
  const std::string tail = " Chave: a\xE7\xE3o.xml ID: ?1\r\n";
#endif
  ASSERT_GT(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

}  // namespace
}  // namespace quirada
