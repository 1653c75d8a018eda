// The operator's first hour with the real executable: what "/ONCE" says and how it exits, what
// the service tells the journal and systemd, the configuration test, the INI's text rules, help
// and version, and a platform that forgot the token it issued.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform_client/wire.h"
#include "base/file_lock.h"
#include "base/text.h"
#include "base/unique_fd_posix.h"
#include "testing/erp_database.h"
#include "testing/executable_test.h"
#include "testing/local_platform.h"
#include "testing/service_process.h"

extern char** environ;

namespace quirada::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool Has(const std::string& text, const std::string& piece) {
  return text.find(piece) != std::string::npos;
}

class OperatorTest : public ExecutableTest {
 protected:
  ProcessResult Run(const std::vector<std::string>& args) { return run_.Run(args, Env()); }
  std::vector<std::string> Log() const {
    std::vector<std::string> entries = run_.LogEntries();
    for (auto& e : entries) e = Latin1ToUtf8(e);
    return entries;
  }
};

// "/ONCE" tells how the cycle went, on standard output and in its exit status.
TEST_F(OperatorTest, OnceSaysHowTheCycleWentAndExitsAccordingly) {
  AddNotes(1, 2);
  const struct {
    const char* what;
    std::vector<std::string> rules;
    bool lock_held;
    int exit_status;
    std::string out;
    std::string err;  // a piece of standard error; "" for nothing at all
    size_t log_entries;
  } cases[] = {
      {"clean", {}, false, 0, "Ciclo concluído: 2 enviado(s), 0 não enviado(s).\n", "", 0},
      {"one document refused", {"upload:" + DocumentNumber(2) + "=422"}, false, 3,
       "Ciclo concluído: 1 enviado(s), 1 não enviado(s).\n", "", 1},
      {"the platform failing", {"upload:*=503"}, false, 1, "", "Lote recusado", 1},
      {"another cycle running", {}, true, 75, "", "Outro ciclo de envio está em andamento", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    db_.Execute("DELETE FROM QUIRADA_ENVIOS_XML");
    fs::remove(run_.log_path());
    fs::remove(ServiceTokenFile(tmp_.path()));
    LocalPlatform platform(c.rules);
    Configure(platform);
    std::optional<FileLock> lock;
    if (c.lock_held) lock = FileLock::TryAcquire(run_.dir() + "QuiradaContabil.lock", nullptr);
    const ProcessResult r = Run({"/ONCE"});
    EXPECT_EQ(r.exit_status, c.exit_status) << r.err;
    EXPECT_EQ(r.out, c.out);
    if (c.err.empty()) {
      EXPECT_EQ(r.err, "") << "no progress line without a terminal";
    } else {
      EXPECT_TRUE(Has(r.err, c.err)) << r.err;
    }
    EXPECT_EQ(Log().size(), c.log_entries) << ReadFileBytes(run_.log_path());
    if (c.exit_status == 1) {
      EXPECT_TRUE(Has(r.err, Log().at(0).substr(22))) << "the log's line, told";
    }
  }
}

// A person at a terminal sees the progress, one line rewritten in place.
TEST_F(OperatorTest, OnATerminalOnceShowsItsProgress) {
  AddNotes(1, 3);
  LocalPlatform platform;
  Configure(platform);
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  UniqueFd master_fd(master);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  UniqueFd slave(::open(::ptsname(master), O_RDWR | O_NOCTTY));
  ASSERT_TRUE(slave.Valid());

  std::vector<std::string> words = {run_.executable(), "/ONCE"};
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_storage = {"TMPDIR=" + tmp_.path()};
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "TMPDIR=", 7) != 0) env_storage.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : env_storage) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, slave.Get(), STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  ASSERT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  slave.Reset();

  std::string seen;
  char buffer[512];
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 60000) != 1) break;
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // the child closed the terminal
    seen.append(buffer, static_cast<size_t>(n));
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0) << seen;
  for (int i = 1; i <= 3; ++i)
    EXPECT_TRUE(Has(seen, "\rEnviando documento " + std::to_string(i) + " de 3\u2026")) << seen;
}

