// The service in an operator's and a hostile local user's hands: the real executable, the real
// Firebird server and the local platform over TLS, each attack with the fixture that shows it.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform_client/wire.h"
#include "base/text.h"
#include "testing/erp_database.h"
#include "testing/executable_test.h"
#include "testing/local_platform.h"
#include "testing/service_process.h"

namespace quirada::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool Has(const std::string& text, const std::string& piece) {
  return text.find(piece) != std::string::npos;
}

size_t CountLinesWith(const std::vector<std::string>& lines, const std::string& needle) {
  size_t n = 0;
  for (const auto& line : lines) n += line.find(needle) != std::string::npos;
  return n;
}

// The service log's lines as UTF-8 (the log is written in ISO-8859-1).
std::vector<std::string> LogLines(const RunFolder& run) {
  std::vector<std::string> lines = run.LogLines();
  for (auto& line : lines) line = Latin1ToUtf8(line);
  return lines;
}

class SafetyTest : public ExecutableTest {
 protected:
  ProcessResult RunOnce() { return run_.Run({"/ONCE"}, Env()); }
  std::string PrivateFolder() const { return tmp_.path() + "quirada-" + std::to_string(::geteuid()); }

  // Every upload's file name, counted.
  static std::map<std::string, int> UploadsPerFile(const LocalPlatform& platform) {
    std::map<std::string, int> files;
    for (auto& e : platform.Uploads()) ++files[e["file"]];
    return files;
  }
};

// An operator's "/ONCE" while another cycle runs does nothing but say so; a service tick that
// finds the folder busy waits for its next period. Every document goes out once.
TEST_F(SafetyTest, OneCycleAtATimePerServiceFolder) {
  constexpr int kDocuments = 120;
  AddNotes(1, kDocuments);
  LocalPlatform platform({}, {"--answer-delay-ms", "15"});
  Configure(platform, "IntervaloSegundos=1\r\n");

  Process first = run_.Start({"/ONCE"}, Env());
  const std::string lock = run_.dir() + "QuiradaContabil.lock";
  ASSERT_TRUE(WaitUntil([&] { return !platform.Uploads().empty(); }, 60s)) << first.Err();
  EXPECT_EQ(ReadFileBytes(lock), std::to_string(first.pid()) + "\n");

  const ProcessResult second = RunOnce();
  EXPECT_EQ(second.exit_status, 75) << second.err;
  EXPECT_NE(second.err.find("processo " + std::to_string(first.pid())), std::string::npos) << second.err;

  Process service = run_.Start({}, Env());
  ASSERT_TRUE(WaitUntil([&] { return CountLinesWith(LogLines(run_), "outro ciclo") >= 1; }, 30s))
      << "the service's tick says it found the folder busy: " << service.Err();

  ASSERT_TRUE(first.WaitFor(120s));
  EXPECT_EQ(first.result().exit_status, 0) << first.result().err;
  // The service's next tick finds nothing left to send.
  const size_t uploads = platform.Uploads().size();
  std::this_thread::sleep_for(2500ms);
  service.Signal(SIGTERM);
  ASSERT_TRUE(service.WaitFor(60s));
  EXPECT_EQ(service.result().exit_status, 0);

  EXPECT_EQ(platform.Uploads().size(), uploads);
  const auto files = UploadsPerFile(platform);
  EXPECT_EQ(files.size(), static_cast<size_t>(kDocuments));
  for (const auto& [file, count] : files) EXPECT_EQ(count, 1) << file;
  EXPECT_EQ(db_.RegisterRows().size(), static_cast<size_t>(kDocuments));
  for (const auto& line : LogLines(run_)) EXPECT_NE(line.find("outro ciclo"), std::string::npos) << line;
}

// A stop request ends the cycle within seconds, an exchange with the platform in progress
// included: the document in hand is not recorded (the platform may have it: it is offered again),
// no XML file stays behind, "/ONCE" says it was interrupted, and the process exits 0.
TEST_F(SafetyTest, AStopRequestEndsTheCycleWithinSeconds) {
  const struct {
    const char* what;
    std::vector<std::string> args;
    int signal_number;
  } cases[] = {
      {"SIGTERM to /ONCE", {"/ONCE"}, SIGTERM},
      {"SIGHUP to /ONCE", {"/ONCE"}, SIGHUP},
      {"SIGINT to /ONCE", {"/ONCE"}, SIGINT},
      {"SIGTERM to the service", {}, SIGTERM},
      {"SIGHUP to the service", {}, SIGHUP},
  };
  constexpr int kDocuments = 60;
  AddNotes(1, kDocuments);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    db_.Execute("DELETE FROM QUIRADA_ENVIOS_XML");
    LocalPlatform platform({}, {"--answer-delay-ms", "40"});
    fs::remove(ServiceTokenFile(tmp_.path()));
    Configure(platform);
    Process p = run_.Start(c.args, Env());
    ASSERT_TRUE(WaitUntil([&] { return platform.StatusQueries().size() >= 3; }, 60s)) << p.Err();
    p.Signal(c.signal_number);
    ASSERT_TRUE(p.WaitFor(15s)) << "the exchange in progress is cut, then the process ends";
    EXPECT_EQ(p.result().exit_status, 0) << p.result().err;

    const auto rows = db_.RegisterRows();
    EXPECT_LT(rows.size(), static_cast<size_t>(kDocuments));
    // Every row stands on a batch the platform created and reported; at most the document in hand
    // went up without its row.
    EXPECT_LE(rows.size(), platform.StatusQueries().size());
    EXPECT_LE(platform.Uploads().size(), rows.size() + 1);
    for (const auto& entry : fs::directory_iterator(run_.dir()))
      EXPECT_NE(entry.path().extension(), ".xml") << entry.path();
    EXPECT_TRUE(LogLines(run_).empty()) << ReadFileBytes(run_.log_path());
    if (c.args.empty()) continue;
    EXPECT_EQ(p.result().out, "Ciclo interrompido por pedido de parada: " + std::to_string(rows.size()) +
                                  " enviado(s), " + std::to_string(kDocuments - rows.size()) +
                                  " não enviado(s).\n");
  }
}

