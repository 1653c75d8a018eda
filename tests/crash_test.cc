// The delivery promise across a kill -9 of the service: the real executable, the real Firebird
// server and the local platform over real TLS. The platform ends the service with SIGKILL at one
// step of one document (its kill rules read the service's PID from a file the test writes), then a
// normal run of the same service folder against the same platform must leave every document
// recorded exactly once.
//
// What must hold after the kill and after the normal run: every register row names a batch the
// platform created and answered a good status for (no row for a document whose status was never
// read); documents recorded before the kill stay recorded and are not sent again; the only second
// upload is that of the document whose acceptance the kill kept from being recorded; the XML file
// the kill left behind is written anew (not sent as found) and removed; the token file is the old
// one or a whole new one, never a torn one.
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform_client/wire.h"
#include "testing/erp_database.h"
#include "base/datetime.h"
#include "testing/local_platform.h"
#include "testing/service_process.h"

namespace quirada::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;


// An expired token file as an earlier run would have left it: every run below must ask for a new
// token, and a kill before the new file is in place must leave exactly these bytes.
constexpr const char* kOldTokenFile =
    "access_token=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\r\n"
    "data=01/01/2020\r\nhora=10:00:00\r\nExpiraData=01/01/2020 10:00:00\r\n";

// Writes `path` whole: a temporary file beside it, renamed over it.
void WriteWhole(const std::string& path, const std::string& content) {
  const std::string temporary = path + ".tmp";
  std::ofstream(temporary, std::ios::binary | std::ios::trunc) << content;
  fs::rename(temporary, path);
}

// The local platform with kill rules, on a folder of its own, until the object goes away.
class KillingPlatform {
 public:
  KillingPlatform(const std::vector<std::string>& rules, const std::string& kill_pid_file)
      : platform_(rules, {"--kill-pid-file", kill_pid_file}) {}

  std::string IniSection() const { return platform_.IniSection(); }
  std::vector<Exchange> Journal() const { return platform_.Exchanges(); }

 private:
  LocalPlatform platform_;
};

// The token file holds the old bytes, or the four lines of a new token that is still valid.
void ExpectTokenFileWhole(const std::string& path, bool may_be_old) {
  const std::string bytes = ReadFileBytes(path);
  if (may_be_old && bytes == kOldTokenFile) return;
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(bytes.substr(start, end - start));
  ASSERT_EQ(start, bytes.size()) << "the last line is not ended by CR LF: " << bytes;
  ASSERT_EQ(lines.size(), 4u) << bytes;
  EXPECT_NE(bytes, kOldTokenFile) << "the old token was kept";
  EXPECT_TRUE(lines[0].starts_with("access_token=") && lines[0].size() > 13) << lines[0];
  ASSERT_TRUE(lines[1].starts_with("data=")) << lines[1];
  ASSERT_TRUE(lines[2].starts_with("hora=")) << lines[2];
  ASSERT_TRUE(lines[3].starts_with("ExpiraData=")) << lines[3];
  EXPECT_NO_THROW(StrToDate(lines[1].substr(5)));
  EXPECT_NO_THROW(StrToTime(lines[2].substr(5)));
  TDateTime expiry = 0;
  ASSERT_NO_THROW(expiry = StrToDateTime(lines[3].substr(11))) << lines[3];
  EXPECT_GT(expiry, Now());
}

// What the register holds must be backed by the journal: every row names a batch that an upload
// created and whose status query was answered with a good code, the code the row holds.
void ExpectRowsBackedByTheJournal(const std::vector<RegisterRow>& rows, const std::vector<Exchange>& journal) {
  for (const RegisterRow& row : rows) {
    SCOPED_TRACE("row of document " + std::to_string(row.sequencial) + ", batch " + row.id_envio);
    bool uploaded = false, status_read = false;
    for (const Exchange& e : journal) {
      uploaded |= e.Accepted() && e.batch == row.id_envio;
      status_read |= e.IsStatus() && e.status == 200 && e.batch == row.id_envio && e.code == row.codigo_retorno &&
                     e.code != "E0" && e.code != "EA0" && e.code != "EB0";
    }
    EXPECT_TRUE(uploaded);
    EXPECT_TRUE(status_read);
  }
}