// A datagram socket standing in for systemd's notification socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    bound_ = ::bind(fd_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~NotifySocket() { ::unlink(path_.c_str()); }
  bool bound() const { return bound_; }
  // Every datagram that arrived so far.
  std::vector<std::string> Drain() {
    std::vector<std::string> out;
    char buf[1024];
    for (;;) {
      pollfd p{fd_.Get(), POLLIN, 0};
      if (::poll(&p, 1, 0) != 1) break;
      const ssize_t n = ::recv(fd_.Get(), buf, sizeof buf, 0);
      if (n <= 0) break;
      out.emplace_back(buf, static_cast<size_t>(n));
    }
    return out;
  }

 private:
  std::string path_;
  UniqueFd fd_;
  bool bound_ = false;
};

// After each cycle the service tells the journal one line and systemd its status, with the time
// of the next cycle.
TEST_F(OperatorTest, TheServiceTellsTheJournalAndSystemdAfterEachCycle) {
  AddNotes(1, 1);
  LocalPlatform platform;
  // First a database that is not there, then the right one.
  fs::remove(run_.dir() + "Morvant.ini");
  run_.AppendIni("[Morvant]\r\nServidor=127.0.0.1\r\nCaminho=" + TestDatabaseFolder() +
                 "nao-existe.fdb\r\n" + platform.IniSection() + "IntervaloSegundos=1\r\n");
  NotifySocket notify(tmp_.path() + "notify");
  ASSERT_TRUE(notify.bound());
  auto env = Env();
  env["NOTIFY_SOCKET"] = tmp_.path() + "notify";
  Process service = run_.Start({}, env);
  std::vector<std::string> datagrams;
  const auto has_datagram = [&](const std::string& piece) {
    for (auto& d : notify.Drain()) datagrams.push_back(d);
    for (auto& d : datagrams)
      if (Has(d, piece)) return true;
    return false;
  };
  const auto wait = [&](const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(50ms);
    return done();
  };
  ASSERT_TRUE(wait([&] { return has_datagram("STATUS=Falha no último ciclo: Falha na conexão"); }))
      << service.Err();
  Configure(platform, "IntervaloSegundos=1\r\n");
  ASSERT_TRUE(wait([&] { return has_datagram("STATUS=Ciclo concluído: 1 enviado(s), 0 não enviado(s)."); }))
      << service.Err();
  service.Signal(SIGTERM);
  ASSERT_TRUE(service.WaitFor(60s));
  EXPECT_EQ(service.result().exit_status, 0);

  // Every status says when the next cycle comes, the first one from the start on.
  bool first = true;
  for (const auto& d : datagrams)
    if (d.starts_with("STATUS=")) {
      if (first) {
        EXPECT_TRUE(d.starts_with("STATUS=Próximo ciclo: ") &&
                    Has(d, " (o primeiro desde a partida, 1 s depois dela; os seguintes, 1 s depois do fim "
                           "de cada ciclo)."))
            << d;
      } else {
        EXPECT_TRUE(Has(d, " Próximo ciclo: ")) << d;
      }
      first = false;
    }
  EXPECT_FALSE(first) << "no status at all";
  const std::string err = service.result().err;
  EXPECT_TRUE(Has(err, "<3>Falha na conexão com o banco de dados: ")) << err;
  EXPECT_TRUE(Has(err, "<6>Ciclo concluído: 1 enviado(s), 0 não enviado(s).\n")) << err;
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);)
    EXPECT_TRUE(line.starts_with("<3>") || line.starts_with("<6>")) << line;
}

