// A stop request ends the process within 5 s wherever it is: connecting to a database server that
// never answers, inside a database call the server is busy with, on a server that froze
// mid-cycle, in an exchange with the platform that stalled; under "/ONCE" (exit 0, "Ciclo
// interrompido..." on standard output) and as the service (exit 0). Nothing that was not accepted
// is recorded, no XML file is left, and nothing is written to the service log for the stop.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testing/executable_test.h"
#include "testing/tcp_relay.h"
#include "platform_client/wire.h"

namespace quirada::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class StopTest : public ExecutableTest {};

TEST_F(StopTest, AStopEndsTheProcessWithinFiveSecondsWhereverItWaits) {
  enum class Onde { kSilentServer, kBusyCall, kFrozenServer, kStalledUpload };
  const struct {
    const char* what;
    Onde onde;
  } stalls[] = {
      {"a database server that takes the connection and never answers", Onde::kSilentServer},
      {"a database call the server is busy with", Onde::kBusyCall},
      {"a database server that froze mid-cycle", Onde::kFrozenServer},
      {"an upload the platform never answers", Onde::kStalledUpload},
  };
  AddNotes(1, 3);
  for (const auto& stall : stalls) {
    for (const bool once : {true, false}) {
      SCOPED_TRACE(std::string(stall.what) + (once ? ", /ONCE" : ", the service"));
      db_.Execute("DELETE FROM QUIRADA_ENVIOS_XML");
      // The register write the busy call is: an ERP trigger that keeps the server at it.
      db_.Execute(std::string("CREATE OR ALTER TRIGGER T_LENTO FOR QUIRADA_ENVIOS_XML BEFORE INSERT OR "
                              "UPDATE AS DECLARE I BIGINT = 0; BEGIN ") +
                  (stall.onde == Onde::kBusyCall ? "WHILE (I < 5000000000) DO I = I + 1; " : "") + "END");
      std::optional<TcpRelay> relay;
      if (stall.onde == Onde::kSilentServer) relay.emplace(0);
      if (stall.onde == Onde::kFrozenServer) relay.emplace(3050);
      LocalPlatform platform(stall.onde == Onde::kStalledUpload ? std::vector<std::string>{"upload:*=stall"}
                                                                 : std::vector<std::string>{},
                             {"--answer-delay-ms", "300"});
      fs::remove(run_.dir() + "Morvant.ini");
      if (relay) {
        db_.WriteIni(run_.dir(), "127.0.0.1/" + std::to_string(relay->port()));
      } else {
        db_.WriteIni(run_.dir());
      }
      run_.AppendIni(platform.IniSection());
      fs::remove(run_.log_path());

      Process p = run_.Start(once ? std::vector<std::string>{"/ONCE"} : std::vector<std::string>{}, Env());
      switch (stall.onde) {
        case Onde::kSilentServer:
          ASSERT_TRUE(WaitUntil([&] { return relay->connections() > 0; }, 30s)) << p.Err();
          break;
        case Onde::kBusyCall:
          ASSERT_TRUE(WaitUntil([&] { return !platform.StatusQueries().empty(); }, 60s)) << p.Err();
          break;
        case Onde::kFrozenServer:
          // Frozen while the platform answers the first upload: the register write waits on it.
          ASSERT_TRUE(WaitUntil([&] { return !platform.Uploads().empty(); }, 60s)) << p.Err();
          relay->Freeze();
          break;
        case Onde::kStalledUpload:
          ASSERT_TRUE(WaitUntil([&] { return !platform.JournalWith("\"" + std::string(kBatchesPath) + "\"").empty(); }, 60s)) << p.Err();
          break;
      }
      std::this_thread::sleep_for(1s);  // well inside the wait
      const auto asked = std::chrono::steady_clock::now();
      p.Signal(SIGTERM);
      ASSERT_TRUE(p.WaitFor(10s)) << "still running 10 s after the stop request";
      EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
      EXPECT_EQ(p.result().exit_status, 0) << p.result().err;
      if (once) {
        EXPECT_TRUE(p.result().out.starts_with("Ciclo interrompido por pedido de parada: 0 enviado(s), "))
            << p.result().out;
      }
      EXPECT_TRUE(db_.RegisterRows().empty()) << "nothing recorded that the platform did not accept";
      EXPECT_FALSE(fs::exists(run_.dir() + DocumentNumber(1) + ".xml"));
      EXPECT_FALSE(fs::exists(run_.log_path())) << ReadFileBytes(run_.log_path());
    }
  }
}

}  // namespace
}  // namespace quirada::testing
