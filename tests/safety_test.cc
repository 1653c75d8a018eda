// The service in an operator's and a hostile local user's hands: the real executable, the real
// Firebird server and the local platform over TLS, each attack with the fixture that shows it.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/text.h"
#include "testing/erp_database.h"
#include "testing/executable_test.h"
#include "testing/local_platform.h"
#include "testing/service_process.h"

namespace quirada::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

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

// A stop request ends the cycle between two documents: the one in hand is recorded, the process
// exits 0 within seconds, and what is left waits for the next cycle.
TEST_F(SafetyTest, AStopRequestEndsTheCycleBetweenTwoDocuments) {
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
    ASSERT_TRUE(p.WaitFor(15s)) << "the document in hand finishes, then the process ends";
    EXPECT_EQ(p.result().exit_status, 0) << p.result().err;

    const auto rows = db_.RegisterRows();
    EXPECT_LT(rows.size(), static_cast<size_t>(kDocuments));
    // Every batch created was asked for and recorded: nothing uploaded is left unrecorded.
    EXPECT_EQ(platform.Uploads().size(), rows.size());
    EXPECT_EQ(platform.StatusQueries().size(), rows.size());
    for (const auto& entry : fs::directory_iterator(run_.dir()))
      EXPECT_NE(entry.path().extension(), ".xml") << entry.path();
    EXPECT_TRUE(LogLines(run_).empty()) << ReadFileBytes(run_.log_path());
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
      EXPECT_EQ(platform.JournalWith("/oauth/token").size(), 1u);
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
      EXPECT_EQ(platform.StatusQueries()[0]["path"], "/quirada/invoice/v3/batches/" + c.status_id);
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

// In a UTF8 database a note holding a character outside ISO-8859-1 is sent as the database's
// bytes; the notes around it go as always.
TEST(SafetyUtf8Test, ANoteTheConnectionCannotReadIsSentAsTheDatabaseHoldsIt) {
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
