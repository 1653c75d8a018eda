// The dispatch cycle end to end: the real executable, the real Firebird server and the local
// platform over real TLS. Each test fills an ERP database, runs "/ONCE" and compares what the
// platform received with what the register recorded.
#include <filesystem>
#include <map>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "testing/erp_database.h"
#include "base/text.h"
#include "testing/local_platform.h"
#include "testing/service_process.h"

namespace quirada::testing {
namespace {

using Entry = JournalEntry;

std::vector<Entry> Uploads(const LocalPlatform& p) { return p.Uploads(); }
std::vector<Entry> StatusQueries(const LocalPlatform& p) { return p.StatusQueries(); }

class DispatchCycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.InsertSettings({});
    today_ = db_.ServerDate();
  }

  // A note of model 65 (any issuer, any status), dated today.
  void AddNote(long long seq, const std::string& chave, const std::string& xml = "<NFe/>") {
    db_.InsertNote({.sequencial = seq, .chave = chave, .xml = xml, .data = today_, .modelo = "65"});
  }

  // Runs one cycle against `platform`; returns the exit status. A token cached for another
  // platform instance would be refused by this one, so it is forgotten.
  int RunOnce(const LocalPlatform& platform) {
    if (platform.port() != last_port_) std::filesystem::remove(ServiceTokenFile(tmp_.path()));
    last_port_ = platform.port();
    std::filesystem::remove(run_.dir() + "Morvant.ini");
    db_.WriteIni(run_.dir());
    run_.AppendIni(platform.IniSection());
    last_ = run_.Run({"/ONCE"}, {{"TMPDIR", tmp_.path()}});
    return last_.exit_status;
  }

  std::vector<RegisterRow> Rows() { return db_.RegisterRows(); }

  ErpDatabase db_;
  RunFolder run_;
  TempFolder tmp_;  // the token file's folder, private to the test
  TDateTime today_ = 0;
  ProcessResult last_;
  int last_port_ = 0;
};

TEST_F(DispatchCycleTest, AcceptedDocumentsAreRecordedWithTheBatchAndStatusCode) {
  AddNote(1, "NFe35251111111111111111650010000000011000000011");
  db_.InsertCancellation({.sequencial = 1, .chave = "ID110111-35251111111111111111650010000000011000000011-01",
                          .xml = "<procEventoNFe/>", .data = today_});
  LocalPlatform platform;
  ASSERT_EQ(RunOnce(platform), 0) << last_.err;

  const auto uploads = Uploads(platform);
  ASSERT_EQ(uploads.size(), 2u);
  const auto status = StatusQueries(platform);
  ASSERT_EQ(status.size(), 2u);
  const auto rows = Rows();
  ASSERT_EQ(rows.size(), 2u);
  for (const auto& row : rows) {
    EXPECT_EQ(row.codigo_retorno, "SA2");
    EXPECT_FALSE(row.id_envio.empty());
    bool uploaded = false;
    for (auto u : uploads) uploaded |= u["batch"] == row.id_envio;
    EXPECT_TRUE(uploaded) << row.id_envio;
    EXPECT_GT(row.data_hora_envio, today_);
  }
  EXPECT_EQ(rows[0].tipo_xml, "C");
  EXPECT_EQ(rows[1].tipo_xml, "N");
  EXPECT_TRUE(run_.LogLines().empty());
  // No XML file is left beside the executable.
  for (const auto& f : std::filesystem::directory_iterator(run_.dir()))
    EXPECT_NE(f.path().extension(), ".xml") << f.path();
}

