// End-to-end tests of several companies on one host: the unnamed instance beside the executable
// and two named ones, each with its own folder, INI, ERP database, key, token, log and lock, all
// sending to one local platform.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

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
        std::string(" Ciclo concluído: 2 enviado(s), 1 não enviado(s).; pendentes: 1\n"),
        std::string("3 instância(s) registrada(s).\n")})
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
       line + "; pendentes: "},
      {"d_aberta",
       [&](const std::string& f) {
         WriteFileBytes(f + ciclo, "segredo-de-outro\n");
         ::chmod(f.c_str(), 0777);
       },
       "não lido: a pasta não é confiável (QuiradaContabil /VERIFICARPASTA \"" + Folder("d_aberta") +
           "\" diz por quê e como corrigir); pendentes: não contados (a pasta não é confiável)"},
      {"e_comum", [&](const std::string& f) { WriteFileBytes(f + ciclo, line + "\n"); }, line + "; pendentes: "},
      {"f_nenhum", [](const std::string&) {}, "nenhum registrado; pendentes: "},
  };
  for (const auto& c : cases) {
    const std::string folder = Folder(c.nome);
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(Run({"/INSTALL", "--instancia", c.nome, "--pasta", folder}).exit_status, 0) << c.nome;
    c.make(folder);
  }
  // None of them has a cycle it could show as gone well: each wants attention.
  const ProcessResult list = Run({"/INSTANCIAS"});
  EXPECT_EQ(list.exit_status, 1) << list.err;
  EXPECT_TRUE(Has(list.out, "6 instância(s) pedem atenção: a_link, b_fifo, c_enorme, d_aberta, e_comum, "
                            "f_nenhum.\n")) << list.out;
  for (const auto& c : cases) {
    EXPECT_TRUE(Has(list.out, "SrvQuirada@" + c.nome + " (" + c.nome + "): pasta " + Folder(c.nome) +
                                  "; serviço desconhecido; último ciclo: " + c.shown))
        << c.nome << "\n--\n" << list.out;
  }
  EXPECT_FALSE(Has(list.out, "segredo-de-outro")) << list.out;
  ::chmod(Folder("d_aberta").c_str(), 0700);
}

// The Prometheus text format read back: "name{labels}" to the sample's value; each family's HELP
// and TYPE before its samples, every line of the format's grammar (anything else fails the test).
std::map<std::string, double> ReadPrometheus(const std::string& text) {
  const auto name_end = [](const std::string& line, size_t at) {
    while (at < line.size() && ((line[at] >= 'a' && line[at] <= 'z') || line[at] == '_')) ++at;
    return at;
  };
  std::map<std::string, double> samples;
  std::set<std::string> typed;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with("# HELP ")) {
      const size_t end = name_end(line, 7);
      EXPECT_TRUE(end > 7 && end + 1 < line.size() && line[end] == ' ') << line;
      continue;
    }
    if (line.starts_with("# TYPE ")) {
      const size_t end = name_end(line, 7);
      EXPECT_EQ(line.substr(end), " gauge") << line;
      EXPECT_TRUE(typed.insert(line.substr(7, end - 7)).second) << "family typed twice: " << line;
      continue;
    }
    const size_t name = name_end(line, 0);
    // Labels: name="value" pairs, the value's backslash, quote and line feed escaped.
    bool ok = name > 0 && name < line.size() && line[name] == '{';
    size_t at = name + 1;
    while (ok && at < line.size() && line[at] != '}') {
      const size_t label = name_end(line, at);
      ok = label > at && line.compare(label, 2, "=\"") == 0;
      at = label + 2;
      while (ok && at < line.size() && line[at] != '"') {
        if (line[at] == '\\') ok = at + 1 < line.size() && std::string("\\\"n").find(line[++at]) != std::string::npos;
        ++at;
      }
      ok = ok && at < line.size();
      ++at;
      if (ok && at < line.size() && line[at] == ',') ++at;
    }
    ok = ok && line.compare(at, 2, "} ") == 0;
    char* value_end = nullptr;
    const double value = ok ? std::strtod(line.c_str() + at + 2, &value_end) : 0;
    ok = ok && value_end != line.c_str() + at + 2 && *value_end == '\0';
    if (!ok) {
      ADD_FAILURE() << "not a line of the text format: " << line;
      continue;
    }
    EXPECT_TRUE(typed.count(line.substr(0, name))) << "a sample before its TYPE: " << line;
    samples[line.substr(0, at + 1)] = value;
  }
  return samples;
}