// The token file lives in a folder no other local user can read or plant files in; whatever is
// there that is no token file of the service's own user is never sent.
TEST_F(SafetyTest, NoRequestEverCarriesATokenFromOutsideTheServicesPrivateFolder) {
  AddNotes(1, 2);
  const std::string planted = "access_token=PLANTED\r\ndata=01/01/2099\r\nhora=00:00:00\r\n"
                              "ExpiraData=01/01/2099 00:00:00\r\nintegrationKey=OUTRA\r\n";
  const bool root = ::geteuid() == 0;
  const struct {
    const char* what;
    std::function<void(const std::string& folder)> plant;
    bool refused;  // the cycle fails before any request, naming the folder
  } cases[] = {
      {"a token in the shared temporary folder",
       [&](const std::string&) { WriteFileBytes(tmp_.path() + "token.dm", planted); }, false},
      {"a private folder others can read",
       [&](const std::string& f) { fs::create_directory(f); ::chmod(f.c_str(), 0755); }, true},
      {"a private folder of another user",
       [&](const std::string& f) {
         fs::create_directory(f);
         ::chmod(f.c_str(), 0700);
         if (root) {
           ASSERT_EQ(::chown(f.c_str(), 65534, 65534), 0);
         }
       },
       root},
      {"another user's token file in the private folder",
       [&](const std::string& f) {
         fs::create_directory(f);
         ::chmod(f.c_str(), 0700);
         WriteFileBytes(f + "/token.dm", planted);
         if (root) {
           ASSERT_EQ(::chown((f + "/token.dm").c_str(), 65534, 65534), 0);
         }
       },
       false},
      {"a link to a planted token",
       [&](const std::string& f) {
         WriteFileBytes(tmp_.path() + "planted", planted);
         fs::create_directory(f);
         ::chmod(f.c_str(), 0700);
         fs::create_symlink(tmp_.path() + "planted", f + "/token.dm");
       },
       false},
      {"a FIFO", [&](const std::string& f) {
         fs::create_directory(f);
         ::chmod(f.c_str(), 0700);
         ASSERT_EQ(::mkfifo((f + "/token.dm").c_str(), 0600), 0);
       }, false},
      {"a 2 GB sparse token file", [&](const std::string& f) {
         fs::create_directory(f);
         ::chmod(f.c_str(), 0700);
         WriteFileBytes(f + "/token.dm", planted);
         fs::resize_file(f + "/token.dm", 2ULL << 30);
       }, false},
      {"a folder named token.dm",
       [&](const std::string& f) { fs::create_directories(f + "/token.dm/inside"); ::chmod(f.c_str(), 0700); },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    db_.Execute("DELETE FROM QUIRADA_ENVIOS_XML");
    fs::remove_all(PrivateFolder());
    fs::remove(tmp_.path() + "token.dm");
    LocalPlatform platform;
    Configure(platform);
    fs::remove(run_.log_path());
    c.plant(PrivateFolder());
    const ProcessResult r = RunOnce();
    if (c.refused) {
      EXPECT_EQ(r.exit_status, 1);
      EXPECT_TRUE(platform.Journal().empty()) << "no request at all";
      const auto log = LogLines(run_);
      ASSERT_EQ(log.size(), 1u) << ReadFileBytes(run_.log_path());
      EXPECT_NE(log[0].find("\"" + PrivateFolder() + "\""), std::string::npos) << log[0];
    } else {
      // A request with the planted token would be refused by the platform (401).
      EXPECT_EQ(r.exit_status, 0) << ReadFileBytes(run_.log_path());
      EXPECT_EQ(platform.JournalWith(kTokenPath).size(), 1u);
      EXPECT_EQ(db_.RegisterRows().size(), 2u);
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(ServiceTokenFile(tmp_.path()))));
    }
  }
}

