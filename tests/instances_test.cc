// End-to-end tests of several companies on one host: the unnamed instance beside the executable
// and two named ones, each with its own folder, INI, ERP database, key, token, log and lock, all
// sending to one local platform.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/erp_database.h"
#include "testing/executable_test.h"
#include "testing/local_platform.h"
#include "testing/service_process.h"
#include "testing/test_files.h"

namespace quirada::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool Has(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

// One company: its ERP database (its own integration key and documents) and its folder's INI.
struct Company {
  std::string name;
  std::string key;
  long long first_document;
  ErpDatabase db;
};

class InstancesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Where an administrator installs from (the units' sandbox hides /tmp, /home and /root, so the
    // installs would be refused there), whatever folder the tests were built in.
    if (!place_.usable()) GTEST_SKIP() << "no folder to install from: " << place_.why();
    base_ = place_.path();
    fs::copy_file(BuiltExecutable(), Executable());
    fs::create_directory(base_ + "units");
    fs::create_directory(base_ + "package");
  }

  std::string Executable() const { return base_ + "QuiradaContabil"; }
  // The folder of the instance `name`; "" is the executable's own.
  std::string Folder(const std::string& name) const { return name.empty() ? base_ : base_ + name + "/"; }

  // Gives `c` its settings row, documents and INI (pointing at `platform`).
  void Prepare(Company& c, const LocalPlatform& platform, long long documents) {
    SettingsRow settings;
    settings.integration_key = c.key;
    c.db.InsertSettings(settings);
    const TDateTime today = c.db.ServerDate();
    for (long long seq = c.first_document; seq < c.first_document + documents; ++seq)
      c.db.InsertNote({.sequencial = seq, .chave = DocumentKey(seq), .xml = "<NFe/>", .data = today,
                       .modelo = "65"});
    const std::string folder = Folder(c.name);
    if (!c.name.empty()) {
      ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    }
    c.db.WriteIni(folder);
    std::ofstream(folder + "Morvant.ini", std::ios::app) << platform.IniSection();
  }

  ProcessResult Run(const std::vector<std::string>& args) {
    Process p = StartProcess(Executable(), args,
                             {{"TMPDIR", tmp_.path()},
                              {"QUIRADA_SYSTEMD_DIR", base_ + "units"},
                              {"QUIRADA_PACKAGE_UNIT_DIR", base_ + "package"}},
                             tmp_.path() + "run-" + std::to_string(runs_++));
    EXPECT_TRUE(p.WaitFor(120s));
    return p.result();
  }

  InstallFolder place_;
  std::string base_;
  TempFolder tmp_;  // the program's TMPDIR
  int runs_ = 0;
};

