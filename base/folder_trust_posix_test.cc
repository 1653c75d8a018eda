// Who besides root and the program's user could change its folder, as sshd's StrictModes decides.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/folder_trust.h"
#include "testing/file_owner.h"
#include "testing/test_files.h"

namespace quirada {
namespace {

namespace fs = std::filesystem;
using testing::WriteFileBytes;

// A fresh folder under /tmp (sticky, so trusted above it) for each case: `top` (0755) holds the
// service folder `top/svc` (0700) and another folder `top/elsewhere` (0700).
class FolderTrustTest : public ::testing::Test {
 protected:
  void Fresh() {
    if (!top_.empty()) fs::remove_all(top_);
    char name[] = "/tmp/quirada-trust-XXXXXX";
    top_ = ::mkdtemp(name);
    ::chmod(top_.c_str(), 0755);
    svc_ = top_ + "/svc";
    elsewhere_ = top_ + "/elsewhere";
    fs::create_directory(svc_);
    fs::create_directory(elsewhere_);
    ::chmod(svc_.c_str(), 0700);
    ::chmod(elsewhere_.c_str(), 0700);
  }
  void TearDown() override {
    if (!top_.empty()) fs::remove_all(top_);
  }
  // "<path>=<mend>" for each problem, the paths relative to `top_`.
  std::set<std::string> Problems() const {
    std::set<std::string> found;
    for (const auto& p : FindUntrustedPaths(svc_ + "/", {{"log", true}, {"lock", false}})) {
      EXPECT_EQ(p.path.rfind(top_, 0), 0u) << p.path << " lies outside the case";
      EXPECT_FALSE(p.why.empty());
      EXPECT_NE(p.mend.find("\"" + p.path + "\""), std::string::npos) << p.mend;
      found.insert(p.path.substr(top_.size()) + "=" + p.mend.substr(0, p.mend.find(" \"")));
    }
    return found;
  }

  std::string top_, svc_, elsewhere_;
};

TEST_F(FolderTrustTest, OnlyRootAndThisUserMayChangeTheFolderItsParentsAndItsFiles) {
  const bool root = ::geteuid() == 0;
  const struct {
    const char* what;
    std::function<void()> make;
    std::set<std::string> problems;
    bool needs_root = false;
  } cases[] = {
      {"a private folder and files only their owner writes",
       [this] {
         WriteFileBytes(svc_ + "/log", "");
         ::chmod((svc_ + "/log").c_str(), 0644);
       },
       {}},
      {"a folder its group may write", [this] { ::chmod(svc_.c_str(), 0775); },
       {"/svc=chmod g-w"}},
      {"a folder anyone may write, sticky or not",
       [this] { ::chmod(svc_.c_str(), 01777); }, {"/svc=chmod go-w"}},
      {"a parent others may write", [this] { ::chmod(top_.c_str(), 0757); },
       {"=chmod o-w"}},
      {"a parent anyone may write, with the sticky bit (as /tmp)",
       [this] { ::chmod(top_.c_str(), 01777); }, {}},
      {"a file its group may write",
       [this] {
         WriteFileBytes(svc_ + "/lock", "");
         ::chmod((svc_ + "/lock").c_str(), 0664);
       },
       {"/svc/lock=chmod g-w"}},
      {"the log linked by its owner to a private folder",
       [this] {
         WriteFileBytes(elsewhere_ + "/real.log", "");
         fs::create_symlink(elsewhere_ + "/real.log", svc_ + "/log");
       },
       {}},
      {"the log linked to a folder others may write",
       [this] {
         WriteFileBytes(elsewhere_ + "/real.log", "");
         ::chmod(elsewhere_.c_str(), 0777);
         fs::create_symlink(elsewhere_ + "/real.log", svc_ + "/log");
       },
       {"/elsewhere=chmod go-w"}},
      {"the log linked to nothing yet, in a folder others may write",
       [this] {
         ::chmod(elsewhere_.c_str(), 0777);
         fs::create_symlink(elsewhere_ + "/not-yet.log", svc_ + "/log");
       },
       {"/elsewhere=chmod go-w"}},
      {"a lock link is never followed: where it leads plays no part",
       [this] {
         ::chmod(elsewhere_.c_str(), 0777);
         fs::create_symlink(elsewhere_ + "/x", svc_ + "/lock");
       },
       {}},
      {"a file of another user",
       [this] {
         WriteFileBytes(svc_ + "/log", "");
         ASSERT_TRUE(testing::GiveToAnotherUser(svc_ + "/log"));
       },
       {"/svc/log=chown root"}, true},
      {"a folder of another user",
       [this] { ASSERT_TRUE(testing::GiveToAnotherUser(svc_)); },
       {"/svc=chown root"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needs_root && !root) continue;  // only root gives files away
    Fresh();
    c.make();
    EXPECT_EQ(Problems(), c.problems);
  }
}

// The owner is told when another user's file is what could not be opened.
TEST_F(FolderTrustTest, AFileOfAnotherUserIsNamedWithItsOwnerAndTheChownThatMendsIt) {
  Fresh();
  const std::string lock = svc_ + "/lock";
  WriteFileBytes(lock, "");
  EXPECT_EQ(ForeignOwnerHint(lock), "");
  if (!testing::GiveToAnotherUser(lock)) GTEST_SKIP() << "only root gives files away";
  const std::string hint = ForeignOwnerHint(lock);
  EXPECT_NE(hint.find("\"" + lock + "\" pertence a "), std::string::npos) << hint;
  EXPECT_NE(hint.find("(uid 65534)"), std::string::npos) << hint;
  EXPECT_NE(hint.find("chown root \"" + lock + "\""), std::string::npos) << hint;
}

}  // namespace
}  // namespace quirada