// A document without XML is never recorded as sent; the others go on.
TEST_F(SafetyTest, ADocumentWithoutXmlIsLoggedAndNeverRecorded) {
  AddNotes(1, 4);
  db_.Execute("UPDATE NOTASENTRADASESAIDAS SET XMLNFE = NULL WHERE SEQUENCIAL = 2");
  db_.Execute("UPDATE NOTASENTRADASESAIDAS SET XMLNFE = '' WHERE SEQUENCIAL = 3");
  LocalPlatform platform;
  Configure(platform);
  const ProcessResult r = RunOnce();
  EXPECT_NE(r.exit_status, 1) << r.err;
  EXPECT_EQ(UploadsPerFile(platform).size(), 2u);
  std::set<long long> recorded;
  for (const auto& row : db_.RegisterRows()) recorded.insert(row.sequencial);
  EXPECT_EQ(recorded, (std::set<long long>{1, 4}));
  const auto log = LogLines(run_);
  ASSERT_EQ(log.size(), 2u) << ReadFileBytes(run_.log_path());
  for (long long seq : {2, 3})
    EXPECT_EQ(CountLinesWith(log, "Documento " + DocumentKey(seq) + " sem XML no banco de dados: não enviado"), 1u);
}

// What the platform sends cannot forge a log line, and the log stays the file it was: its link,
// its mode.
TEST_F(SafetyTest, ThePlatformCannotForgeALogLineAndTheLogKeepsItsLinkAndMode) {
  AddNotes(1, 1);
  TempFolder elsewhere;
  const std::string target = elsewhere.path() + "real.log";
  WriteFileBytes(target, "01/12/2026 10:00:00 - antes\r\n");
  ::chmod(target.c_str(), 0640);
  fs::create_symlink(target, run_.log_path());
  LocalPlatform platform({"upload:*=forge"});
  Configure(platform);
  RunOnce();

  EXPECT_TRUE(fs::is_symlink(run_.log_path()));
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  const auto log = LogLines(run_);
  ASSERT_EQ(log.size(), 3u) << ReadFileBytes(target);
  EXPECT_NE(log[1].find("recusado pela plataforma: Lote recusado"), std::string::npos) << log[1];
  EXPECT_EQ(log[2], "  09/12/2025 14:05:33 - linha forjada") << "a continuation, never a stamped line";
  EXPECT_TRUE(db_.RegisterRows().empty());
}

// Answers too large for any platform end the operation; batch ids are recorded whole or refused,
// and never leave their place in the status query's path.
TEST_F(SafetyTest, HostileAnswersAndBatchIdsAreBoundedAndEscaped) {
  const std::string too_long(65, 'a');  // ID_ENVIO holds 64
  const struct {
    const char* what;
    std::string rule;
    std::string recorded_id;  // the register's ID_ENVIO when recorded, "" when not
    std::string logged;       // a piece of the one log line, "" for none
    std::string status_id;    // then: the id as the status query's path carries it
  } cases[] = {
      {"a 100 MB answer", "upload:*=huge", "", "larger than 1048576 bytes", ""},
      {"an id that climbs out of its path", "upload:*=id:../../admin?x#", "../../admin?x#", "",
       "..%2F..%2Fadmin%3Fx%23"},
      // Recorded cut to the column, as the register always cut a long text; the log has it whole.
      {"an id longer than ID_ENVIO", "upload:*=id:" + too_long, too_long.substr(0, 64),
       "\"" + too_long + "\"", too_long},
      {"an id of two dots", "upload:*=id:..", "", "identificador inválido", ""},
      {"an id with a control character", "upload:*=id:lote\x01", "", "identificador inválido", ""},
  };
  AddNotes(1, 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    db_.Execute("DELETE FROM QUIRADA_ENVIOS_XML");
    fs::remove(run_.log_path());
    fs::remove(ServiceTokenFile(tmp_.path()));
    LocalPlatform platform({c.rule});
    Configure(platform);
    const ProcessResult r = RunOnce();
    const auto rows = db_.RegisterRows();
    const auto log = LogLines(run_);
    for (const auto& e : platform.Entries())
      EXPECT_EQ(e.at("path").find("/admin"), std::string::npos) << e.at("path");
    if (!c.recorded_id.empty()) {
      EXPECT_EQ(r.exit_status, c.logged.empty() ? 0 : 3) << ReadFileBytes(run_.log_path());
      ASSERT_EQ(rows.size(), 1u);
      EXPECT_EQ(rows[0].id_envio, c.recorded_id);
      ASSERT_EQ(platform.StatusQueries().size(), 1u);
      EXPECT_EQ(platform.StatusQueries()[0]["path"], kBatchStatusPath + c.status_id);
    } else {
      EXPECT_EQ(r.exit_status, 1);
      EXPECT_TRUE(rows.empty());
      EXPECT_TRUE(platform.StatusQueries().empty());
    }
    if (c.logged.empty()) {
      EXPECT_TRUE(log.empty()) << ReadFileBytes(run_.log_path());
    } else {
      ASSERT_EQ(log.size(), 1u) << ReadFileBytes(run_.log_path());
      EXPECT_NE(log[0].find(c.logged), std::string::npos) << log[0];
      EXPECT_LT(ReadFileBytes(run_.log_path()).size(), 10000u);
    }
  }
}

