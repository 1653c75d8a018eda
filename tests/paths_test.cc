// End-to-end tests of the paths the program is given for an instance's folder, as a hostile local
// user and a careless administrator would lay them: links on the way in folders of others, in
// sticky folders, in trusted ones, and a link swapped while the program runs. The real executable,
// the real Firebird server and the local platform.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/text.h"
#include "testing/executable_test.h"
#include "testing/file_owner.h"
#include "testing/service_process.h"
#include "testing/test_files.h"

namespace quirada::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool Has(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

// A folder named through a link is judged entry by entry, the link and its folder included:
// "/VERIFICARPASTA" says FALHOU naming the entry another user may change, and "/INSTALL" registers
// nothing; through a link in a trusted folder it is OK, and the unit names the folder the link
// leads to.
TEST(PathsTest, AFolderNamedThroughALinkIsJudgedWithTheLinkAndItsFolder) {
  InstallFolder place;
  if (!place.usable()) GTEST_SKIP() << "no folder to install from: " << place.why();
  const std::string base = place.path();
  const std::string exe = base + "QuiradaContabil";
  fs::copy_file(BuiltExecutable(), exe);
  fs::create_directory(base + "units");
  const std::string empresa = base + "empresa";
  ASSERT_EQ(::mkdir(empresa.c_str(), 0700), 0);
  const bool root = ::geteuid() == 0;
  // A folder `name` of `mode` holding the link "acme" to the company's folder; both given to
  // another user when `foreign`.
  const auto folder_with_link = [&](const std::string& name, mode_t mode, bool foreign_folder,
                                    bool foreign_link) {
    const std::string folder = base + name;
    fs::create_directory(folder);
    ::chmod(folder.c_str(), mode);
    fs::create_symlink(empresa, folder + "/acme");
    if (foreign_link) {
      EXPECT_EQ(::lchown((folder + "/acme").c_str(), 65534, 65534), 0);
    }
    if (foreign_folder) {
      EXPECT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    }
    return folder + "/acme";
  };
  const struct {
    const char* what;
    std::function<std::string()> make;  // returns the path given
    std::string guilty;                 // the entry named as untrusted, "" when trusted
    bool needs_root;
  } cases[] = {
      {"a link in another user's folder", [&] { return folder_with_link("vizinho", 0755, true, true); },
       base + "vizinho", true},
      {"a link in a folder others may write", [&] { return folder_with_link("aberta", 0777, false, false); },
       base + "aberta", false},
      {"another user's link in a sticky folder",
       [&] { return folder_with_link("compartilhada", 01777, false, true); }, base + "compartilhada/acme", true},
      {"a link in a trusted folder", [&] { return folder_with_link("atalhos", 0755, false, false); }, "", false},
  };
  int nome = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needs_root && !root) continue;  // only root gives files away
    const std::string given = c.make();
    const std::map<std::string, std::string> env = {{"QUIRADA_SYSTEMD_DIR", base + "units"}};
    Process check = StartProcess(exe, {"/VERIFICARPASTA", given}, env, base + "check");
    ASSERT_TRUE(check.WaitFor(60s));
    const std::string instancia = "i" + std::to_string(nome++);
    Process install = StartProcess(exe, {"/INSTALL", "--instancia", instancia, "--pasta", given}, env,
                                   base + "install");
    ASSERT_TRUE(install.WaitFor(60s));
    const std::string unit = base + "units/SrvQuirada@" + instancia + ".service";
    if (c.guilty.empty()) {
      EXPECT_EQ(check.result().exit_status, 0) << check.result().out;
      EXPECT_EQ(install.result().exit_status, 0) << install.result().err;
      EXPECT_TRUE(Has(ReadFileBytes(unit), "\nExecStart=" + exe + " --pasta " + empresa +
                                               " --instancia " + instancia + "\n"))
          << "the folder the link leads to is registered: " << ReadFileBytes(unit);
      // One registration per folder: the next case needs the folder free again.
      Process uninstall = StartProcess(exe, {"/UNINSTALL", "--instancia", instancia}, env, base + "un");
      ASSERT_TRUE(uninstall.WaitFor(60s));
      continue;
    }
    EXPECT_EQ(check.result().exit_status, 1);
    EXPECT_TRUE(Has(check.result().out, "FALHOU: Pasta do serviço não confiável")) << check.result().out;
    EXPECT_TRUE(Has(check.result().out, "\"" + c.guilty + "\": ")) << check.result().out;
    EXPECT_EQ(install.result().exit_status, 1);
    EXPECT_TRUE(Has(install.result().err, "\"" + c.guilty + "\": ")) << install.result().err;
    EXPECT_FALSE(fs::exists(unit)) << "no unit written";
  }
}

class SwappedLinkTest : public ExecutableTest {};