// The unnamed instance and two named ones: each sends only its own database's documents with its
// own integration key, keeps its own token, writes its own log and holds its own lock; the units
// are written one per instance, /INSTANCIAS lists them with their last cycle, and /UNINSTALL of one
// leaves the others.
TEST_F(InstancesTest, EachInstanceSendsItsOwnDocumentsWithItsOwnKeyTokenLogAndLock) {
  Company companies[] = {{"", "chave-sem-nome", 1, ErpDatabase()},
                         {"acme", "chave-acme", 11, ErpDatabase("WIN1252")},
                         {"beta_2", "chave-beta", 21, ErpDatabase("UTF8")}};
  // One document of acme's is refused: its line goes to acme's log, and to no other.
  LocalPlatform platform({"upload:" + DocumentNumber(12) + "=422"});
  for (Company& c : companies) Prepare(c, platform, c.name == "acme" ? 3 : 2);

  // Registered as the administrator would: the unnamed one and two named ones.
  ASSERT_EQ(Run({"/INSTALL"}).exit_status, 0);
  ASSERT_EQ(Run({"/INSTALL", "--instancia", "acme", "--pasta", Folder("acme")}).exit_status, 0);
  const ProcessResult beta_install = Run({"/install", "--pasta=" + Folder("beta_2"), "--instancia=beta_2"});
  ASSERT_EQ(beta_install.exit_status, 0) << beta_install.err;
  EXPECT_TRUE(Has(ReadFileBytes(base_ + "units/SrvQuirada@acme.service"),
                  "\nExecStart=" + Executable() + " --pasta " + base_ + "acme --instancia acme\n"));

  // Acme's lock is held by another process: its cycle waits, the others run.
  const int held = ::open((Folder("acme") + "QuiradaContabil.lock").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(Run({"/ONCE", "--pasta", Folder("acme")}).exit_status, 75);
  const ProcessResult unnamed = Run({"/ONCE"});
  EXPECT_EQ(unnamed.exit_status, 0) << unnamed.err;
  EXPECT_EQ(unnamed.out, "Ciclo concluído: 2 enviado(s), 0 não enviado(s).\n");
  ::close(held);
  const ProcessResult acme = Run({"/ONCE", "--pasta", Folder("acme")});
  EXPECT_EQ(acme.exit_status, 3) << acme.err;
  EXPECT_EQ(acme.out, "Ciclo concluído: 2 enviado(s), 1 não enviado(s).\n");
  const ProcessResult beta = Run({"--pasta", Folder("beta_2"), "-once"});
  EXPECT_EQ(beta.exit_status, 0) << beta.err;

  // Every document reached the platform once, with its own company's key.
  std::map<std::string, std::string> key_of_document;
  for (const JournalEntry& upload : platform.Uploads()) {
    EXPECT_TRUE(key_of_document.emplace(upload.at("file"), upload.at("integration_key_sha256")).second)
        << upload.at("file") << " uploaded twice";
  }
  for (const Company& c : companies) {
    const long long n = c.name == "acme" ? 3 : 2;
    for (long long seq = c.first_document; seq < c.first_document + n; ++seq)
      EXPECT_EQ(key_of_document[DocumentNumber(seq) + ".xml"], Sha256Hex(c.key)) << c.name << " " << seq;
  }
  EXPECT_EQ(key_of_document.size(), 7u);
  // Each database records its own documents only.
  for (Company& c : companies) {
    std::set<long long> recorded;
    for (const RegisterRow& row : c.db.RegisterRows()) recorded.insert(row.sequencial);
    std::set<long long> expected = {c.first_document, c.first_document + 1};
    if (c.name == "acme") expected = {11, 13};
    EXPECT_EQ(recorded, expected) << c.name;
  }

  // Acme's refusal is in acme's log only; each instance has a token of its own.
  EXPECT_TRUE(Has(ReadFileBytes(Folder("acme") + "QuiradaContabil.log"), DocumentKey(12)));
  EXPECT_FALSE(fs::exists(Folder("") + "QuiradaContabil.log"));
  EXPECT_FALSE(fs::exists(Folder("beta_2") + "QuiradaContabil.log"));
  std::set<std::string> tokens;
  for (const auto& entry : fs::recursive_directory_iterator(tmp_.path() + "quirada-" + std::to_string(::geteuid())))
    if (entry.path().filename() == "token.dm") tokens.insert(ReadFileBytes(entry.path()));
  EXPECT_EQ(tokens.size(), 3u) << "three token files, each with a token of its own";

  // The configuration test of one instance: its INI, its database, its folder and the program's.
  const ProcessResult check = Run({"/VERIFICAR", "--pasta", Folder("acme")});
  EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
  for (const std::string& line : {"Arquivo de configuração: " + Folder("acme") + "Morvant.ini",
                                  "  [Morvant] Caminho = " + companies[1].db.path() + "\n",
                                  "Pasta do serviço (" + Folder("acme") + "): OK\n",
                                  "Pasta do programa (" + base_ + "): OK\n"})
    EXPECT_TRUE(Has(check.out, line)) << line << "\n--\n" << check.out;

  // What the administrator reads in the morning.
  const ProcessResult list = Run({"/INSTANCIAS"});
  EXPECT_EQ(list.exit_status, 0) << list.err;
  for (const std::string& line :
       {"SrvQuirada (sem nome): pasta " + base_ + "; serviço desconhecido; último ciclo: ",
        "SrvQuirada@acme (acme): pasta " + Folder("acme") + "; serviço desconhecido; último ciclo: ",
        "SrvQuirada@beta_2 (beta_2): pasta " + Folder("beta_2") + "; serviço desconhecido; último ciclo: ",
        std::string(" Ciclo concluído: 2 enviado(s), 1 não enviado(s).\n"), std::string("3 instância(s) registrada(s).\n")})
    EXPECT_TRUE(Has(list.out, line)) << line << "\n--\n" << list.out;

  // Removing acme leaves the others registered.
  EXPECT_EQ(Run({"/UNINSTALL", "--instancia", "acme"}).exit_status, 0);
  EXPECT_FALSE(fs::exists(base_ + "units/SrvQuirada@acme.service"));
  EXPECT_TRUE(fs::exists(base_ + "units/SrvQuirada@beta_2.service"));
  EXPECT_TRUE(fs::exists(base_ + "units/SrvQuirada.service"));
  const ProcessResult after = Run({"/INSTANCIAS"});
  EXPECT_FALSE(Has(after.out, "acme")) << after.out;
  EXPECT_TRUE(Has(after.out, "2 instância(s) registrada(s).")) << after.out;
}

// An instance folder that is missing, or a named install without one, is said plainly and nothing
// is written.
TEST_F(InstancesTest, AMissingInstanceFolderIsToldAndNothingIsWritten) {
  const ProcessResult once = Run({"/ONCE", "--pasta", base_ + "nao-existe"});
  EXPECT_EQ(once.exit_status, 1);
  EXPECT_TRUE(Has(once.err, "A pasta da instância \"" + base_ + "nao-existe/\" não existe")) << once.err;
  const ProcessResult install = Run({"/INSTALL", "--instancia", "acme"});
  EXPECT_EQ(install.exit_status, 1);
  EXPECT_TRUE(Has(install.err, "Falha ao instalar o serviço \"SrvQuirada@acme\" com erro: \"/INSTALL "
                               "--instancia precisa da pasta da instância: --pasta <pasta>\""))
      << install.err;
  EXPECT_TRUE(fs::is_empty(base_ + "units"));
}

// One registration per folder: a name that differs only in case, a folder another instance serves
// (named as written, through a link, or the unnamed instance's own) are refused naming the
// instance that has it, and no unit is written; a folder named through a link is registered as
// the folder the link leads to.
TEST_F(InstancesTest, OneRegistrationPerFolderAndNamesComparedWithoutCase) {
  for (const char* folder : {"acme", "outra", "gama_real"}) ASSERT_EQ(::mkdir((base_ + folder).c_str(), 0700), 0);
  fs::create_symlink(base_ + "acme", base_ + "atalho");
  fs::create_symlink("gama_real", base_ + "gama");
  ASSERT_EQ(Run({"/INSTALL"}).exit_status, 0);
  ASSERT_EQ(Run({"/INSTALL", "--instancia", "acme", "--pasta", Folder("acme")}).exit_status, 0);
  const struct {
    const char* what;
    std::string nome, pasta;
    std::string refused;  // a piece of the refusal; "" when registered
  } cases[] = {
      {"the same name in capitals", "ACME", Folder("outra"),
       "já existe a instância \"acme\" (serviço SrvQuirada@acme), e os nomes de instância não "
       "distinguem maiúsculas de minúsculas"},
      {"another name on acme's folder", "beta", Folder("acme"),
       "a pasta \"" + Folder("acme") + "\" já é servida pela instância \"acme\" (serviço "
       "SrvQuirada@acme)"},
      {"a link to acme's folder", "beta", base_ + "atalho",
       "a pasta \"" + Folder("acme") + "\" já é servida pela instância \"acme\""},
      {"the unnamed instance's folder", "beta", base_,
       "a pasta \"" + base_ + "\" já é servida pela instância sem nome (serviço SrvQuirada)"},
      {"a link to a folder of its own", "gama", base_ + "gama", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t units = std::distance(fs::directory_iterator(base_ + "units"), fs::directory_iterator());
    const ProcessResult r = Run({"/INSTALL", "--instancia", c.nome, "--pasta", c.pasta});
    if (c.refused.empty()) {
      EXPECT_EQ(r.exit_status, 0) << r.err;
      EXPECT_TRUE(Has(ReadFileBytes(base_ + "units/SrvQuirada@" + c.nome + ".service"),
                      "\nExecStart=" + Executable() + " --pasta " + base_ + "gama_real --instancia " +
                          c.nome + "\n"));
      continue;
    }
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(Has(r.err, "Falha ao instalar o serviço \"SrvQuirada@" + c.nome + "\" com erro: \"" +
                               c.refused)) << r.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(base_ + "units"), fs::directory_iterator()), units)
        << "no unit written";
  }
}