// Whether `text` is "YYYY-MM-DDTHH:MM:SS+HH:MM" (or "-HH:MM").
bool IsIso8601WithOffset(const std::string& text) {
  const std::string form = "dddd-dd-ddTdd:dd:dd*dd:dd";
  if (text.size() != form.size()) return false;
  for (size_t i = 0; i < form.size(); ++i) {
    const bool ok = form[i] == 'd'   ? (text[i] >= '0' && text[i] <= '9')
                    : form[i] == '*' ? (text[i] == '+' || text[i] == '-')
                                     : text[i] == form[i];
    if (!ok) return false;
  }
  return true;
}

// The report a monitor reads, from one table of instance states made by real cycles (or their
// absence): one that went well, one whose cycles fail, one stale (no cycle for two periods), one
// never run. Each gives its JSON object (exactly its keys), its Prometheus samples and its part of
// the exit status (0 only when every instance listed is well).
TEST_F(InstancesTest, TheStatusAMonitorReadsComesFromEachInstancesCycles) {
  LocalPlatform platform;
  Company bem{"bem", "chave-bem", 31, ErpDatabase()};
  Company falha{"falha", "chave-falha", 41, ErpDatabase()};
  Company parada{"parada", "chave-parada", 51, ErpDatabase()};
  Prepare(bem, platform, 2);
  Prepare(falha, platform, 2);
  Prepare(parada, platform, 1);
  // Nothing listens on port 1: falha's cycles fail at their first request, its documents stay.
  falha.db.WriteIni(Folder("falha"));
  std::ofstream(Folder("falha") + "Morvant.ini", std::ios::app)
      << "[Quirada]\r\nApiUrl=https://127.0.0.1:1\r\nAuthUrl=https://127.0.0.1:1\r\n";
  std::ofstream(Folder("parada") + "Morvant.ini", std::ios::app) << "IntervaloSegundos=1\r\n";
  ASSERT_EQ(::mkdir(Folder("nunca").c_str(), 0700), 0);
  for (const char* nome : {"bem", "falha", "parada", "nunca"})
    ASSERT_EQ(Run({"/INSTALL", "--instancia", nome, "--pasta", Folder(nome)}).exit_status, 0) << nome;

  struct Esperado {
    std::string nome;
    int once;                    // the exit status of each "/ONCE"; -1: none run
    int ok;                      // quirada_instancia_ok
    long long enviados, nao_enviados, falhas_seguidas;
    std::optional<long long> pendentes;
    bool falhou, sucesso;        // falha is not null; ultimo_sucesso is not null
  };
  const Esperado esperados[] = {
      {"bem", 0, 1, 2, 0, 0, 0, false, true},
      {"falha", 1, 0, 0, 2, 2, 2, true, false},
      {"nunca", -1, 0, 0, 0, 0, std::nullopt, false, false},
      {"parada", 0, 0, 1, 0, 0, 0, false, true},
  };
  for (const Esperado& e : esperados) {
    for (int i = 0; e.once >= 0 && i < (e.nome == "falha" ? 2 : 1); ++i) {
      const ProcessResult once = Run({"/ONCE", "--instancia", e.nome});
      ASSERT_EQ(once.exit_status, e.once) << e.nome << ": " << once.out << once.err;
    }
  }
  // Two periods of one second without a cycle.
  std::this_thread::sleep_for(2500ms);

  const std::string versao = Run({"/VERSION"}).out.substr(std::string("QuiradaContabil ").size());
  const ProcessResult json = Run({"/INSTANCIAS", "--json"});
  EXPECT_EQ(json.exit_status, 1) << json.err;
  EXPECT_TRUE(Has(json.err, "Pendentes de SrvQuirada@nunca não contados: ")) << json.err;
  rapidjson::Document doc;
  ASSERT_FALSE(doc.Parse(json.out.c_str()).HasParseError()) << json.out;
  ASSERT_TRUE(doc.IsArray());
  ASSERT_EQ(doc.Size(), 4u) << json.out;
  const auto instante = [&](const rapidjson::Value& v) {
    EXPECT_TRUE(v.IsString() && IsIso8601WithOffset(v.GetString())) << (v.IsString() ? v.GetString() : "?");
  };
  const ProcessResult prom = Run({"/INSTANCIAS", "--prometheus"});
  EXPECT_EQ(prom.exit_status, 1) << prom.err;
  const std::map<std::string, double> samples = ReadPrometheus(prom.out);
  for (rapidjson::SizeType n = 0; n < doc.Size(); ++n) {
    const Esperado& e = esperados[n];
    SCOPED_TRACE(e.nome);
    const rapidjson::Value& o = doc[n];
    std::vector<std::string> keys;
    for (const auto& member : o.GetObject()) keys.push_back(member.name.GetString());
    EXPECT_EQ(keys, (std::vector<std::string>{"servico", "instancia", "pasta", "estado", "ultimo_ciclo",
                                              "ultimo_sucesso", "falhas_seguidas", "pendentes",
                                              "proximo_ciclo", "versao"}));
    EXPECT_EQ(std::string(o["servico"].GetString()), "SrvQuirada@" + e.nome);
    EXPECT_EQ(std::string(o["instancia"].GetString()), e.nome);
    EXPECT_EQ(std::string(o["pasta"].GetString()), Folder(e.nome));
    EXPECT_EQ(std::string(o["estado"].GetString()), "desconhecido");
    EXPECT_EQ(o["falhas_seguidas"].GetInt64(), e.falhas_seguidas);
    EXPECT_TRUE(o["proximo_ciclo"].IsNull()) << "no service runs: no next cycle";
    if (e.pendentes) {
      EXPECT_EQ(o["pendentes"].GetInt64(), *e.pendentes);
    } else {
      EXPECT_TRUE(o["pendentes"].IsNull());
    }
    const std::string labels = "{instancia=\"" + e.nome + "\",servico=\"SrvQuirada@" + e.nome + "\"}";
    EXPECT_EQ(samples.at("quirada_instancia_ok" + labels), e.ok);
    EXPECT_EQ(samples.count("quirada_pendentes" + labels), e.pendentes ? 1u : 0u);
    if (e.pendentes) {
      EXPECT_EQ(samples.at("quirada_pendentes" + labels), *e.pendentes);
    }
    if (e.once < 0) {
      EXPECT_TRUE(o["ultimo_ciclo"].IsNull());
      EXPECT_TRUE(o["ultimo_sucesso"].IsNull());
      EXPECT_TRUE(o["versao"].IsNull());
      EXPECT_EQ(samples.count("quirada_ultimo_ciclo_fim_timestamp_seconds" + labels), 0u);
      EXPECT_EQ(Run({"/INSTANCIAS", "--instancia", e.nome}).exit_status, 1);
      continue;
    }
    EXPECT_EQ(std::string(o["versao"].GetString()) + "\n", versao);
    const rapidjson::Value& ciclo = o["ultimo_ciclo"];
    ASSERT_TRUE(ciclo.IsObject());
    std::vector<std::string> cycle_keys;
    for (const auto& member : ciclo.GetObject()) cycle_keys.push_back(member.name.GetString());
    EXPECT_EQ(cycle_keys, (std::vector<std::string>{"inicio", "fim", "enviados", "nao_enviados", "falha"}));
    instante(ciclo["inicio"]);
    instante(ciclo["fim"]);
    EXPECT_LE(std::string(ciclo["inicio"].GetString()), std::string(ciclo["fim"].GetString()));
    EXPECT_EQ(ciclo["enviados"].GetInt64(), e.enviados);
    EXPECT_EQ(ciclo["nao_enviados"].GetInt64(), e.nao_enviados);
    EXPECT_EQ(!ciclo["falha"].IsNull(), e.falhou);
    if (e.falhou) {
      EXPECT_TRUE(Has(ciclo["falha"].GetString(), "127.0.0.1")) << ciclo["falha"].GetString();
    }
    EXPECT_EQ(!o["ultimo_sucesso"].IsNull(), e.sucesso);
    if (e.sucesso) {
      EXPECT_EQ(std::string(o["ultimo_sucesso"].GetString()), ciclo["fim"].GetString());
    }
    EXPECT_EQ(samples.at("quirada_ultimo_ciclo_enviados" + labels), e.enviados);
    EXPECT_EQ(samples.at("quirada_ultimo_ciclo_nao_enviados" + labels), e.nao_enviados);
    EXPECT_EQ(samples.at("quirada_ultimo_ciclo_falhou" + labels), e.falhou ? 1 : 0);
    EXPECT_EQ(samples.at("quirada_falhas_seguidas" + labels), e.falhas_seguidas);
    EXPECT_GE(samples.at("quirada_ultimo_ciclo_fim_timestamp_seconds" + labels),
              samples.at("quirada_ultimo_ciclo_inicio_timestamp_seconds" + labels));
    EXPECT_EQ(samples.count("quirada_ultimo_sucesso_timestamp_seconds" + labels), e.sucesso ? 1u : 0u);
    EXPECT_EQ(samples.count("quirada_instancia_info{instancia=\"" + e.nome + "\",servico=\"SrvQuirada@" +
                            e.nome + "\",pasta=\"" + Folder(e.nome) + "\",estado=\"desconhecido\",versao=\"" +
                            versao.substr(0, versao.size() - 1) + "\"}"),
              1u);
    // Asked of one instance, the exit status is that instance's.
    EXPECT_EQ(Run({"/INSTANCIAS", "--instancia", e.nome}).exit_status, e.ok ? 0 : 1);
  }
  // The one Prometheus's own tool reads as valid.
  const std::string file = tmp_.path() + "quirada.prom";
  WriteFileBytes(file, prom.out);
  Process check = StartProcess("/bin/sh", {"-c", "command -v promtool >/dev/null || exit 127; promtool check metrics < " + file},
                               {}, tmp_.path() + "promtool");
  ASSERT_TRUE(check.WaitFor(60s));
  ASSERT_NE(check.result().exit_status, 127) << "promtool is missing (scripts/install-deps.sh installs prometheus)";
  EXPECT_EQ(check.result().exit_status, 0) << check.result().out << check.result().err << prom.out;

  // The lines for a person say the same, the ones that want attention last.
  const ProcessResult lines = Run({"/INSTANCIAS"});
  EXPECT_EQ(lines.exit_status, 1);
  EXPECT_TRUE(Has(lines.out, "3 instância(s) pedem atenção: falha, nunca, parada.\n")) << lines.out;
  EXPECT_TRUE(Has(lines.out, "; falhas seguidas: 2; pendentes: 2; ATENÇÃO: o último ciclo falhou (2 ciclo(s) "
                             "seguido(s) com falha)\n")) << lines.out;
  EXPECT_TRUE(Has(lines.out, ", mais de dois períodos (1 s cada)\n")) << lines.out;
  EXPECT_TRUE(Has(lines.out, "SrvQuirada@nunca (nunca): pasta " + Folder("nunca") +
                             "; serviço desconhecido; último ciclo: nenhum registrado; pendentes: não contados ("))
      << lines.out;
  // A name that is not registered is refused; so is another folder than the instance's.
  const ProcessResult outra_pasta = Run({"/ONCE", "--instancia", "bem", "--pasta", Folder("falha")});
  EXPECT_EQ(outra_pasta.exit_status, 2);
  EXPECT_TRUE(Has(outra_pasta.err, "Nada foi feito: --pasta \"" + Folder("falha") +
                                       "\" não é a pasta da instância \"bem\", que é \"" + Folder("bem") + "\""))
      << outra_pasta.err;
  const ProcessResult desconhecida = Run({"/INSTANCIAS", "--instancia", "gama"});
  EXPECT_EQ(desconhecida.exit_status, 2);
  EXPECT_TRUE(Has(desconhecida.err, "a instância \"gama\" não está registrada neste computador; "
                                    "QuiradaContabil /INSTANCIAS lista as instâncias registradas")) << desconhecida.err;
}

}  // namespace
}  // namespace quirada::testing