// While "/ONCE" runs again and again on a folder named through a link, another thread swaps the
// link between the company's folder and a folder others may write, where links lead the log, the
// lock, the last cycle's line and a document's XML file to victims. A run that judged the other
// folder refuses; a run that judged the company's folder does all its work there, whatever the
// link leads to meanwhile: no victim is written, nothing is added to the other folder.
TEST_F(SwappedLinkTest, ALinkSwappedWhileTheProgramRunsNeverLeadsAWriteOutsideTheFolderJudged) {
  AddNotes(1, 2);
  db_.Execute("UPDATE NOTASENTRADASESAIDAS SET XMLNFE = NULL WHERE SEQUENCIAL = 2");  // a line each run
  LocalPlatform platform;
  TempFolder top, victims;
  const std::string good = top.path() + "empresa/";
  const std::string evil = top.path() + "aberta/";
  ASSERT_EQ(::mkdir(good.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(evil.c_str(), 0755), 0);
  db_.WriteIni(good);
  { std::ofstream(good + "Morvant.ini", std::ios::app) << platform.IniSection(); }
  std::set<std::string> planted;
  for (const std::string& name : {std::string("QuiradaContabil.log"), std::string("QuiradaContabil.lock"),
                                  std::string("QuiradaContabil.ciclo"), DocumentNumber(1) + ".xml"}) {
    WriteFileBytes(victims.path() + name, "vítima\n");
    fs::create_symlink(victims.path() + name, evil + name);
    planted.insert(name);
  }
  ::chmod(evil.c_str(), 0777);
  const std::string link = top.path() + "acme";
  fs::create_symlink(good, link);

  std::atomic<bool> stop = false;
  std::thread swapper([&] {
    for (bool to_evil = true; !stop; to_evil = !to_evil) {
      const std::string next = link + ".novo";
      fs::create_symlink(to_evil ? evil : good, next);
      fs::rename(next, link);
      std::this_thread::sleep_for(1ms);
    }
  });
  int done = 0, refused = 0;
  for (int i = 0; i < 15; ++i) {
    const ProcessResult r = run_.Run({"/ONCE", "--pasta", link}, Env());
    if (r.exit_status == 3) {
      ++done;
    } else {
      EXPECT_EQ(r.exit_status, 1) << r.err;
      EXPECT_TRUE(Has(r.err, "Pasta do serviço não confiável")) << r.err;
      ++refused;
    }
  }
  stop = true;
  swapper.join();

  for (const std::string& name : planted)
    EXPECT_EQ(ReadFileBytes(victims.path() + name), "vítima\n") << name << " was written through";
  EXPECT_EQ(Names(evil), planted) << "nothing was added to the folder others may write";
  ASSERT_GT(done, 0) << "no run judged the company's folder (" << refused << " refused)";
  // Every run that was done did all of its work in the company's folder: its log line, its last
  // cycle's line, its lock.
  int lines = 0;
  std::istringstream log(Latin1ToUtf8(ReadFileBytes(good + "QuiradaContabil.log")));
  for (std::string line; std::getline(log, line);) lines += Has(line, "sem XML no banco de dados: não enviado");
  EXPECT_EQ(lines, done);
  EXPECT_TRUE(Has(ReadFileBytes(good + "QuiradaContabil.ciclo"), " Ciclo concluído: "));
  EXPECT_TRUE(fs::exists(good + "QuiradaContabil.lock"));
  EXPECT_EQ(platform.Uploads().size(), 1u) << "the one document went once, from the company's folder";
  EXPECT_EQ(db_.RegisterRows().size(), 1u);
}

class FolderNamesTest : public ExecutableTest {};

// Folder names an administrator may give (blanks, '%', '$', "${X}", "%X%", hundreds of bytes of
// multi-byte characters) work end to end: the cycle sends from that folder, names it to the
// database and keeps its files there.
TEST_F(FolderNamesTest, AnInstanceInAFolderOfAnyNameSendsFromThatFolder) {
  TempFolder top;
  std::string long_name;
  for (int i = 0; i < 40; ++i) long_name += "ação";  // 240 bytes, 6 a group
  // So that the 255th byte of the folder's path is the first of the two of a "ç": a text cut at
  // 255 bytes (the database's context variable) would cut the character in two.
  std::string pad = "x";
  while ((254 - top.path().size() - pad.size()) % 6 != 1) pad += "x";
  const std::string names[] = {"com espaço", "100%", "dol${HOME}x", "%PROCESSOR_ARCHITECTURE%",
                               pad + long_name + "/" + long_name};
  LocalPlatform platform;
  long long seq = 1;
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string folder = top.path() + name + "/";
    fs::create_directories(folder);
    for (fs::path p = folder; p.string().size() > top.path().size(); p = p.parent_path())
      if (!p.filename().empty()) ::chmod(p.c_str(), 0700);
    db_.WriteIni(folder);
    { std::ofstream(folder + "Morvant.ini", std::ios::app) << platform.IniSection(); }
    AddNotes(seq, 1);
    const ProcessResult r = run_.Run({"/ONCE", "--pasta", folder}, Env());
    EXPECT_EQ(r.exit_status, 0) << r.err << ReadFileBytes(folder + "QuiradaContabil.log");
    EXPECT_EQ(r.out, "Ciclo concluído: 1 enviado(s), 0 não enviado(s).\n");
    EXPECT_TRUE(Has(ReadFileBytes(folder + "QuiradaContabil.ciclo"), "Ciclo concluído: 1 enviado(s)"));
    ++seq;
  }
  EXPECT_EQ(platform.Uploads().size(), std::size(names));
  EXPECT_EQ(db_.RegisterRows().size(), std::size(names));
}

}  // namespace
}  // namespace quirada::testing