// "/INSTANCIAS" reads each instance's last cycle as the cycle reaches its files: a link there is
// not followed (another user's file is never shown), a FIFO is never waited on, a huge file is
// read no further than its first line, and a folder that is not trusted is said to be so and
// none of its files is read.
TEST_F(InstancesTest, InstanciasReadsEachLastCycleAsTheCycleWouldOrSaysWhyNot) {
  TempFolder elsewhere;
  const std::string secret = elsewhere.path() + "segredo";
  WriteFileBytes(secret, "segredo-de-outro\n");
  const std::string line = "01/12/2026 10:00:00 Ciclo concluído: 1 enviado(s), 0 não enviado(s).";
  const std::string ciclo = "QuiradaContabil.ciclo";
  const struct {
    std::string nome;
    std::function<void(const std::string& folder)> make;  // after the install
    std::string shown;  // what follows "último ciclo: "
  } cases[] = {
      {"a_link", [&](const std::string& f) { fs::create_symlink(secret, f + ciclo); },
       "ilegível: O arquivo \"" + Folder("a_link") + ciclo + "\" é um link simbólico"},
      {"b_fifo", [&](const std::string& f) { ASSERT_EQ(::mkfifo((f + ciclo).c_str(), 0600), 0); },
       "ilegível: O arquivo \"" + Folder("b_fifo") + ciclo + "\" é uma FIFO"},
      {"c_enorme",
       [&](const std::string& f) {
         WriteFileBytes(f + ciclo, line + "\n");
         fs::resize_file(f + ciclo, 2ULL << 30);
       },
       line + "\n"},
      {"d_aberta",
       [&](const std::string& f) {
         WriteFileBytes(f + ciclo, "segredo-de-outro\n");
         ::chmod(f.c_str(), 0777);
       },
       "não lido: a pasta não é confiável (QuiradaContabil /VERIFICARPASTA \"" + Folder("d_aberta") +
           "\" diz por quê e como corrigir)\n"},
      {"e_comum", [&](const std::string& f) { WriteFileBytes(f + ciclo, line + "\n"); }, line + "\n"},
      {"f_nenhum", [](const std::string&) {}, "nenhum registrado\n"},
  };
  for (const auto& c : cases) {
    const std::string folder = Folder(c.nome);
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(Run({"/INSTALL", "--instancia", c.nome, "--pasta", folder}).exit_status, 0) << c.nome;
    c.make(folder);
  }
  const ProcessResult list = Run({"/INSTANCIAS"});
  EXPECT_EQ(list.exit_status, 0) << list.err;
  for (const auto& c : cases) {
    EXPECT_TRUE(Has(list.out, "SrvQuirada@" + c.nome + " (" + c.nome + "): pasta " + Folder(c.nome) +
                                  "; serviço desconhecido; último ciclo: " + c.shown))
        << c.nome << "\n--\n" << list.out;
  }
  EXPECT_FALSE(Has(list.out, "segredo-de-outro")) << list.out;
  ::chmod(Folder("d_aberta").c_str(), 0700);
}

}  // namespace
}  // namespace quirada::testing
