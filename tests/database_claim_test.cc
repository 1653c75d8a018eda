// The ERP database's claim lasts one document: two installations on one database share its
// pending documents and send each once; the ERP's own register writes wait at most one document's
// exchange, never a whole cycle; a claim held past the lock wait ends the cycle saying who holds
// it, and what its holder wrote into its mark reaches no terminal with a control character.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/text.h"
#include "firebird/fb_query.h"
#include "testing/erp_database.h"
#include "testing/executable_test.h"
#include "testing/local_platform.h"
#include "testing/service_process.h"

namespace quirada::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool Has(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

// Notes `first` to `first + count - 1`, of today.
void InsertDocuments(ErpDatabase& db, long long count, long long first = 1) {
  const TDateTime today = db.ServerDate();
  for (long long seq = first; seq < first + count; ++seq)
    db.InsertNote({.sequencial = seq, .chave = DocumentKey(seq), .xml = "<x>" + std::to_string(seq) + "</x>",
                   .data = today, .modelo = "65"});
}

// One service folder and its own temporary folder, pointed at a database and a platform.
struct Installation {
  RunFolder run;
  TempFolder tmp;

  explicit Installation(const ErpDatabase& db, const LocalPlatform& platform) {
    db.WriteIni(run.dir());
    run.AppendIni(platform.IniSection());
  }
  std::map<std::string, std::string> Env() const { return {{"TMPDIR", tmp.path()}}; }
  Process Start() const { return run.Start({"/ONCE"}, Env()); }
};

// The sent count of "/ONCE"'s summary line.
long long Sent(const std::string& out) {
  const size_t colon = out.find("Ciclo concluído: ");
  return colon == std::string::npos ? -1 : std::stoll(out.substr(colon + 18));
}

TEST(DatabaseClaimTest, TwoInstallationsShareTheBacklogAndSendEachDocumentOnce) {
  ErpDatabase db;
  db.InsertSettings({});
  constexpr long long kDocuments = 40;
  InsertDocuments(db, kDocuments);
  LocalPlatform platform({}, {"--answer-delay-ms", "20"});
  const Installation first(db, platform), second(db, platform);

  Process a = first.Start();
  Process b = second.Start();
  ASSERT_TRUE(a.WaitFor(120s));
  ASSERT_TRUE(b.WaitFor(120s));
  EXPECT_EQ(a.result().exit_status, 0) << a.result().err;
  EXPECT_EQ(b.result().exit_status, 0) << b.result().err;
  EXPECT_EQ(Sent(a.result().out) + Sent(b.result().out), kDocuments) << a.result().out << b.result().out;

  std::map<std::string, int> per_file;
  for (auto& e : platform.Uploads()) ++per_file[e["file"]];
  EXPECT_EQ(per_file.size(), static_cast<size_t>(kDocuments));
  for (const auto& [file, n] : per_file) EXPECT_EQ(n, 1) << file << " uploaded more than once";
  EXPECT_EQ(db.RegisterRows().size(), static_cast<size_t>(kDocuments));
}

// An ERP screen that writes the register (a row deleted to send a document again, one recorded by
// hand) while a long cycle runs gets its turn between two documents.
TEST(DatabaseClaimTest, AnErpWriteDuringACycleCompletesWhileTheCycleStillRuns) {
  ErpDatabase db;
  db.InsertSettings({});
  InsertDocuments(db, 30);
  LocalPlatform platform({}, {"--answer-delay-ms", "100"});
  const Installation service(db, platform);
  Process once = service.Start();
  ASSERT_TRUE(WaitUntil([&] { return platform.Uploads().size() >= 2; }, 60s)) << once.Err();

  FbTransaction erp(db.connection(), FbTransactionMode::kReadWrite);
  erp.StartTransaction();
  FbQuery write(db.connection(), erp,
                "INSERT INTO QUIRADA_ENVIOS_XML (SEQUENCIAL, TIPOXML, ID_ENVIO) VALUES (900, 'N', 'manual')");
  const auto started = std::chrono::steady_clock::now();
  write.ExecSQL();
  erp.Commit();
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_FALSE(once.WaitFor(0ms)) << "the ERP's write waited for the whole cycle";
  EXPECT_LT(waited, 2s) << "about one document's exchange (two answers of 100 ms)";

  ASSERT_TRUE(once.WaitFor(120s));
  EXPECT_EQ(once.result().exit_status, 0) << once.result().err;
  EXPECT_EQ(db.RegisterRows().size(), 31u);
}

// A cycle waits for the claim as long as a transaction waits for a lock: an ERP write committed
// within that lets the cycle go on; a holder that keeps it longer ends the cycle, named.
TEST(DatabaseClaimTest, AClaimHeldPastTheWaitEndsTheCycleNamingItsHolderWithoutControlCharacters) {
  ErpDatabase db;
  db.InsertSettings({});
  db.InsertRegister({99, "N", db.ServerDate(), "lote-antigo", "SA2"});
  InsertDocuments(db, 1);
  LocalPlatform platform;
  const Installation service(db, platform);

  {
    // The ERP holds an uncommitted write on a register row for two seconds.
    FbTransaction erp(db.connection(), FbTransactionMode::kReadWrite);
    erp.StartTransaction();
    FbQuery hold(db.connection(), erp, "UPDATE QUIRADA_ENVIOS_XML SET CODIGORETORNO = 'X' WHERE SEQUENCIAL = 99");
    hold.ExecSQL();
    Process once = service.Start();
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(platform.Uploads().empty()) << "nothing uploaded while the ERP holds the register";
    erp.Rollback();
    ASSERT_TRUE(once.WaitFor(60s));
    EXPECT_EQ(once.result().exit_status, 0) << once.result().err;
    EXPECT_EQ(db.RegisterRows().size(), 2u);
  }

  // A holder that marks its attachment as a cycle's, with a mark meant to forge lines and drive
  // a terminal, and keeps the register reserved past the wait.
  InsertDocuments(db, 1, 2);
  const std::string mark = "/srv/\x1B]0;x\x07\x1B[2J\r\nFALSO 01/01/2026 - ok\x7F";
  {
    FbQuery set(db.connection(), db.transaction(),
                "SELECT RDB$SET_CONTEXT('USER_SESSION', 'QUIRADA_CICLO', :MARCA) AS R FROM RDB$DATABASE");
    set.SetParamString("MARCA", mark);
    set.Open();
  }
  FbTransaction holder(db.connection(), FbTransactionMode::kReadWrite);
  holder.SetReservedTable("QUIRADA_ENVIOS_XML");
  holder.StartTransaction();
  Process once = service.Start();
  ASSERT_TRUE(once.WaitFor(90s));
  holder.Rollback();
  EXPECT_EQ(once.result().exit_status, 75) << once.result().err;
  const std::string& err = once.result().err;
  EXPECT_TRUE(Has(err, "Outro ciclo de envio está em andamento neste banco de dados")) << err;
  EXPECT_TRUE(Has(err, "pasta /srv/ ]0;x  [2J  FALSO 01/01/2026 - ok ")) << err;
  for (const char ch : err) {
    const auto u = static_cast<unsigned char>(ch);
    EXPECT_TRUE(u >= 0x20 || u == '\n') << "control character " << static_cast<int>(u);
  }
  EXPECT_EQ(err.find('\x7F'), std::string::npos);
  EXPECT_EQ(platform.Uploads().size(), 1u) << "only the first cycle's document";
}

// The folder marked on the claim's attachment is cut to what the mark holds between two
// characters, never inside one: a folder of 120 "ç" is served like any other.
TEST(DatabaseClaimTest, AFolderOfManyMultiByteCharactersIsMarkedWithoutCuttingOne) {
  ErpDatabase db;
  db.InsertSettings({});
  InsertDocuments(db, 1);
  LocalPlatform platform;
  RunFolder run;
  TempFolder tmp;
  std::string name;
  for (int i = 0; i < 120; ++i) name += "ç";
  const std::string folder = run.dir() + name + "/";
  ASSERT_TRUE(fs::create_directory(fs::u8path(folder)));
  fs::permissions(fs::u8path(folder), fs::perms::owner_all);
  db.WriteIni(folder);
  {
    std::ofstream ini(fs::u8path(folder + "Morvant.ini"), std::ios::binary | std::ios::app);
    ini << platform.IniSection();
  }
  const ProcessResult r = run.Run({"/ONCE", "--pasta", folder}, {{"TMPDIR", tmp.path()}});
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(db.RegisterRows().size(), 1u);
}

}  // namespace
}  // namespace quirada::testing