// The outcome table of one document: which answers get it recorded, and whether the status query
// is made at all.
TEST_F(DispatchCycleTest, OnlyAnS1OrS2UploadWithAGoodStatusIsRecorded) {
  struct Case {
    const char* what;
    std::vector<std::string> rules;
    size_t status_queries;
    bool recorded;
  } cases[] = {
      {"S1 then SA2", {}, 1, true},
      {"S2 then a code of its own", {"upload:*=code:S2", "status:*=XYZ"}, 1, true},
      {"S2 then EA0", {"upload:*=code:S2", "status:*=EA0"}, 1, false},
      {"S1 then E0", {"status:*=E0"}, 1, false},
      {"S1 then EB0", {"status:*=EB0"}, 1, false},
      {"s1 in lower case", {"upload:*=code:s1"}, 0, false},
      {"an empty code", {"upload:*=code:"}, 0, false},
      {"a success without a batch (200)", {"upload:*=http200"}, 0, false},
  };
  long long seq = 100;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    db_.ClearTables();
    db_.InsertSettings({});
    ++seq;
    AddNote(seq, "NFe" + std::to_string(seq));
    LocalPlatform platform(c.rules);
    EXPECT_EQ(RunOnce(platform), 0) << last_.err << ReadFileBytes(run_.log_path());
    EXPECT_EQ(Uploads(platform).size(), 1u);
    EXPECT_EQ(StatusQueries(platform).size(), c.status_queries);
    EXPECT_EQ(Rows().size(), c.recorded ? 1u : 0u);
    EXPECT_TRUE(run_.LogLines().empty());
  }
}

TEST_F(DispatchCycleTest, ADocumentNotAcceptedIsOfferedAgainInTheNextCycle) {
  AddNote(7, "NFe7");
  {
    LocalPlatform platform({"upload:7=code:S2", "status:7=EA0"});
    ASSERT_EQ(RunOnce(platform), 0);
    EXPECT_TRUE(Rows().empty());
  }
  LocalPlatform platform;
  ASSERT_EQ(RunOnce(platform), 0);
  EXPECT_EQ(Uploads(platform).size(), 1u);
  ASSERT_EQ(Rows().size(), 1u);
  EXPECT_EQ(Rows()[0].codigo_retorno, "SA2");
}

TEST_F(DispatchCycleTest, AFailedUploadEndsTheCycleAndTheNextCycleSendsTheRest) {
  for (int i = 1; i <= 5; ++i) AddNote(i, "NFe-000" + std::to_string(i));
  {
    LocalPlatform platform({"upload:0003=drop"});
    EXPECT_EQ(RunOnce(platform), 1);
    // Rows arrive in the server's order; whatever it is, the cycle stopped at the dropped one,
    // and every upload before it was recorded.
    auto uploads = Uploads(platform);
    ASSERT_FALSE(uploads.empty());
    EXPECT_EQ(uploads.back()["file"], "0003.xml");
    EXPECT_EQ(uploads.size(), Rows().size() + 1);
    EXPECT_TRUE(std::filesystem::exists(run_.dir() + "0003.xml"));
    const auto lines = run_.LogLines();
    ASSERT_EQ(lines.size(), 1u);
  }
  const size_t recorded_before = Rows().size();
  LocalPlatform platform;
  ASSERT_EQ(RunOnce(platform), 0) << last_.err;
  EXPECT_EQ(Uploads(platform).size(), 5 - recorded_before);
  EXPECT_EQ(Rows().size(), 5u);
  EXPECT_FALSE(std::filesystem::exists(run_.dir() + "0003.xml"));
}

TEST_F(DispatchCycleTest, ADocumentThePlatformRejectsIsLoggedAndSkipped) {
  AddNote(1, "NFe-0001");
  AddNote(2, "NFe-0002");
  AddNote(3, "NFe-0003");
  LocalPlatform platform({"upload:0002=422"});
  EXPECT_EQ(RunOnce(platform), 3) << "completed, with a document in the log: " << last_.err;
  EXPECT_EQ(Uploads(platform).size(), 3u);
  const auto rows = Rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].sequencial, 1);
  EXPECT_EQ(rows[1].sequencial, 3);
  const auto lines = run_.LogLines();
  ASSERT_GE(lines.size(), 1u);
  EXPECT_NE(lines[0].find("NFe-0002"), std::string::npos) << lines[0];
  EXPECT_FALSE(std::filesystem::exists(run_.dir() + "0002.xml"));
}

TEST_F(DispatchCycleTest, PlatformFailuresOtherThanARejectionEndTheCycle) {
  for (const char* status : {"401", "403", "429", "500", "503"}) {
    SCOPED_TRACE(status);
    db_.ClearTables();
    db_.InsertSettings({});
    AddNote(1, "NFe-0001");
    AddNote(2, "NFe-0002");
    std::filesystem::remove(run_.log_path());
    LocalPlatform platform({std::string("upload:*=") + status});
    EXPECT_EQ(RunOnce(platform), 1);
    EXPECT_EQ(Uploads(platform).size(), 1u) << "the cycle stops at the first failure";
    EXPECT_TRUE(Rows().empty());
    EXPECT_FALSE(run_.LogLines().empty());
  }
}