class CrashTest : public ::testing::Test {
 protected:
  static constexpr int kDocuments = 3;

  void SetUp() override {
    db_.InsertSettings({});
    const TDateTime today = db_.ServerDate();
    for (int seq = 1; seq <= kDocuments; ++seq)
      db_.InsertNote({.sequencial = seq, .chave = "NFe-000" + std::to_string(seq), .xml = Xml(seq), .data = today,
                      .modelo = "65"});
  }

  static std::string Xml(int seq) { return "<NFe><nNF>" + std::to_string(seq) + "</nNF></NFe>"; }
  // The name the service gives the document's file, without ".xml".
  static std::string Digits(int seq) { return "000" + std::to_string(seq); }

  // The documents in the order the next cycle sends them, as "/PENDING" lists them.
  std::vector<int> PendingOrder(const RunFolder& run) {
    const ProcessResult listed = run.Run({"/PENDING"}, {{"TMPDIR", tmp_.path()}});
    EXPECT_EQ(listed.exit_status, 0) << listed.err;
    std::vector<int> order;
    std::istringstream in(listed.out);
    for (std::string line; std::getline(in, line);) {
      int seq = 0;
      char kind = 0;
      if (std::sscanf(line.c_str(), "%d %c NFe-", &seq, &kind) == 2 && kind == 'N') order.push_back(seq);
    }
    return order;
  }

  ErpDatabase db_;
  TempFolder tmp_;      // the token file's folder, private to the test
  TempFolder scratch_;  // where the test tells the platform which process to kill
};

