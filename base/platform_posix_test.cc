#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "base/platform.h"
#include "testing/test_files.h"

namespace quirada {
namespace {

namespace fs = std::filesystem;

// TMPDIR pointed at a new folder for the test's life.
class ScopedTmpdir {
 public:
  ScopedTmpdir() {
    char name[] = "/tmp/quirada-tmpdir-XXXXXX";
    dir_ = ::mkdtemp(name);
    ::setenv("TMPDIR", dir_.c_str(), 1);
  }
  ~ScopedTmpdir() {
    ::unsetenv("TMPDIR");
    fs::remove_all(dir_);
  }
  std::string Private() const { return dir_ + "/quirada-" + std::to_string(::geteuid()); }

 private:
  std::string dir_;
};

TEST(PrivateTempDirTest, IsCreatedForTheUserAloneAndKeptWhenItIsSo) {
  ScopedTmpdir tmp;
  EXPECT_EQ(PrivateTempDir(), tmp.Private() + "/");
  struct stat st {};
  ASSERT_EQ(::lstat(tmp.Private().c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(PrivateTempDir(), tmp.Private() + "/") << "a second call finds it as it is";
}

// Whatever another user could have put there, or could read, is refused before it is used.
TEST(PrivateTempDirTest, RefusesAnythingElseNamingTheFolder) {
  const struct {
    const char* what;
    std::function<void(const std::string&)> make;
  } cases[] = {
      {"readable by others", [](const std::string& p) { fs::create_directory(p); ::chmod(p.c_str(), 0755); }},
      {"writable by the group", [](const std::string& p) { fs::create_directory(p); ::chmod(p.c_str(), 0770); }},
      {"a link to a private folder",
       [](const std::string& p) {
         fs::create_directory(p + "-real");
         ::chmod((p + "-real").c_str(), 0700);
         fs::create_directory_symlink(p + "-real", p);
       }},
      {"a file", [](const std::string& p) { testing::WriteFileBytes(p, "x"); }},
      {"another user's",
       [](const std::string& p) {
         fs::create_directory(p);
         ::chmod(p.c_str(), 0700);
         if (::geteuid() == 0) {
           ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0);
         }
         else GTEST_SKIP() << "only root can give a folder to another user";
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedTmpdir tmp;
    c.make(tmp.Private());
    const std::string message = testing::FailureOf([] { PrivateTempDir(); });
    EXPECT_NE(message.find("\"" + tmp.Private() + "\""), std::string::npos) << message;
  }
}

}  // namespace
}  // namespace quirada
