#include "base/file_io.h"

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/platform.h"
#include "testing/file_owner.h"
#include "testing/test_files.h"

namespace quirada {
namespace {

namespace fs = std::filesystem;
using testing::FailureOf;
using testing::ReadFileBytes;
using testing::WriteFileBytes;

class FileIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("quirada-file-io-" + std::string(
                                     ::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

TEST_F(FileIoTest, ReplaceFileWritesTheNewContentWithTheModeAskedForAndLeavesNoTemporaryFile) {
  const std::string path = Path("a.txt");
  WriteFileBytes(path, "old");
  ReplaceFile(path, "new content", 0600);
  EXPECT_EQ(ReadFileBytes(path), "new content");
#ifndef _WIN32  // permission bits are a POSIX matter; Windows folders carry access rules instead
  EXPECT_EQ(GetFileInfo(path)->mode, 0600u);
#endif
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(FileIoTest, AFailedReplaceKeepsTheOldContentAndNamesThePath) {
  // A directory in the way of the rename: the new file is written, the rename fails.
  const std::string path = Path("occupied");
  fs::create_directories(dir_ / "occupied" / "inside");
  const std::string message = FailureOf([&] { ReplaceFile(path, "x", 0644); });
  EXPECT_EQ(message.rfind("Cannot create file \"" + path + "\". ", 0), 0u) << message;
  EXPECT_TRUE(fs::is_directory(path));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(FileIoTest, ReadWholeFileRefusesAFileOverItsLimitAndADirectory) {
  const std::string path = Path("big");
  WriteFileBytes(path, std::string(100, 'x'));
  EXPECT_EQ(ReadWholeFile(path, 100), std::string(100, 'x'));
  try {
    ReadWholeFile(path, 99);
    ADD_FAILURE() << "no failure";
  } catch (const FileError& e) {
    EXPECT_EQ(e.error(), EFBIG);
    EXPECT_EQ(std::string(e.what()), "File \"" + path + "\" is larger than 99 bytes");
  }
  EXPECT_EQ(FailureOf([&] { ReadWholeFile(dir_.string(), 10); }),
            "Cannot open file \"" + dir_.string() + "\". " + SystemErrorText(EISDIR));
  EXPECT_EQ(FailureOf([&] { ReadWholeFile(Path("missing"), 10); }),
            "Cannot open file \"" + Path("missing") + "\". " + SystemErrorText(ENOENT));
}

TEST_F(FileIoTest, AppendAddsAtTheEndAndCreatesAMissingFile) {
  const std::string path = Path("log");
  AppendToFile(path, "one\r\n", 0640);
  AppendToFile(path, "two\r\n", 0640);
  EXPECT_EQ(ReadFileBytes(path), "one\r\ntwo\r\n");
}

TEST_F(FileIoTest, ResolvedPathFollowsEveryLinkAndRefusesADanglingOne) {
#ifdef _WIN32
  GTEST_SKIP() << "symbolic links need a privilege on Windows (and Wine has none)";
#endif
  fs::create_directories(dir_ / "real");
  WriteFileBytes(dir_ / "real" / "target", "x");
  fs::create_symlink("real/target", dir_ / "hop");  // relative to the link's folder
  fs::create_symlink(dir_ / "hop", dir_ / "link");
  const std::string expected = fs::canonical(dir_ / "real" / "target").string();
  EXPECT_EQ(ResolvedPath(Path("link")), expected);
  EXPECT_EQ(ResolvedPath(expected), expected);
  fs::create_symlink("nowhere", dir_ / "dangling");
  EXPECT_EQ(FailureOf([&] { ResolvedPath(Path("dangling")); }),
            "Cannot open file \"" + Path("dangling") + "\". " + SystemErrorText(ENOENT));
}

TEST_F(FileIoTest, AnUpdateCanReadAnywhereAndCutTheFile) {
  const std::string path = Path("u");
  WriteFileBytes(path, "0123456789");
  File file = File::OpenForUpdate(path);
  char buffer[4];
  EXPECT_EQ(file.ReadAt(8, buffer, sizeof buffer), 2u);
  EXPECT_EQ(std::string(buffer, 2), "89");
  file.Truncate(5);
  file.Write("ab");
  file.Close();
  EXPECT_EQ(ReadFileBytes(path), "01234ab");
}

// A file this process wrote is its own, to GetFileInfo and to an open file's Info alike; one given
// to another user is not.
TEST_F(FileIoTest, AFileIsOwnedOnlyWhileItBelongsToThisUser) {
  const std::string path = Path("f");
  WriteFileBytes(path, "x");
  ASSERT_TRUE(GetFileInfo(path).has_value());
  EXPECT_TRUE(GetFileInfo(path)->owned);
  EXPECT_TRUE(File::OpenForReading(path).Info().owned);

  if (!testing::GiveToAnotherUser(path)) GTEST_SKIP() << "this process may not give a file away here";
  ASSERT_TRUE(GetFileInfo(path).has_value());
  EXPECT_FALSE(GetFileInfo(path)->owned);
  EXPECT_FALSE(GetFileInfo(path, false)->owned);
}

// A temporary name someone could have guessed (the old "<file>.tmp-<process id>"), made ahead of
// time and held open, is never the file the new content goes into.
TEST_F(FileIoTest, ReplaceFileNeverUsesAFilePlantedUnderAGuessableTemporaryName) {
  const std::string path = Path("token.dm");
  const std::string planted = path + ".tmp-" + std::to_string(CurrentProcessId());
  WriteFileBytes(planted, "plantado");
  File held = File::OpenForReading(planted);
  ReplaceFile(path, "segredo", 0600);
  char buffer[64];
  EXPECT_EQ(std::string(buffer, held.ReadAt(0, buffer, sizeof buffer)), "plantado");
  EXPECT_EQ(ReadFileBytes(path), "segredo");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2)
      << "the planted file and the new one, no temporary file left";
}

// What stands where a file is to be renamed makes room without anything being removed whole: a
// folder is put aside with what it holds; RemoveFile never removes a folder.
TEST_F(FileIoTest, AFolderInTheWayIsPutAsideWholeAndNeverRemoved) {
  const std::string path = Path("token.dm");
  fs::create_directories(dir_ / "token.dm" / "dentro");
  WriteFileBytes(dir_ / "token.dm" / "dentro" / "guardado", "x");
  EXPECT_FALSE(RemoveFile(path));
  EXPECT_TRUE(fs::is_directory(path));
  MakeRoomFor(path);
  ReplaceFile(path, "novo", 0600);
  EXPECT_EQ(ReadFileBytes(path), "novo");
  std::vector<fs::path> aside;
  for (const auto& entry : fs::directory_iterator(dir_))
    if (entry.path().filename().string().rfind("token.dm.antigo-", 0) == 0) aside.push_back(entry.path());
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(ReadFileBytes(aside[0] / "dentro" / "guardado"), "x");
  MakeRoomFor(path);  // a file is left for the rename to replace
  EXPECT_EQ(ReadFileBytes(path), "novo");
}

TEST_F(FileIoTest, CreateNewRefusesAnExistingFile) {
  const std::string path = Path("n");
  File::CreateNew(path, 0644).Close();
  try {
    File::CreateNew(path, 0644);
    ADD_FAILURE() << "no failure";
  } catch (const FileError& e) {
    EXPECT_EQ(e.error(), EEXIST);
  }
}

}  // namespace
}  // namespace quirada