// A register write that fails after the platform accepted the document ends the cycle with one
// line naming the document and its batch; the document is sent again next cycle.
TEST_F(SafetyTest, ARegisterWriteThatFailsNamesTheDocumentAndItsBatch) {
  AddNotes(1, 1);
  db_.Execute("CREATE EXCEPTION E_REGISTRO 'registro recusado pelo ERP'");
  db_.Execute("CREATE TRIGGER T_REGISTRO FOR QUIRADA_ENVIOS_XML BEFORE INSERT AS BEGIN "
              "EXCEPTION E_REGISTRO; END");
  LocalPlatform platform;
  Configure(platform);
  EXPECT_EQ(RunOnce().exit_status, 1);
  const auto uploads = platform.Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  const auto log = LogLines(run_);
  ASSERT_GE(log.size(), 1u);
  EXPECT_NE(log[0].find("Documento " + DocumentKey(1) + " aceito pela plataforma (lote " +
                        uploads[0].at("batch") + ")"),
            std::string::npos) << log[0];
  EXPECT_EQ(CountLinesWith(log, "registro recusado pelo ERP"), 1u) << ReadFileBytes(run_.log_path());

  db_.Execute("DROP TRIGGER T_REGISTRO");
  EXPECT_EQ(RunOnce().exit_status, 0);
  EXPECT_EQ(db_.RegisterRows().size(), 1u);
  EXPECT_EQ(platform.Uploads().size(), 2u) << "sent again, once";
}

