// Who besides root and the program's user could change its folder, as sshd's StrictModes decides.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/file_io.h"
#include "base/file_lock.h"
#include "base/folder_trust.h"
#include "testing/file_owner.h"
#include "testing/test_files.h"

namespace quirada {
namespace {

namespace fs = std::filesystem;
using testing::FailureOf;
using testing::ReadFileBytes;
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

// The path as it is written is judged entry by entry: a link is an entry of its folder (trusted
// only where that folder is, and when root or this user made it), what it leads to is judged the
// same way, and the folder held is the one the walk reached.
TEST_F(FolderTrustTest, EveryEntryOfThePathIsJudgedLinksAndTheirFoldersIncluded) {
  const bool root = ::geteuid() == 0;
  // A link `name` -> `to`, given to another user when `foreign`.
  const auto link = [](const std::string& to, const std::string& name, bool foreign = false) {
    fs::create_symlink(to, name);
    if (foreign) {
      ASSERT_EQ(::lchown(name.c_str(), 65534, 65534), 0);
    }
  };
  const struct {
    const char* what;
    std::function<void()> make;
    std::string given;                // the path asked for, relative to the case's top
    std::set<std::string> problems;   // "<path>=<mend>", relative to the top
    std::string held;                 // the folder held, relative to the top; "" for none
    std::string unreached = "";       // a piece of why none is held
    bool needs_root = false;
  } cases[] = {
      {"a link in a trusted folder", [&] { link(svc_, top_ + "/acme"); }, "/acme", {}, "/svc"},
      {"a relative link", [&] { link("svc", top_ + "/acme"); }, "/acme/", {}, "/svc"},
      {"a chain of links", [&] { link(top_ + "/b", top_ + "/a"); link("svc", top_ + "/b"); },
       "/a", {}, "/svc"},
      {"a link followed by .. climbs from where it leads",
       [&] { link(svc_, top_ + "/acme"); }, "/acme/../elsewhere", {}, "/elsewhere"},
      {"a link in a folder others may write",
       [&] {
         fs::create_directory(top_ + "/open");
         ::chmod((top_ + "/open").c_str(), 0777);
         link(svc_, top_ + "/open/acme");
       },
       "/open/acme", {"/open=chmod go-w"}, "/svc"},
      {"a link to a folder others may write",
       [&] {
         ::chmod(elsewhere_.c_str(), 0777);
         link(elsewhere_, top_ + "/acme");
       },
       "/acme", {"/elsewhere=chmod go-w"}, "/elsewhere"},
      {"a link in another user's folder",
       [&] {
         fs::create_directory(top_ + "/other");
         link(svc_, top_ + "/other/acme", true);
         ASSERT_EQ(::chown((top_ + "/other").c_str(), 65534, 65534), 0);
       },
       "/other/acme", {"/other=chown root", "/other/acme=chown -h root"}, "/svc", "", true},
      {"another user's link in a sticky folder",
       [&] {
         fs::create_directory(top_ + "/sticky");
         ::chmod((top_ + "/sticky").c_str(), 01777);
         link(svc_, top_ + "/sticky/acme", true);
       },
       "/sticky/acme", {"/sticky/acme=chown -h root"}, "/svc", "", true},
      {"root's own link in a sticky folder",
       [&] {
         fs::create_directory(top_ + "/sticky");
         ::chmod((top_ + "/sticky").c_str(), 01777);
         link(svc_, top_ + "/sticky/acme");
       },
       "/sticky/acme", {}, "/svc"},
      {"a loop of links", [&] { link(top_ + "/y", top_ + "/x"); link(top_ + "/x", top_ + "/y"); },
       "/x", {}, "", "links demais"},
      {"a link to a file",
       [&] {
         WriteFileBytes(elsewhere_ + "/f", "");
         link(elsewhere_ + "/f", top_ + "/acme");
       },
       "/acme", {}, "", "não é uma pasta"},
      {"a folder that is not there", [] {}, "/nao-existe/svc", {}, "", "não existe"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needs_root && !root) continue;  // only root gives files away
    Fresh();
    c.make();
    JudgedFolder judged = OpenJudgedFolder(top_ + c.given, {{"log", true}, {"lock", false}});
    std::set<std::string> found;
    for (const auto& p : judged.untrusted) {
      ASSERT_EQ(p.path.rfind(top_, 0), 0u) << p.path << " lies outside the case";
      found.insert(p.path.substr(top_.size()) + "=" + p.mend.substr(0, p.mend.find(" \"")));
    }
    EXPECT_EQ(found, c.problems);
    if (c.held.empty()) {
      EXPECT_FALSE(judged.folder.IsOpen());
      EXPECT_NE(judged.unreached.find(c.unreached), std::string::npos) << judged.unreached;
    } else {
      ASSERT_TRUE(judged.folder.IsOpen()) << judged.unreached;
      EXPECT_EQ(judged.folder.Path(), top_ + c.held + "/");
    }
  }
}

// After the judgement the folder judged is renamed away, and both its name and the link that led
// to it now lead to a folder others may write, where a planted log leads to a victim: every file
// is still reached in the folder judged, the victim and the other folder stay as they were, and
// the messages name the folder judged.
TEST_F(FolderTrustTest, WhatWasJudgedIsWhatIsUsedWhateverTheLinkLeadsToLater) {
  Fresh();
  fs::create_symlink(svc_, top_ + "/acme");
  const JudgedFolder judged = OpenJudgedFolder(top_ + "/acme/", {{"log", true}, {"lock", false}});
  ASSERT_TRUE(judged.untrusted.empty());
  ASSERT_TRUE(judged.folder.IsOpen());

  const std::string evil = top_ + "/evil";
  fs::create_directory(evil);
  ::chmod(evil.c_str(), 0777);
  const std::string victim = elsewhere_ + "/victim";
  WriteFileBytes(victim, "vítima\n");
  fs::create_symlink(victim, evil + "/log");
  const std::string judged_svc = svc_ + ".judged";
  fs::rename(svc_, judged_svc);
  fs::create_symlink(evil, svc_);
  fs::create_symlink(evil, top_ + "/acme.new");
  fs::rename(top_ + "/acme.new", top_ + "/acme");
  for (const std::string& path : {top_ + "/acme/", svc_ + "/"})
    ASSERT_FALSE(OpenJudgedFolder(path, {}).untrusted.empty()) << path << " judged now: refused";

  const HeldFolder& held = judged.folder;
  AppendToFile(held.Reach("log"), "linha\n", 0600);
  File::CreateNew(held.Reach("1.xml"), 0600).Write("<NFe/>");
  std::string holder;
  EXPECT_TRUE(FileLock::TryAcquire(held.Reach("lock"), &holder).has_value());
  ReplaceFile(held.Reach("ciclo"), "fim\n", 0600);
  EXPECT_EQ(ReadFileBytes(victim), "vítima\n");
  std::set<std::string> in_evil, in_svc;
  for (const auto& e : fs::directory_iterator(evil)) in_evil.insert(e.path().filename().string());
  for (const auto& e : fs::directory_iterator(judged_svc)) in_svc.insert(e.path().filename().string());
  EXPECT_EQ(in_evil, (std::set<std::string>{"log"}));
  EXPECT_EQ(in_svc, (std::set<std::string>{"log", "1.xml", "lock", "ciclo"}));
  EXPECT_EQ(ReadFileBytes(judged_svc + "/log"), "linha\n");
  EXPECT_EQ(ReadFileBytes(judged_svc + "/ciclo"), "fim\n");

  // Named as the folder was judged: its path then.
  const std::string failure = FailureOf([&] { File::CreateNew(held.Reach("1.xml"), 0600); });
  EXPECT_NE(failure.find("\"" + svc_ + "/1.xml\""), std::string::npos) << failure;
  EXPECT_EQ(failure.find("/proc/"), std::string::npos) << failure;
  EXPECT_EQ(ShownPath(held.Reach("1.xml")), svc_ + "/1.xml");
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
