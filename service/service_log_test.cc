#include "service/service_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "base/errors.h"
#include "base/text.h"
#include "testing/test_files.h"

using quirada::testing::ReadFileBytes;
using quirada::testing::WriteFileBytes;

namespace quirada {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// The mode bits of what `path` leads to.
unsigned ModeOf(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFFFFFFu;
}

ino_t InodeOf(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

size_t EntriesIn(const fs::path& dir) {
  return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

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
  // A log holding `bytes` with mode `mode`, the only entry of the folder.
  void Reset(const std::string& bytes, fs::perms mode = fs::perms(0644)) {
    fs::permissions(dir_, fs::perms::owner_all);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    WriteFileBytes(log_, bytes);
    fs::permissions(log_, mode);
  }
  fs::path dir_;
  std::string log_;
  const TDateTime t1_ = EncodeDateTime({2025, 12, 9, 14, 5, 33});
  const TDateTime t2_ = EncodeDateTime({2025, 12, 9, 15, 0, 1});
  const std::string stamp1_ = "09/12/2025 14:05:33 - ";
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

TEST_F(ServiceLogTest, ANewLogGetsMode0640LessTheUmask) {
  struct Case {
    mode_t umask;
    unsigned mode;
  } cases[] = {{027, 0640}, {077, 0600}, {0, 0640}};
  for (const auto& c : cases) {
    fs::remove(log_);
    const mode_t before = ::umask(c.umask);
    SaveLogLine(log_, "nova", t1_);
    ::umask(before);
    EXPECT_EQ(ModeOf(log_), c.mode) << std::oct << c.umask;
    EXPECT_EQ(ReadFileBytes(log_), stamp1_ + "nova\r\n");
  }
}

// A log that ends with CR LF (or holds nothing) is the same file afterwards, one line longer.
TEST_F(ServiceLogTest, AppendingKeepsTheFileAndItsModeAndAddsOneLine) {
  struct Case {
    std::string before;
    unsigned mode;
  } cases[] = {{"a\r\nb\r\n", 0640}, {"a\r\n", 0600}, {"", 0640}, {"sem\nfim\r\n", 0604}};
  for (const auto& c : cases) {
    Reset(c.before, fs::perms(c.mode));
    const ino_t inode = InodeOf(log_);
    SaveLogLine(log_, "depois", t1_);
    EXPECT_EQ(ReadFileBytes(log_), c.before + stamp1_ + "depois\r\n");
    EXPECT_EQ(InodeOf(log_), inode) << c.before;
    EXPECT_EQ(ModeOf(log_), c.mode) << c.before;
  }
}

// A log whose last line lacks its CR LF gets one before the new line, in the same write: the old
// lines stay as they are, and the file stays the same file.
TEST_F(ServiceLogTest, ALogWithoutCrLfAtTheEndGetsOneBeforeTheNewLineAndStaysTheSameFile) {
  struct Case {
    std::string before;
  } cases[] = {{"a\nb\rc\r\nsem fim"}, {"a\r\nb\n"}, {"a\r\nb\r"}, {"x"}};
  for (const auto& c : cases) {
    Reset(c.before, fs::perms(0600));
    const ino_t inode = InodeOf(log_);
    SaveLogLine(log_, "novo", t1_);
    EXPECT_EQ(ReadFileBytes(log_), c.before + "\r\n" + stamp1_ + "novo\r\n");
    EXPECT_EQ(InodeOf(log_), inode) << c.before;
    EXPECT_EQ(ModeOf(log_), 0600u) << c.before;
    EXPECT_EQ(EntriesIn(dir_), 1u) << "no temporary file";
  }
}

TEST_F(ServiceLogTest, EachEncodingIsKeptWhenAppending) {
  struct Case {
    std::string bom;
    bool utf16, big;
  } cases[] = {{"\xEF\xBB\xBF", false, false}, {"\xFF\xFE", true, false}, {"\xFE\xFF", true, true}};
  for (const auto& c : cases) {
    auto enc = [&](const std::string& s) { return c.utf16 ? Utf8ToUtf16(s, c.big) : s; };
    // Ends with CR LF in its encoding: appended, the same file.
    Reset(c.bom + enc("antes ção\r\n"));
    const ino_t inode = InodeOf(log_);
    SaveLogLine(log_, "depois é", t1_);
    EXPECT_EQ(ReadFileBytes(log_), c.bom + enc("antes ção\r\n09/12/2025 14:05:33 - depois é\r\n"));
    EXPECT_EQ(InodeOf(log_), inode) << c.bom.size() << c.big;
    // Ends with a lone LF: a CR LF in its encoding before the new line.
    Reset(c.bom + enc("antes\n"));
    SaveLogLine(log_, "depois é", t1_);
    EXPECT_EQ(ReadFileBytes(log_), c.bom + enc("antes\n\r\n09/12/2025 14:05:33 - depois é\r\n"));
    // Only the mark: appended in its encoding.
    Reset(c.bom);
    SaveLogLine(log_, "só", t1_);
    EXPECT_EQ(ReadFileBytes(log_), c.bom + enc("09/12/2025 14:05:33 - só\r\n"));
  }
  // UTF-16 whose last bytes read CR LF only across a unit boundary does not end with CR LF; its
  // broken last unit is completed so that the new line stands on whole units.
  Reset(std::string("\xFF\xFE", 2) + std::string("a\0\0\r\0\n\0", 7));
  SaveLogLine(log_, "x", t1_);
  const std::string after = ReadFileBytes(log_);
  EXPECT_TRUE(after.ends_with(Utf8ToUtf16("\r\n09/12/2025 14:05:33 - x\r\n", false)));
  EXPECT_EQ(after.size() % 2, 0u);
}

TEST_F(ServiceLogTest, ASymlinkedLogStaysALinkAndItsTargetGetsTheLine) {
  struct Case {
    std::string before, after;
  } cases[] = {{"a\r\n", "a\r\n"}, {"a\nb", "a\nb\r\n"}};
  const fs::path real_dir = dir_ / "real";
  const fs::path target = real_dir / "target.log";
  for (const auto& c : cases) {
    Reset("");
    fs::remove(log_);
    fs::create_directories(real_dir);
    WriteFileBytes(target, c.before);
    fs::permissions(target, fs::perms(0600));
    fs::create_symlink("real/target.log", log_);
    SaveLogLine(log_, "linha", t1_);
    EXPECT_TRUE(fs::is_symlink(log_)) << c.before;
    EXPECT_EQ(fs::read_symlink(log_), "real/target.log");
    EXPECT_EQ(ReadFileBytes(target), c.after + stamp1_ + "linha\r\n");
    EXPECT_EQ(ModeOf(target), 0600u) << c.before;
    EXPECT_EQ(EntriesIn(real_dir), 1u) << "no temporary file is left";
    EXPECT_EQ(EntriesIn(dir_), 2u);
  }
}

TEST_F(ServiceLogTest, MessagesCannotForgeLinesNorHoldControlCharacters) {
  struct Case {
    std::string message, written;
  } cases[] = {
      {"x\r\n09/12/2025 14:05:33 - forjado", "x\r\n  09/12/2025 14:05:33 - forjado"},
      {"linha um\r\nlinha dois", "linha um\r\n  linha dois"},
      {"lf\nsó cr\rfim\r\n", "lf\r\n  s\xF3 cr\r\n  fim\r\n  "},
      {"dois\r\r\n", "dois\r\n  \r\n  "},
      {"a\tb\x01" "c\x1B[0m\x7F" "d\0e\x1F"s, "a\tb c [0m d e "},
      {"c1 \xC2\x9B" "2J \xC2\x85 é \xC2\xA0", "c1  2J   \xE9 \xA0"},  // CSI and NEL; é and NBSP stay
  };
  for (const auto& c : cases) {
    fs::remove(log_);
    SaveLogLine(log_, c.message, t1_);
    EXPECT_EQ(ReadFileBytes(log_), stamp1_ + c.written + "\r\n");
  }
}

TEST_F(ServiceLogTest, ALongMessageIsCutOnACharacterBoundary) {
  const std::string a8190(8190, 'a');
  struct Case {
    std::string message, written;
  } cases[] = {
      {std::string(100 * 1024, 'x'), std::string(8192, 'x') + " [...]"},
      {a8190 + "bb", a8190 + "bb"},              // 8192 bytes: whole
      {a8190 + "bbc", a8190 + "bb [...]"},       // 8193 bytes
      {a8190 + "é" + "z", a8190 + "é [...]"},    // "é" ends at the limit
      {a8190 + "b" + "é", a8190 + "b [...]"},    // "é" straddles the limit
      {a8190 + "€" + "z", a8190 + " [...]"},     // three bytes, one beyond
      {a8190 + "b" + "𝄞", a8190 + "b [...]"},    // four bytes, three beyond
  };
  for (const auto& c : cases) {
    Reset("\xEF\xBB\xBF");  // UTF-8: every byte of the message shows as it is
    SaveLogLine(log_, c.message, t1_);
    const std::string expected = "\xEF\xBB\xBF" + stamp1_ + c.written + "\r\n";
    const std::string got = ReadFileBytes(log_);
    EXPECT_TRUE(got == expected)  // not printed whole: 8 KiB each
        << c.message.size() << " bytes ended \"" << c.message.substr(8188, 12) << "\", written "
        << got.size() << " ending \"" << got.substr(got.size() - std::min<size_t>(got.size(), 16))
        << "\"";
  }
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
  EXPECT_EQ(content.find("\r\n", 8), content.size() - 2) << "one line more: " << content;
}

// A log the process may not write raises and is left as it was; a folder it may not write stops
// nothing (an append needs the file alone).
TEST_F(ServiceLogTest, WhatCannotBeWrittenRaisesAndKeepsTheOldContent) {
  struct Case {
    std::string before;
    fs::perms log_mode;
    bool folder_writable;
    std::string failure;  // how the message starts; "" for none
    std::string after;    // with no failure
  } cases[] = {
      {"antigo\r\n", fs::perms(0444), true, "Cannot open file", ""},
      {"antigo", fs::perms(0444), true, "Cannot open file", ""},
      {"antigo", fs::perms(0644), false, "", "antigo\r\n" + stamp1_ + "mensagem\r\n"},
      {"antigo\r\n", fs::perms(0644), false, "", "antigo\r\n" + stamp1_ + "mensagem\r\n"},
  };
  for (const auto& c : cases) {
    Reset(c.before, c.log_mode);
    if (!c.folder_writable) fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
    AsUnprivileged(dir_, [&] {
      try {
        SaveLogLine(log_, "mensagem", t1_);
        return c.failure.empty();
      } catch (const Exception& e) {
        return !c.failure.empty() && std::string(e.what()).starts_with(c.failure);
      }
    });
    fs::permissions(dir_, fs::perms::owner_all);
    fs::permissions(log_, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(ReadFileBytes(log_), c.failure.empty() ? c.after : c.before) << c.failure;
    EXPECT_EQ(EntriesIn(dir_), 1u);
  }
}

TEST_F(ServiceLogTest, ALogPathThatIsNoFileRaises) {
  fs::create_directory(log_);
  EXPECT_THROW(SaveLogLine(log_, "mensagem", t1_), Exception);
}

}  // namespace
}  // namespace quirada