// Files that would never end (a FIFO, a device) fail at once, naming themselves.
TEST_F(SafetyTest, AnIniOrCaFileThatIsNoPlainFileFailsAtOnce) {
  AddNotes(1, 1);
  LocalPlatform platform;
  const struct {
    const char* what;
    std::function<std::string()> make;  // returns the path the failure names
  } cases[] = {
      {"an INI linked to /dev/zero",
       [&] {
         fs::remove(run_.dir() + "Morvant.ini");
         fs::create_symlink("/dev/zero", run_.dir() + "Morvant.ini");
         return run_.dir() + "Morvant.ini";
       }},
      {"a CAFile that is a FIFO",
       [&] {
         const std::string fifo = tmp_.path() + "ca.fifo";
         ::mkfifo(fifo.c_str(), 0600);
         fs::remove(run_.dir() + "Morvant.ini");
         db_.WriteIni(run_.dir());
         run_.AppendIni("[Quirada]\r\nApiUrl=" + platform.Url() + "\r\nAuthUrl=" + platform.Url() +
                        "\r\nCAFile=" + fifo + "\r\n");
         return fifo;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(run_.log_path());
    const std::string named = c.make();
    const ProcessResult r = run_.Run({"/ONCE"}, Env(), 60s);
    EXPECT_EQ(r.exit_status, 1);
    const auto log = LogLines(run_);
    ASSERT_EQ(log.size(), 1u) << ReadFileBytes(run_.log_path()) << r.err;
    EXPECT_NE(log[0].find("\"" + named + "\""), std::string::npos) << log[0];
    EXPECT_TRUE(db_.RegisterRows().empty());
  }
}

// ---------------------------------------------------------------------------------------------
// A careless host: a service folder others may change, files that are not what they seem, a stop
// at any moment, a log of any size, hostile text on the operator's terminal.

// The mode bits of what `path` names itself (a link's own, not its target's).
unsigned ModeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFFFFFFu;
}

ino_t InodeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A folder another user may write is refused before anything is written in it: whatever link they
// planted as the lock, the log or a document's XML file, its victim is left untouched. "/ONCE"
// says why on standard error and exits 1, "/VERIFICAR" says FALHOU, a service tick writes one line
// (to the journal when the log itself is the planted link). In a folder only its owner may write,
// the owner's link to the log stays honoured.
TEST_F(SafetyTest, AFolderOthersMayWriteIsRefusedAndNoPlantedLinkIsFollowed) {
  AddNotes(1, 1);
  db_.Execute("UPDATE NOTASENTRADASESAIDAS SET XMLNFE = NULL");  // so that a cycle logs a line
  AddNotes(2, 1);
  TempFolder elsewhere;
  const std::string victim = elsewhere.path() + "victim";
  const struct {
    const char* what;
    std::string name;  // the name the link takes in the run folder
    unsigned folder_mode;
    bool service;  // a service tick rather than "/ONCE"
  } cases[] = {
      {"the lock, folder writable by all", "QuiradaContabil.lock", 0777, false},
      {"the log, folder writable by its group", "QuiradaContabil.log", 0775, false},
      {"an XML file's name", DocumentNumber(2) + ".xml", 0777, false},
      {"the log, under the service", "QuiradaContabil.log", 0777, true},
      {"the lock, under the service", "QuiradaContabil.lock", 0777, true},
      {"the log, folder only its owner writes", "QuiradaContabil.log", 0700, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    db_.Execute("DELETE FROM QUIRADA_ENVIOS_XML");
    for (const char* name : {"QuiradaContabil.lock", "QuiradaContabil.log"}) fs::remove(run_.dir() + name);
    fs::remove(run_.dir() + DocumentNumber(2) + ".xml");
    WriteFileBytes(victim, "vítima\r\n");
    ::chmod(victim.c_str(), 0644);
    fs::create_symlink(victim, run_.dir() + c.name);
    LocalPlatform platform;
    Configure(platform, "IntervaloSegundos=1\r\n");
    ::chmod(run_.dir().c_str(), c.folder_mode);
    const bool trusted = c.folder_mode == 0700;

    std::string out, err;
    if (c.service) {
      Process service = run_.Start({}, Env());
      const auto told = [&] {
        return service.Err().find("não confiável") != std::string::npos &&
               (fs::is_symlink(run_.log_path()) || !LogLines(run_).empty());
      };
      ASSERT_TRUE(WaitUntil(told, 30s)) << service.Err();
      service.Signal(SIGTERM);
      ASSERT_TRUE(service.WaitFor(15s));
      EXPECT_EQ(service.result().exit_status, 0);
      err = service.result().err;
    } else {
      const ProcessResult r = RunOnce();
      EXPECT_EQ(r.exit_status, trusted ? 3 : 1) << r.err;
      out = r.out;
      err = r.err;
      const ProcessResult v = run_.Run({"/VERIFICAR"}, Env());
      EXPECT_EQ(v.exit_status, trusted ? 0 : 1) << v.out;
      EXPECT_TRUE(Has(v.out, "Pasta do serviço (" + run_.dir() + "): " +
                                 (trusted ? "OK" : "FALHOU: Pasta do serviço não confiável")))
          << v.out;
      // The folder alone, as the Windows installer asks of its target: the same verdict.
      for (const std::vector<std::string>& args :
           {std::vector<std::string>{"/VERIFICARPASTA"},
            std::vector<std::string>{"/VERIFICARPASTA", run_.dir()}}) {
        const ProcessResult p = run_.Run(args, Env());
        EXPECT_EQ(p.exit_status, trusted ? 0 : 1) << p.out;
        EXPECT_TRUE(Has(p.out, "Pasta do serviço (" + run_.dir() + "): " +
                                   (trusted ? "OK" : "FALHOU: Pasta do serviço não confiável")))
            << p.out;
      }
    }
    ::chmod(run_.dir().c_str(), 0700);
    EXPECT_TRUE(fs::is_symlink(run_.dir() + c.name)) << "left where it was";
    if (trusted) {
      EXPECT_EQ(CountLinesWith(LogLines(run_), "sem XML no banco de dados"), 1u)
          << "the owner's link is honoured: the line is in its target";
      EXPECT_TRUE(ReadFileBytes(victim).starts_with("vítima\r\n"));
      EXPECT_EQ(db_.RegisterRows().size(), 1u);
      continue;
    }
    EXPECT_EQ(ReadFileBytes(victim), "vítima\r\n") << "the victim is untouched";
    EXPECT_EQ(ModeOf(victim), 0644u);
    EXPECT_TRUE(platform.Uploads().empty()) << "nothing was sent";
    EXPECT_TRUE(db_.RegisterRows().empty());
    EXPECT_EQ(out, "");
    // Who may write the folder, and how to mend it: in the log when the log is no planted link.
    const std::string mend = c.folder_mode == 0775 ? "chmod g-w" : "chmod go-w";
    const std::string told = c.service && c.name == "QuiradaContabil.lock"
                                 ? Latin1ToUtf8(ReadFileBytes(run_.log_path()))
                                 : err;
    EXPECT_TRUE(Has(told, "Pasta do serviço não confiável")) << told;
    EXPECT_TRUE(Has(told, mend + " \"" + run_.dir().substr(0, run_.dir().size() - 1) + "\"")) << told;
    if (c.service && c.name == "QuiradaContabil.log") {
      EXPECT_TRUE(Has(err, "link simbólico")) << "the log's own refusal, told to the journal: " << err;
    }
  }
}

// "/INSTALL" writes no unit that would run the service in a folder others may write.
TEST_F(SafetyTest, InstallRefusesAFolderOthersMayWrite) {
  // Not under /tmp, which the unit's sandbox hides (refused for that reason first).
  InstallFolder place;
  if (!place.usable()) GTEST_SKIP() << "no folder to install from: " << place.why();
  const std::string folder = place.path() + "programa";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  const std::string units = tmp_.path() + "units/";
  fs::create_directory(units);
  fs::copy_file(BuiltExecutable(), folder + "/QuiradaContabil");
  ::chmod(folder.c_str(), 0777);
  Process p = StartProcess(folder + "/QuiradaContabil", {"/INSTALL"}, {{"QUIRADA_SYSTEMD_DIR", units}},
                           tmp_.path() + "install");
  ASSERT_TRUE(p.WaitFor(60s));
  EXPECT_EQ(p.result().exit_status, 1);
  EXPECT_TRUE(Has(p.result().err, "Falha ao instalar o serviço \"SrvQuirada\" com erro: \"Pasta do serviço "
                                  "não confiável")) << p.result().err;
  EXPECT_TRUE(Has(p.result().err, "chmod go-w \"" + folder + "\"")) << p.result().err;
  EXPECT_TRUE(fs::is_empty(units)) << "no unit written";
}

// A lock held by a process of another user (any user could, while the lock file was 0644): the
// message says the process it names is not running, that the holder is no cycle of this program,
// and how to find it. The lock file is private afterwards.
TEST_F(SafetyTest, ALockHeldByAnotherUsersProcessIsToldForWhatItIs) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can run a process as another user";
  AddNotes(1, 1);
  LocalPlatform platform;
  Configure(platform, "IntervaloSegundos=1\r\n");
  // A process id that is no longer running: a child that has ended.
  const pid_t gone = ::fork();
  if (gone == 0) std::_Exit(0);
  ::waitpid(gone, nullptr, 0);
  const std::string lock = run_.dir() + "QuiradaContabil.lock";
  WriteFileBytes(lock, std::to_string(gone) + "\n");
  ::chmod(lock.c_str(), 0644);
  ::chmod(run_.dir().c_str(), 0711);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    ::close(ready[0]);
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) std::_Exit(3);
    const int fd = ::open(lock.c_str(), O_RDONLY);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) std::_Exit(4);
    if (::write(ready[1], "x", 1) != 1) std::_Exit(5);
    ::pause();
    std::_Exit(0);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the other user's process holds the lock";
  ::close(ready[0]);

  const ProcessResult r = RunOnce();
  Process service = run_.Start({}, Env());
  const bool logged = WaitUntil([&] { return !LogLines(run_).empty(); }, 30s);
  service.Signal(SIGTERM);
  service.WaitFor(15s);
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ::chmod(run_.dir().c_str(), 0700);

  EXPECT_EQ(r.exit_status, 75) << r.err;
  ASSERT_TRUE(logged) << service.Err();
  for (const std::string& told : {r.err, LogLines(run_).at(0)}) {
    EXPECT_TRUE(Has(told, "o processo " + std::to_string(gone) + ", que ela registra, não está em execução"))
        << told;
    EXPECT_TRUE(Has(told, "outro processo, que não é um ciclo deste programa")) << told;
    EXPECT_TRUE(Has(told, "fuser -v \"" + lock + "\"")) << told;
  }
  EXPECT_EQ(ModeOf(lock), 0600u) << "narrowed: no other user opens it again";
  EXPECT_TRUE(platform.Journal().empty());
}