TEST_F(CrashTest, AKillAtAnyStepOfADocumentLosesNothingAndRecordsNothingFalse) {
  // Steps of the document in the middle of the cycle (the first document of the cycle for the
  // token request, which comes after its XML file is written and before its upload).
  enum class At { kFirst, kMiddle, kLast };
  struct Case {
    const char* what;
    const char* rule;  // "%s" stands for the document's file name without ".xml"
    At at;
    int recorded_by_the_kill;  // documents recorded when the service dies, in the cycle's order
    bool accepted_twice;       // the document at the kill is uploaded and accepted again
  } cases[] = {
      {"XML file written, token request in flight", "token:*=kill", At::kFirst, 0, false},
      {"XML file written, token answered but not yet stored", "token:*=killafter", At::kFirst, 0, false},
      {"upload in flight", "upload:%s=kill", At::kMiddle, 1, false},
      {"upload answered 201, status not yet asked", "upload:%s=killafter", At::kMiddle, 1, true},
      {"status query in flight", "status:%s=kill", At::kMiddle, 1, true},
      {"status answered, register not yet written", "status:%s=killafter", At::kMiddle, 1, true},
      {"register committed, next document's upload in flight", "upload:%s=kill", At::kLast, 2, false},
  };
  const std::string pid_file = scratch_.path() + "service.pid";
  const std::string token_file = ServiceTokenFile(tmp_.path());

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    db_.Execute("DELETE FROM QUIRADA_ENVIOS_XML");
    RunFolder run;
    // No process to kill until the service is started: a rule that struck earlier would fail.
    WriteWhole(pid_file, "");
    db_.WriteIni(run.dir());
    const std::vector<int> order = PendingOrder(run);
    ASSERT_EQ(order.size(), static_cast<size_t>(kDocuments));
    const int target = order[c.at == At::kFirst ? 0 : c.at == At::kMiddle ? 1 : 2];
    char rule[64];
    std::snprintf(rule, sizeof rule, c.rule, Digits(target).c_str());
    KillingPlatform platform({rule}, pid_file);
    run.AppendIni(platform.IniSection());
    WriteWhole(token_file, kOldTokenFile);

    // The run that dies.
    Process service = run.Start({"/ONCE"}, {{"TMPDIR", tmp_.path()}});
    WriteWhole(pid_file, std::to_string(service.pid()) + "\n");
    ASSERT_TRUE(service.WaitFor(60s)) << "the service was not killed";
    ASSERT_EQ(service.result().exit_status, 128 + SIGKILL) << service.result().err;

    const std::vector<Exchange> at_kill = platform.Journal();
    ASSERT_FALSE(at_kill.empty());
    EXPECT_EQ(at_kill.back().fault, std::string(rule).ends_with("killafter") ? "killafter" : "kill");
    std::vector<RegisterRow> rows = db_.RegisterRows();
    ExpectRowsBackedByTheJournal(rows, at_kill);
    std::set<long long> recorded;
    for (const RegisterRow& row : rows) recorded.insert(row.sequencial);
    const std::set<long long> expected(order.begin(), order.begin() + c.recorded_by_the_kill);
    EXPECT_EQ(recorded, expected) << "recorded when the service died";
    ExpectTokenFileWhole(token_file, /*may_be_old=*/true);
    if (c.at == At::kFirst) {
      EXPECT_EQ(ReadFileBytes(token_file), kOldTokenFile) << "no new token was stored";
    }

    // The document being worked on left its XML file; the next run must not send it as found.
    const int left_over = order[c.recorded_by_the_kill];
    const std::string left_over_file = run.dir() + Digits(left_over) + ".xml";
    ASSERT_TRUE(fs::exists(left_over_file));
    for (const auto& entry : fs::directory_iterator(run.dir())) {
      if (entry.path().extension() == ".xml") {
        EXPECT_EQ(entry.path().string(), left_over_file);
      }
    }
    WriteWhole(left_over_file, "<NFe><nNF>cortado");

    // The normal run, against the same platform (a kill rule is spent by its first request).
    const ProcessResult normal = run.Run({"/ONCE"}, {{"TMPDIR", tmp_.path()}});
    ASSERT_EQ(normal.exit_status, 0) << normal.err << ReadFileBytes(run.log_path());
    EXPECT_TRUE(run.LogLines().empty());

    const std::vector<Exchange> journal = platform.Journal();
    rows = db_.RegisterRows();
    ExpectRowsBackedByTheJournal(rows, journal);
    ASSERT_EQ(rows.size(), static_cast<size_t>(kDocuments)) << "every document recorded, each once";
    std::set<long long> all;
    for (const RegisterRow& row : rows) all.insert(row.sequencial);
    EXPECT_EQ(all.size(), static_cast<size_t>(kDocuments));

    for (int seq : order) {
      SCOPED_TRACE("document " + std::to_string(seq));
      const std::string file = Digits(seq) + ".xml";
      std::vector<Exchange> accepted;
      for (const Exchange& e : journal)
        if (e.Accepted() && e.file == file) accepted.push_back(e);
      const bool twice = c.accepted_twice && seq == target;
      EXPECT_EQ(accepted.size(), twice ? 2u : 1u);
      ASSERT_FALSE(accepted.empty());
      // The last upload carried the document itself, also where a broken file was left behind.
      EXPECT_EQ(accepted.back().sha256, Sha256Hex(Xml(seq) + "\r\n"));
      for (const RegisterRow& row : rows) {
        if (row.sequencial == seq) {
          EXPECT_EQ(row.id_envio, accepted.back().batch);
        }
      }
    }
    for (const auto& entry : fs::directory_iterator(run.dir()))
      EXPECT_NE(entry.path().extension(), ".xml") << entry.path();
    ExpectTokenFileWhole(token_file, /*may_be_old=*/false);
  }
}

}  // namespace
}  // namespace quirada::testing