// "/VERIFICAR" shows what is in effect and checks the database and the platform, each saying OK or
// FALHOU with its cause.
TEST_F(OperatorTest, VerificarTestsTheConfiguration) {
  LocalPlatform platform;
  const std::string missing = TestDatabaseFolder() + "nao-existe.fdb";
  // `morvant` lines in the one [Morvant] section, `extra` ones after [Quirada].
  const auto configure_with = [&](const std::string& morvant, const std::string& extra) {
    fs::remove(run_.dir() + "Morvant.ini");
    db_.WriteIni(run_.dir());
    run_.AppendIni(morvant + platform.IniSection() + extra);
  };
  const struct {
    const char* what;
    std::function<void()> configure;
    int exit_status;
    std::vector<std::string> out;      // pieces of standard output, each expected
    std::vector<std::string> not_out;  // pieces that must not be there
  } cases[] = {
      {"a good configuration", [&] { Configure(platform); }, 0,
       {"Arquivo de configuração: " + run_.dir() + "Morvant.ini (lido em UTF-8)\n",
        "  [Morvant] Caminho = " + db_.path() + "\n",
        "  [Morvant] Senha = (não definida: as senhas internas do serviço)\n",
        "  [Quirada] ApiUrl = " + platform.Url() + "\n",
        "Banco de dados (127.0.0.1/3050:" + db_.path() + "): OK\n", "Plataforma, token de acesso: OK\n",
        "Plataforma, ativação da chave de autorização: OK\n",
        "Contabilidade: 12345678000190 - Escritório Contábil Demonstração\n",
        "Cliente: 98765432000110 - Comércio Exemplo Ltda\n"},
       {"AVISO"}},
      {"a missing database",
       [&] {
         fs::remove(run_.dir() + "Morvant.ini");
         run_.AppendIni("[Morvant]\r\nServidor=127.0.0.1\r\nCaminho=" + missing + "\r\n" + platform.IniSection());
       },
       1,
       {"Banco de dados (127.0.0.1/3050:" + missing + "): FALHOU: I/O error during \"open\" operation",
        "Plataforma, token de acesso: OK\n",
        "Plataforma, ativação da chave de autorização: FALHOU: depende do banco de dados, que falhou\n"},
       {"Contabilidade:"}},
      {"an unknown key and section, a repeated section, and a password readable by others",
       [&] {
         configure_with("Usuario=SYSDBA\r\nSenha=gizmor\r\n",
                        "Intervalo=5\r\n[Morvan]\r\nCaminho=x\r\n[MORVANT]\r\nCaminho=/nao/lido.fdb\r\n");
         ::chmod((run_.dir() + "Morvant.ini").c_str(), 0644);
       },
       0,
       {"AVISO: chave desconhecida \"Intervalo\" na seção [Quirada]",
        "AVISO: seção desconhecida [Morvan], chave \"Caminho\"",
        "AVISO: a seção [MORVANT] aparece mais de uma vez e só a primeira vale: a chave \"Caminho\" "
        "desta repetição não é lida\n",
        "  [Morvant] Senha = ********\n",
        "guarda a Senha do banco e pode ser lido pelo grupo ou por outros usuários",
        "Banco de dados (127.0.0.1/3050:" + db_.path() + "): OK\n"},
       {"gizmor", "/nao/lido.fdb"}},
      {"a Usuario without Senha, which the connection does not use",
       [&] { configure_with("Usuario=ERPUSER\r\n", ""); }, 0,
       {"  [Morvant] Usuario = ERPUSER (não vale sem Senha: o serviço conecta como SYSDBA)\n",
        "Banco de dados (127.0.0.1/3050:" + db_.path() + "): OK\n"},
       {}},
      {"an http:// endpoint",
       [&] {
         fs::remove(run_.dir() + "Morvant.ini");
         db_.WriteIni(run_.dir());
         run_.AppendIni("[Quirada]\r\nApiUrl=http://localhost:1\r\nAuthUrl=http://localhost:1\r\n");
       },
       1,
       {"AVISO: ApiUrl \"http://localhost:1\" não é um endereço https://host[:porta]\n",
        "AVISO: AuthUrl \"http://localhost:1\" não é um endereço https://host[:porta]\n",
        "Plataforma, token de acesso: FALHOU: Invalid URL: 'http://localhost:1'\n"},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(ServiceTokenFile(tmp_.path()));
    c.configure();
    const ProcessResult r = Run({"/VERIFICAR"});
    EXPECT_EQ(r.exit_status, c.exit_status) << r.out << r.err;
    for (const auto& piece : c.out) EXPECT_TRUE(Has(r.out, piece)) << piece << "\n--\n" << r.out;
    for (const auto& piece : c.not_out) EXPECT_FALSE(Has(r.out, piece)) << piece << "\n--\n" << r.out;
    EXPECT_FALSE(fs::exists(run_.log_path())) << "the test writes nothing to the service log";
  }
}

// The INI is read as UTF-8, as ISO-8859-1 or, with its byte-order mark, as UTF-16 (Notepad's
// "Unicode"), its values may be quoted, and a database path with accented letters reaches the
// server intact.
TEST_F(OperatorTest, AnAccentedDatabasePathAndQuotedValuesWorkInEveryEncoding) {
  AddNotes(1, 1);
  const std::string accented = TestDatabaseFolder() + "ação-" + std::to_string(::getpid()) + ".fdb";
  fs::remove(accented);
  fs::create_symlink(db_.path(), accented);
  LocalPlatform platform;
  const struct {
    const char* what;
    std::string ini_section;  // UTF-8 text, written in the encoding of the case
    std::function<std::string(const std::string&)> encode;
  } cases[] = {
      {"UTF-8 INI", "[Morvant]\r\nServidor=127.0.0.1\r\nCaminho=" + accented + "\r\n",
       [](const std::string& t) { return t; }},
      {"ISO-8859-1 INI", "[Morvant]\r\nServidor=127.0.0.1\r\nCaminho=" + accented + "\r\n", &Utf8ToLatin1},
      {"UTF-16 LE INI with its mark", "[Morvant]\r\nServidor=127.0.0.1\r\nCaminho=" + accented + "\r\n",
       [](const std::string& t) { return "\xFF\xFE" + Utf8ToUtf16(t, false); }},
      {"quoted values", "[Morvant]\r\nServidor=\"127.0.0.1\"\r\nCaminho= \"" + accented + "\" \r\n",
       &Utf8ToLatin1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    db_.Execute("DELETE FROM QUIRADA_ENVIOS_XML");
    fs::remove(ServiceTokenFile(tmp_.path()));
    const std::string text = c.ini_section + platform.IniSection();
    WriteFileBytes(run_.dir() + "Morvant.ini", c.encode(text));
    const ProcessResult r = Run({"/ONCE"});
    EXPECT_EQ(r.exit_status, 0) << r.err << ReadFileBytes(run_.log_path());
    EXPECT_EQ(db_.RegisterRows().size(), 1u);
  }
  fs::remove(accented);
}

TEST_F(OperatorTest, HelpAndVersionAnswerAndExitZero) {
  for (const char* help : {"--help", "-h", "/?", "/HELP"}) {
    const ProcessResult r = Run({help});
    EXPECT_EQ(r.exit_status, 0) << help;
    EXPECT_TRUE(Has(r.out, "Uso: QuiradaContabil")) << r.out;
    EXPECT_TRUE(Has(r.out, "Arquivo de configuração: " + run_.dir() + "Morvant.ini\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Log do serviço: " + run_.log_path() + "\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "QuiradaContabil " QUIRADA_VERSION "\n")) << r.out;
  }
  for (const char* version : {"--version", "/VERSION"}) {
    const ProcessResult r = Run({version});
    EXPECT_EQ(r.exit_status, 0) << version;
    EXPECT_EQ(r.out, "QuiradaContabil " QUIRADA_VERSION "\n");
  }
}

// A platform restarted with a new token store refuses the cached token: the cycle gets a new one
// and goes on, all in one run.
TEST_F(OperatorTest, ARefusedCachedTokenIsRenewedWithinTheCycle) {
  AddNotes(1, 1);
  {
    LocalPlatform before;
    Configure(before);
    ASSERT_EQ(Run({"/ONCE"}).exit_status, 0);
  }
  ASSERT_TRUE(fs::exists(ServiceTokenFile(tmp_.path()))) << "a token stays cached";
  AddNotes(2, 1);
  LocalPlatform restarted;
  Configure(restarted);
  const ProcessResult r = Run({"/ONCE"});
  EXPECT_EQ(r.exit_status, 0) << r.err << ReadFileBytes(run_.log_path());
  EXPECT_EQ(r.out, "Ciclo concluído: 1 enviado(s), 0 não enviado(s).\n");
  std::vector<std::string> seen;
  for (auto& e : restarted.Entries()) {
    const bool status_query = e["path"].starts_with(kBatchStatusPath);
    seen.push_back(e["method"] + " " + (status_query ? kBatchStatusPath + std::string("<id>") : e["path"]) +
                   " " + e["status"]);
  }
  const std::string upload = std::string("POST ") + kBatchesPath;
  EXPECT_EQ(seen, (std::vector<std::string>{upload + " 401", std::string("POST ") + kTokenPath + " 200",
                                            upload + " 201",
                                            std::string("GET ") + kBatchStatusPath + "<id> 200"}));
  EXPECT_EQ(db_.RegisterRows().size(), 2u);
}

}  // namespace
}  // namespace quirada::testing
