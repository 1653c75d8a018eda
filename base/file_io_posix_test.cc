// The files the program keeps in its folder are opened as what they are, on Linux: a FIFO, a device
// or a folder in their name is refused at once, a link only followed where that is asked, and the
// lock is private whatever the umask.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "base/file_io.h"
#include "base/file_lock.h"
#include "testing/test_files.h"

namespace quirada {
namespace {

namespace fs = std::filesystem;
using testing::FailureOf;
using testing::ReadFileBytes;
using testing::WriteFileBytes;

class FilesAsTheyAreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/quirada-as-they-are-XXXXXX";
    dir_ = ::mkdtemp(name);
    path_ = dir_ + "/name";
    victim_ = dir_ + "/victim";
  }
  void TearDown() override { fs::remove_all(dir_); }
  unsigned ModeOf(const std::string& path) const {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFFFFFFu;
  }

  std::string dir_, path_, victim_;
};

// Whatever is in the name, the call returns at once (a FIFO nobody reads would otherwise hold
// open() for good) and the failure names the file and what it is.
TEST_F(FilesAsTheyAreTest, ANameHoldingNoRegularFileIsRefusedAtOnceNamingIt) {
  const struct {
    const char* what;
    std::function<void(const std::string&)> plant;
    Links links;
    std::string named;  // a piece of the failure
  } cases[] = {
      {"a FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, Links::kFollow,
       "é uma FIFO, não um arquivo comum"},
      {"a link to a device", [](const std::string& p) { fs::create_symlink("/dev/null", p); }, Links::kFollow,
       "é um dispositivo, não um arquivo comum"},
      {"a folder", [](const std::string& p) { fs::create_directory(p); }, Links::kFollow,
       "é uma pasta, não um arquivo comum"},
      {"a link where links are refused",
       [&](const std::string& p) {
         WriteFileBytes(victim_, "vítima");
         fs::create_symlink(victim_, p);
       },
       Links::kRefuse, "é um link simbólico"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(path_);
    c.plant(path_);
    const std::string failure = FailureOf([&] { File::OpenForAppend(path_, 0640, c.links).Write("x"); });
    EXPECT_NE(failure.find("\"" + path_ + "\" " + c.named), std::string::npos) << failure;
  }
  EXPECT_EQ(ReadFileBytes(victim_), "vítima");
}

// Where links are followed (the log an owner pointed elsewhere), the file it leads to is written,
// and what the file holds can be read through the same open file.
TEST_F(FilesAsTheyAreTest, AppendFollowsALinkWhereAskedAndReadsThroughTheSameFile) {
  WriteFileBytes(victim_, "antes\r\n");
  fs::create_symlink(victim_, path_);
  File file = File::OpenForAppend(path_, 0640, Links::kFollow);
  char head[5];
  ASSERT_EQ(file.ReadAt(0, head, sizeof head), sizeof head);
  EXPECT_EQ(std::string(head, sizeof head), "antes");
  file.Write("depois\r\n");
  file.Close();
  EXPECT_EQ(ReadFileBytes(victim_), "antes\r\ndepois\r\n");
  EXPECT_TRUE(fs::is_symlink(path_));
}

// The lock is 0600 whatever the umask, and an older, wider one is narrowed, so that no other user
// can open it to hold it; a link or a FIFO in its name is refused and left as it is.
TEST_F(FilesAsTheyAreTest, TheLockIsPrivateAndNeverALinkNorAFifo) {
  const mode_t before = ::umask(0);
  {
    auto lock = FileLock::TryAcquire(path_, nullptr);
    ASSERT_TRUE(lock.has_value());
  }
  EXPECT_EQ(ModeOf(path_), 0600u);
  ::chmod(path_.c_str(), 0644);
  {
    auto lock = FileLock::TryAcquire(path_, nullptr);
    ASSERT_TRUE(lock.has_value());
  }
  ::umask(before);
  EXPECT_EQ(ModeOf(path_), 0600u) << "narrowed";

  const struct {
    const char* what;
    std::function<void()> plant;
    std::string named;
  } cases[] = {
      {"a link to a victim",
       [&] {
         WriteFileBytes(victim_, "vítima");
         fs::create_symlink(victim_, path_);
       },
       "é um link simbólico"},
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0); }, "é uma FIFO"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(path_);
    c.plant();
    const std::string failure = FailureOf([&] { FileLock::TryAcquire(path_, nullptr); });
    EXPECT_NE(failure.find("\"" + path_ + "\" " + c.named), std::string::npos) << failure;
  }
  EXPECT_EQ(ReadFileBytes(victim_), "vítima") << "not truncated to a process id";
}

}  // namespace
}  // namespace quirada
