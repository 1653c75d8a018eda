// The real executable as an operator meets it: switches, one cycle in the foreground, the service
// pacing its cycles and stopping on SIGTERM, against the real Firebird server.
#include <signal.h>

#include <cctype>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "testing/erp_database.h"
#include "testing/service_process.h"

namespace quirada::testing {
namespace {

using namespace std::chrono_literals;

// "DD/MM/YYYY HH:mm:ss - " at the start of a line.
bool IsStamped(const std::string& line) {
  const std::string shape = "00/00/0000 00:00:00 - ";
  if (line.size() < shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i)
    if (shape[i] == '0' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i])
      return false;
  return true;
}

// A folder whose INI names a database file that does not exist on the test server.
void PointAtMissingDatabase(const RunFolder& run) {
  run.AppendIni("[Morvant]\r\nServidor=127.0.0.1\r\nCaminho=/tmp/quirada-fb-tests/nao-existe.fdb\r\n");
}

TEST(Program, UnknownSwitchPrintsUsageAndExits2) {
  RunFolder run;
  const auto r = run.Run({"/NADA"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_NE(r.err.find("NADA"), std::string::npos) << r.err;
  EXPECT_TRUE(run.LogLines().empty());
}

TEST(Program, OnceWithoutTheDatabaseExits1WithOneLogLine) {
  RunFolder run;
  PointAtMissingDatabase(run);
  const auto r = run.Run({"/ONCE"});
  EXPECT_EQ(r.exit_status, 1) << r.err;
  const auto lines = run.LogEntries();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(IsStamped(lines[0])) << lines[0];
  EXPECT_NE(lines[0].find(" - Falha na conex\xE3o com o banco de dados: "), std::string::npos)
      << lines[0];
}

TEST(Program, OnceWithEmptyKeysConnectsAndDoesNothing) {
  ErpDatabase db;
  SettingsRow settings;
  settings.autorization_key.reset();
  db.InsertSettings(settings);
  RunFolder run;
  db.WriteIni(run.dir());
  const auto r = run.Run({"-once"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(run.LogLines().empty());
}

TEST(Program, PendingListsWhatTheNextCycleWouldSend) {
  ErpDatabase db;
  db.InsertSettings({});
  const TDateTime today = db.ServerDate();
  db.InsertNote({.sequencial = 7, .chave = "NFe3525-0001", .xml = "<nfe>ação</nfe>", .data = today});
  db.InsertCancellation({.sequencial = 7, .chave = "Canc3525-0002", .xml = "<canc/>", .data = today});
  RunFolder run;
  db.WriteIni(run.dir());
  const auto r = run.Run({"--PENDING"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.out.find("7 N NFe3525-0001 19\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("7 C Canc3525-0002 9\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("2 documento(s) pendente(s).\nPor tipo: 1 nota(s) fiscal(is) (N), 1 cancelamento(s) (C).\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(db.RegisterRows().empty());
}

TEST(Program, PendingWithoutTheDatabaseFailsOnStandardError) {
  RunFolder run;
  PointAtMissingDatabase(run);
  const auto r = run.Run({"/pending"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_FALSE(r.err.empty());
}

// Runs as the service with a one-second period against a missing database: every cycle writes
// one log line; the first comes about a second after the start, the next ones a period after the
// end of the previous; SIGTERM ends the process with status 0 and READY=1 / STOPPING=1 are not
// needed without NOTIFY_SOCKET.
TEST(Service, CyclesArePacedAndSigtermStopsIt) {
  RunFolder run;
  PointAtMissingDatabase(run);
  run.AppendIni("[Quirada]\r\nIntervaloSegundos=1\r\n");
  auto service = run.Start({});
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(run.LogLines().empty()) << "the first cycle comes one second after the start";
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (run.LogEntries().size() < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(50ms);
  service.Signal(SIGTERM);
  ASSERT_TRUE(service.WaitFor(60s));
  EXPECT_EQ(service.result().exit_status, 0) << service.result().err;
  const auto lines = run.LogEntries();
  ASSERT_GE(lines.size(), 3u);
  for (const auto& line : lines)
    EXPECT_NE(line.find("Falha na conex\xE3o com o banco de dados: "), std::string::npos) << line;
}

// A failure that escapes a cycle (here the register table is missing, so the pending query cannot
// be opened) is one log line, and the service goes on to the next cycle.
TEST(Service, AFailingCycleIsLoggedAndTheServiceGoesOn) {
  ErpDatabase db;
  db.InsertSettings({});
  db.Execute("DROP TABLE QUIRADA_ENVIOS_XML");
  RunFolder run;
  db.WriteIni(run.dir());
  run.AppendIni("[Quirada]\r\nIntervaloSegundos=1\r\n");
  auto stamped = [&] {
    int n = 0;
    for (const auto& line : run.LogLines()) n += IsStamped(line);
    return n;
  };
  auto service = run.Start({});
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (stamped() < 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(50ms);
  service.Signal(SIGTERM);
  ASSERT_TRUE(service.WaitFor(60s));
  EXPECT_EQ(service.result().exit_status, 0) << service.result().err;
  EXPECT_GE(stamped(), 2);
  // The server's message names the missing table (on a continuation line of the entry).
  EXPECT_NE(ReadFileBytes(run.log_path()).find("QUIRADA_ENVIOS_XML"), std::string::npos);
}

}  // namespace
}  // namespace quirada::testing