// "/ONCE" run once as root, then the program as its own user: the lock and the log root left
// behind are named with their owner and the chown that mends them.
TEST_F(SafetyTest, AFileAnotherUserLeftBehindIsNamedWithItsOwnerAndTheChown) {
  const std::string setpriv = "/usr/bin/setpriv";
  if (::geteuid() != 0 || ::access(setpriv.c_str(), X_OK) != 0)
    GTEST_SKIP() << "needs root and setpriv to run the program as another user";
  AddNotes(1, 1);
  db_.Execute("UPDATE NOTASENTRADASESAIDAS SET XMLNFE = NULL");  // the cycle logs a line
  LocalPlatform platform;
  Configure(platform);
  ASSERT_EQ(RunOnce().exit_status, 3);
  ASSERT_EQ(::chown(run_.dir().c_str(), 65534, 65534), 0);  // the service's own user's folder
  Process p = StartProcess(setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups", run_.executable(), "/ONCE"},
                           Env(), tmp_.path() + "as-nobody");
  ASSERT_TRUE(p.WaitFor(60s));
  ::chown(run_.dir().c_str(), 0, 0);
  EXPECT_EQ(p.result().exit_status, 1);
  const std::string& err = p.result().err;
  for (const std::string name : {"QuiradaContabil.lock", "QuiradaContabil.log"}) {
    const std::string path = "\"" + run_.dir() + name + "\"";
    EXPECT_TRUE(Has(err, "Cannot open file " + path + ". Permission denied: o arquivo " + path +
                             " pertence a root (uid 0), e o programa roda como nobody (uid 65534): "
                             "corrija com chown nobody " + path))
        << err;
  }
}

// A FIFO where the log goes is refused at once, naming it; the cycle never waits on it.
TEST_F(SafetyTest, AFifoLogIsRefusedAtOnce) {
  AddNotes(1, 1);
  db_.Execute("UPDATE NOTASENTRADASESAIDAS SET XMLNFE = NULL");  // the cycle has a line to log
  LocalPlatform platform;
  Configure(platform);
  ASSERT_EQ(::mkfifo(run_.log_path().c_str(), 0600), 0);
  const ProcessResult r = run_.Run({"/ONCE"}, Env(), 30s);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(Has(r.err, "\"" + run_.log_path() + "\" é uma FIFO, não um arquivo comum")) << r.err;
  EXPECT_TRUE(db_.RegisterRows().empty());
}