// A key that gives its XML file no name (no digit in it) would have every such document uploaded
// as ".xml": such a document is logged by its key and not sent, and the others go on.
TEST_F(DispatchCycleTest, AKeyWithoutDigitsIsLoggedAndNotSentAndTheOthersGoOn) {
  const std::vector<std::string> keys = {"sem-digitos", "..", "../../etc/passwd", "/"};
  long long seq = 1;
  for (const std::string& key : keys) AddNote(seq++, key);
  AddNote(seq, "NFe-0042");
  LocalPlatform platform;
  ASSERT_EQ(RunOnce(platform), 3) << last_.err;
  auto uploads = Uploads(platform);
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0]["file"], "0042.xml");
  ASSERT_EQ(Rows().size(), 1u);
  EXPECT_EQ(Rows()[0].sequencial, seq);
  const std::vector<std::string> lines = run_.LogLines();
  ASSERT_EQ(lines.size(), keys.size());
  for (size_t i = 0; i < keys.size(); ++i)
    EXPECT_NE(Latin1ToUtf8(lines[i]).find("Documento " + keys[i] + " não enviado: a chave de acesso não tem dígitos"),
              std::string::npos)
        << lines[i];
}

TEST_F(DispatchCycleTest, WithoutAnyFlagYNothingIsRequestedOrLogged) {
  db_.ClearTables();
  SettingsRow settings;
  settings.enviar = {{"NFE_P", "N"}, {"NFE_T", "y"}, {"NFCE", "S"}, {"SAT", std::nullopt}, {"CANC", ""}};
  db_.InsertSettings(settings);
  AddNote(1, "NFe-0001");
  LocalPlatform platform;
  ASSERT_EQ(RunOnce(platform), 0);
  EXPECT_TRUE(platform.Journal().empty());
  EXPECT_TRUE(run_.LogLines().empty());
  EXPECT_FALSE(std::filesystem::exists(ServiceTokenFile(tmp_.path())));
}

TEST_F(DispatchCycleTest, TheUploadedBytesAreValidXml) {
  const std::string latin1_declared_utf8 = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><x>Jo\xE3o</x>";
  const std::string already_utf8 = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><x>Jo\xC3\xA3o</x>";
  const std::string latin1_declared_latin1 =
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><x>Jo\xE3o</x>";
  // The fixture takes UTF-8 text and stores it in ISO-8859-1: hand it the Latin-1 bytes as text.
  AddNote(1, "1", Latin1ToUtf8(latin1_declared_utf8));
  AddNote(2, "2", Latin1ToUtf8(already_utf8));
  AddNote(3, "3", Latin1ToUtf8(latin1_declared_latin1));
  LocalPlatform platform;
  ASSERT_EQ(RunOnce(platform), 0) << last_.err;
  std::map<std::string, std::string> sha;
  for (auto u : Uploads(platform)) sha[u["file"]] = u["sha256"];
  EXPECT_EQ(sha["1.xml"], Sha256Hex("<?xml version=\"1.0\" encoding=\"UTF-8\"?><x>João</x>\r\n"));
  EXPECT_EQ(sha["2.xml"], Sha256Hex(already_utf8 + "\r\n"));
  EXPECT_EQ(sha["3.xml"], Sha256Hex(latin1_declared_latin1 + "\r\n"));
}

TEST_F(DispatchCycleTest, OnceExitsWithOneWhenThePlatformCannotBeReached) {
  AddNote(1, "NFe-0001");
  int port = 0;
  {
    LocalPlatform gone;
    port = gone.port();
  }
  std::filesystem::remove(run_.dir() + "Morvant.ini");
  db_.WriteIni(run_.dir());
  run_.AppendIni("[Quirada]\r\nApiUrl=https://localhost:" + std::to_string(port) +
                 "\r\nAuthUrl=https://localhost:" + std::to_string(port) + "\r\n");
  const auto r = run_.Run({"/ONCE"}, {{"TMPDIR", tmp_.path()}});
  EXPECT_EQ(r.exit_status, 1);
  ASSERT_EQ(run_.LogLines().size(), 1u);
  EXPECT_TRUE(Rows().empty());
}


}  // namespace
}  // namespace quirada::testing
