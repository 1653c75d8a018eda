#include "service/service_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "base/errors.h"
#include "base/text.h"
#include "testing/test_files.h"

using quirada::testing::ReadFileBytes;
using quirada::testing::WriteFileBytes;

namespace quirada {
namespace {

namespace fs = std::filesystem;

class ServiceLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("quirada-log-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    log_ = (dir_ / kServiceLogName).string();
  }
  void TearDown() override {
    fs::permissions(dir_, fs::perms::owner_all);
    fs::remove_all(dir_);
  }
  fs::path dir_;
  std::string log_;
  const TDateTime t1_ = EncodeDateTime({2025, 12, 9, 14, 5, 33});
  const TDateTime t2_ = EncodeDateTime({2025, 12, 9, 15, 0, 1});
};

TEST_F(ServiceLogTest, ThreeCallsLeaveThreeLinesOldestFirstInLatin1) {
  SaveLogLine(log_, "primeira", t1_);
  SaveLogLine(log_, "conexão", t2_);
  SaveLogLine(log_, "terceira", t2_);
  EXPECT_EQ(ReadFileBytes(log_),
            "09/12/2025 14:05:33 - primeira\r\n"
            "09/12/2025 15:00:01 - conex\xE3o\r\n"
            "09/12/2025 15:00:01 - terceira\r\n");
}

TEST_F(ServiceLogTest, ByteOrderMarksAreKept) {
  struct Case {
    std::string bom;
    bool utf16, big;
  } cases[] = {{"\xEF\xBB\xBF", false, false}, {"\xFF\xFE", true, false}, {"\xFE\xFF", true, true}};
  for (const auto& c : cases) {
    auto enc = [&](const std::string& s) { return c.utf16 ? Utf8ToUtf16(s, c.big) : s; };
    WriteFileBytes(log_, c.bom + enc("antes ção\r\n"));
    SaveLogLine(log_, "depois é", t1_);
    EXPECT_EQ(ReadFileBytes(log_), c.bom + enc("antes ção\r\n09/12/2025 14:05:33 - depois é\r\n"));
  }
}

TEST_F(ServiceLogTest, LineBreaksComeBackAsCrLf) {
  WriteFileBytes(log_, "a\nb\rc\r\nsem fim");
  SaveLogLine(log_, "novo", t1_);
  EXPECT_EQ(ReadFileBytes(log_), "a\r\nb\r\nc\r\nsem fim\r\n09/12/2025 14:05:33 - novo\r\n");
}

TEST_F(ServiceLogTest, EmbeddedLineBreakShowsAsASecondLineWithoutStamp) {
  SaveLogLine(log_, "linha um\r\nlinha dois", t1_);
  EXPECT_EQ(ReadFileBytes(log_), "09/12/2025 14:05:33 - linha um\r\nlinha dois\r\n");
}

// Permission cases run in a child process under an unprivileged user, since root reads and writes
// whatever the modes say. The child exits 0 when every check held.
void AsUnprivileged(const fs::path& dir, const std::function<bool()>& body) {
  if (::geteuid() == 0) {
    for (const auto& e : fs::recursive_directory_iterator(dir))
      if (::chown(e.path().c_str(), 65534, 65534) != 0) FAIL() << "chown";
    if (::chown(dir.c_str(), 65534, 65534) != 0) FAIL() << "chown";
  }
  EXPECT_EXIT(
      {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) std::_Exit(3);
        std::_Exit(body() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ServiceLogTest, UnreadableLogKeepsItsContentAndRecordsTheReadFailure) {
  WriteFileBytes(log_, "antigo\r\n");
  fs::permissions(log_, fs::perms::owner_write);
  AsUnprivileged(dir_, [&] {
    SaveLogLine(log_, "mensagem", t1_);
    return true;
  });
  fs::permissions(log_, fs::perms::owner_read | fs::perms::owner_write);
  const std::string content = ReadFileBytes(log_);
  EXPECT_EQ(content.rfind("antigo\r\n09/12/2025 14:05:33 - Cannot open file", 0), 0u) << content;
  EXPECT_EQ(content.find("mensagem"), std::string::npos);
}

TEST_F(ServiceLogTest, UnwritableFolderRaisesAndKeepsTheOldContent) {
  WriteFileBytes(log_, "antigo\r\n");
  fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
  AsUnprivileged(dir_, [&] {
    try {
      SaveLogLine(log_, "mensagem", t1_);
      return false;
    } catch (const Exception& e) {
      return std::string(e.what()).rfind("Cannot create file", 0) == 0;
    }
  });
  fs::permissions(dir_, fs::perms::owner_all);
  EXPECT_EQ(ReadFileBytes(log_), "antigo\r\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(ServiceLogTest, ALogPathThatIsNoFileRaises) {
  fs::create_directory(log_);
  EXPECT_THROW(SaveLogLine(log_, "mensagem", t1_), Exception);
}

}  // namespace
}  // namespace quirada