// A stop request during an exchange that never ends (the platform went silent) is obeyed within
// seconds, long before the 120 s stall limit: exit 0, nothing recorded for the unanswered document,
// no XML file left, and "/ONCE" says the cycle was interrupted.
TEST_F(SafetyTest, AStopDuringAStalledExchangeEndsTheProcessWithinFiveSeconds) {
  AddNotes(1, 1);
  const struct {
    const char* what;
    std::string rule;
    std::string path;  // of the request that stalls
    std::vector<std::string> args;
  } cases[] = {
      {"a stalled token request, /ONCE", "token:*=stall", kTokenPath, {"/ONCE"}},
      {"a stalled upload, /ONCE", "upload:*=stall", kBatchesPath, {"/ONCE"}},
      {"a stalled token request, the service", "token:*=stall", kTokenPath, {}},
      {"a stalled upload, the service", "upload:*=stall", kBatchesPath, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(ServiceTokenFile(tmp_.path()));
    LocalPlatform platform({c.rule});
    Configure(platform);
    Process p = run_.Start(c.args, Env());
    ASSERT_TRUE(WaitUntil([&] { return !platform.JournalWith("\"" + c.path + "\"").empty(); }, 60s))
        << p.Err();
    std::this_thread::sleep_for(500ms);  // well inside the exchange
    p.Signal(SIGTERM);
    ASSERT_TRUE(p.WaitFor(5s)) << "still running 5 s after the stop request";
    EXPECT_EQ(p.result().exit_status, 0) << p.result().err;
    EXPECT_TRUE(db_.RegisterRows().empty());
    EXPECT_FALSE(fs::exists(run_.dir() + DocumentNumber(1) + ".xml"));
    EXPECT_TRUE(LogLines(run_).empty()) << ReadFileBytes(run_.log_path());
    if (!c.args.empty()) {
      EXPECT_EQ(p.result().out, "Ciclo interrompido por pedido de parada: 0 enviado(s), 1 não enviado(s).\n");
    }
  }
}

// The log is only appended to: one with no CR LF at its end stays the same file and gets one line
// (after a CR LF); a 300 MB one is never read into memory.
TEST_F(SafetyTest, TheLogIsOnlyAppendedToWhateverItsSizeAndEnd) {
  AddNotes(1, 1);
  db_.Execute("UPDATE NOTASENTRADASESAIDAS SET XMLNFE = NULL");  // the cycle logs one line
  LocalPlatform platform;
  Configure(platform);
  const std::string line = "Documento " + DocumentKey(1) + " sem XML no banco de dados: não enviado";
  const struct {
    const char* what;
    uint64_t hole;     // zero bytes before the last line (a sparse file: nothing to write)
    std::string last;  // the last line, without CR LF
  } cases[] = {
      {"a log whose lines end in LF", 0, "01/12/2026 10:00:00 - antes\n02/12/2026 10:00:00 - sem CR LF"},
      {"a 300 MB log", 300ULL << 20, "\n01/12/2026 10:00:00 - fim"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(run_.log_path());
    WriteFileBytes(run_.log_path(), "");
    fs::resize_file(run_.log_path(), c.hole);
    {
      std::ofstream log(run_.log_path(), std::ios::binary | std::ios::app);
      log << c.last;
    }
    const ino_t inode = InodeOf(run_.log_path());
    const uint64_t size = fs::file_size(run_.log_path());
    const ProcessResult r = RunOnce();
    EXPECT_EQ(r.exit_status, 3) << r.err;
    EXPECT_EQ(InodeOf(run_.log_path()), inode);
    const uint64_t added = fs::file_size(run_.log_path()) - size;
    std::ifstream log(run_.log_path(), std::ios::binary);
    log.seekg(static_cast<std::streamoff>(size - c.last.size()));
    std::string end(c.last.size() + added, '\0');
    log.read(end.data(), static_cast<std::streamsize>(end.size()));
    ASSERT_EQ(end.substr(0, c.last.size() + 2), c.last + "\r\n");
    EXPECT_EQ(Latin1ToUtf8(end.substr(c.last.size() + 2 + 22)), line + "\r\n") << "one stamped line";
    EXPECT_LT(r.max_rss_kb, 200 * 1024) << "peak memory flat, whatever the log's size";
  }
}

// A key holding terminal escapes reaches "/PENDING"'s output without a control character; a
// document without XML is marked as one the cycle will not send.
TEST_F(SafetyTest, PendingShowsNoControlCharacterFromTheDatabase) {
  const std::string hostile = "NFe\x1B]0;dono\x07\x1B[2J\r\xC2\x9B" "31m1";
  db_.InsertNote({.sequencial = 1, .chave = hostile, .xml = "<NFe/>", .data = today_, .modelo = "65"});
  db_.InsertNote({.sequencial = 2, .chave = DocumentKey(2), .xml = "", .data = today_, .modelo = "65"});
  LocalPlatform platform;
  Configure(platform);
  const ProcessResult r = run_.Run({"/PENDING"}, Env());
  EXPECT_EQ(r.exit_status, 0) << r.err;
  for (size_t i = 0; i < r.out.size(); ++i) {
    const auto c = static_cast<unsigned char>(r.out[i]);
    EXPECT_TRUE(c >= 0x20 || c == '\n') << "control byte " << int(c) << " at " << i;
    EXPECT_NE(c, 0x7F);
    if (c == 0xC2 && i + 1 < r.out.size()) {
      EXPECT_FALSE(static_cast<unsigned char>(r.out[i + 1]) <= 0x9F) << "a C1 control at " << i;
    }
  }
  EXPECT_TRUE(Has(r.out, "1 N NFe ]0;dono  [2J  31m1 8\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "2 N " + DocumentKey(2) + " sem XML: não será enviado\n")) << r.out;
}

// "/VERIFICAR" asks the configured AuthUrl for a token whatever the cache holds: a dead AuthUrl
// fails the token line, and the cached token stays as it was. A private token folder that is
// refused fails the token and the activation lines with its message (no other host, no other
// token file is tried).
TEST_F(SafetyTest, VerificarAsksTheConfiguredAuthUrlAndNoOtherTokenFolder) {
  LocalPlatform platform;
  Configure(platform);
  ASSERT_EQ(run_.Run({"/VERIFICAR"}, Env()).exit_status, 0) << "a good configuration caches a token";
  const std::string cached = ReadFileBytes(ServiceTokenFile(tmp_.path()));
  ASSERT_FALSE(cached.empty());

  fs::remove(run_.dir() + "Morvant.ini");
  db_.WriteIni(run_.dir());
  run_.AppendIni("[Quirada]\r\nApiUrl=" + platform.Url() + "\r\nAuthUrl=https://localhost:1\r\nCAFile=" +
                 platform.CaFile() + "\r\n");
  const ProcessResult dead = run_.Run({"/VERIFICAR"}, Env());
  EXPECT_EQ(dead.exit_status, 1) << dead.out;
  EXPECT_TRUE(Has(dead.out, "Plataforma, token de acesso: FALHOU: ")) << dead.out;
  EXPECT_EQ(ReadFileBytes(ServiceTokenFile(tmp_.path())), cached) << "the cached token stays";

  Configure(platform);
  fs::remove_all(PrivateFolder());
  fs::create_directory(PrivateFolder());
  ::chmod(PrivateFolder().c_str(), 0755);
  const size_t requests = platform.Journal().size();
  const ProcessResult refused = run_.Run({"/VERIFICAR"}, Env());
  EXPECT_EQ(refused.exit_status, 1) << refused.out;
  const std::string folder = "FALHOU: A pasta \"" + PrivateFolder() + "\" não é uma pasta privada";
  EXPECT_TRUE(Has(refused.out, "Plataforma, token de acesso: " + folder)) << refused.out;
  EXPECT_TRUE(Has(refused.out, "Plataforma, ativação da chave de autorização: " + folder)) << refused.out;
  EXPECT_EQ(platform.Journal().size(), requests) << "nothing is asked of any platform";
}

// In a UTF8 database a note holding a character outside ISO-8859-1 goes out as the database holds
// it, and so do the notes around it: one note never changes how another is read.
TEST(SafetyUtf8Test, ANoteOutsideLatin1GoesAsStoredAndSoDoTheNotesAroundIt) {
  ErpDatabase db("UTF8");
  db.InsertSettings({});
  const std::string decl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
  const std::map<long long, std::string> xml = {
      {1, decl + "<x>ação</x>"}, {2, decl + "<x>preço 10 €</x>"}, {3, decl + "<x>simples</x>"}};
  for (const auto& [seq, text] : xml)
    db.ExecuteUtf8("INSERT INTO NOTASENTRADASESAIDAS (SEQUENCIAL, CHAVENFE, XMLNFE, DATA, "
                   "MODELONOTAFISCAL, EMISSAO, STATUSNFE) VALUES (" + std::to_string(seq) + ", '" +
                   DocumentKey(seq) + "', '" + text + "', CURRENT_DATE, '65', 'P', 'E')");
  RunFolder run;
  TempFolder tmp;
  LocalPlatform platform;
  db.WriteIni(run.dir());
  run.AppendIni(platform.IniSection());

  const ProcessResult pending = run.Run({"/PENDING"}, {{"TMPDIR", tmp.path()}});
  EXPECT_EQ(pending.exit_status, 0) << pending.err;
  EXPECT_NE(pending.out.find("3 documento(s) pendente(s)."), std::string::npos) << pending.out;

  const ProcessResult r = run.Run({"/ONCE"}, {{"TMPDIR", tmp.path()}});
  EXPECT_EQ(r.exit_status, 0) << ReadFileBytes(run.log_path());
  EXPECT_EQ(db.RegisterRows().size(), 3u);
  std::map<std::string, std::string> sha;
  for (auto& e : platform.Uploads()) sha[e["file"]] = e["sha256"];
  ASSERT_EQ(sha.size(), 3u);
  // Each file is the note's text in UTF-8, as its declaration says.
  for (const auto& [seq, text] : xml) {
    std::string digits;
    for (char ch : DocumentKey(seq))
      if (ch >= '0' && ch <= '9') digits += ch;
    EXPECT_EQ(sha[digits + ".xml"], Sha256Hex(text + "\r\n")) << seq;
  }
}

}  // namespace
}  // namespace quirada::testing
