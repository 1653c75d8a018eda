// The service against databases set up as Brazilian ERP installations have them: every character
// set, dialect 1, a register the service cannot write, a server on another port. The real executable, the real Firebird server
// and the local platform over TLS; what the platform received is read back byte for byte.
#include <iconv.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/text.h"
#include "testing/erp_database.h"
#include "testing/executable_test.h"
#include "testing/local_platform.h"
#include "testing/service_process.h"
#include "testing/tcp_relay.h"

namespace quirada::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool Has(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

std::string Decl(const std::string& label) { return "<?xml version=\"1.0\" encoding=\"" + label + "\"?>"; }

// The label the XML declaration of `bytes` names, "" when none.
std::string DeclaredLabel(const std::string& bytes) {
  if (!bytes.starts_with("<?xml")) return "";
  const size_t end = bytes.find("?>");
  const size_t at = bytes.find("encoding=\"");
  if (at == std::string::npos || at > end) return "";
  return bytes.substr(at + 10, bytes.find('"', at + 10) - at - 10);
}

// `bytes` read as XML is read: in the encoding its declaration names (UTF-8 without one), into
// UTF-8, by the C library's own converter. Nothing when they are not text of that encoding.
std::optional<std::string> AsXmlReadsIt(const std::string& bytes) {
  const std::string label = DeclaredLabel(bytes);
  iconv_t cd = ::iconv_open("UTF-8", label.empty() ? "UTF-8" : label.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string in = bytes, out(bytes.size() * 4 + 16, '\0');
  char* inp = in.data();
  char* outp = out.data();
  size_t inleft = in.size(), outleft = out.size();
  const size_t rc = ::iconv(cd, &inp, &inleft, &outp, &outleft);
  ::iconv_close(cd);
  if (rc == static_cast<size_t>(-1) || inleft != 0) return std::nullopt;
  out.resize(out.size() - outleft);
  return out;
}

// The characters between <x> and </x>.
std::string Content(const std::string& text) {
  const size_t open = text.find("<x>"), close = text.find("</x>");
  if (open == std::string::npos || close == std::string::npos) return "<no x element>";
  return text.substr(open + 3, close - open - 3);
}

// A note of today, model 65, inserted with its text as the bytes given (a connection in character
// set NONE: the server stores them as they are, as the characters they are in the column's set).
void InsertRawNote(ErpDatabase& db, long long seq, const std::string& xml_bytes) {
  db.ExecuteIn("NONE", "INSERT INTO NOTASENTRADASESAIDAS (SEQUENCIAL, CHAVENFE, XMLNFE, DATA, "
                       "MODELONOTAFISCAL, EMISSAO, STATUSNFE) VALUES (" + std::to_string(seq) + ", '" +
                       DocumentKey(seq) + "', '" + xml_bytes + "', CURRENT_DATE, '65', 'P', 'E')");
}

// One service folder and its own temporary folder, pointed at a database and a platform.
struct Installation {
  RunFolder run;
  TempFolder tmp;

  void Configure(const ErpDatabase& db, const LocalPlatform& platform, const std::string& morvant = "") {
    fs::remove(run.dir() + "Morvant.ini");
    db.WriteIni(run.dir());
    if (!morvant.empty()) run.AppendIni(morvant);
    run.AppendIni(platform.IniSection());
  }
  std::map<std::string, std::string> Env() const { return {{"TMPDIR", tmp.path()}}; }
  ProcessResult Once() { return run.Run({"/ONCE"}, Env()); }
  Process Start() { return run.Start({"/ONCE"}, Env()); }
  std::string Log() const {
    std::string text;
    for (const auto& line : run.LogLines()) text += Latin1ToUtf8(line) + "\n";
    return text;
  }
};

// Uploads by file name.
std::map<std::string, JournalEntry> UploadsByFile(const LocalPlatform& platform) {
  std::map<std::string, JournalEntry> files;
  for (auto& e : platform.Uploads()) files[e["file"]] = e;
  return files;
}

// Every character the ERP stored reaches the platform, each document read on its own, whatever
// the database's or the column's character set.
TEST(FieldDatabaseTest, EveryCharacterStoredReachesThePlatformInTheEncodingItsDeclarationNames) {
  struct Document {
    long long seq;
    std::string stored;                   // the bytes the database holds (in the column's set)
    std::optional<std::string> content;   // the characters of <x>; nothing: not sent
    bool same_bytes = false;              // the upload is the stored bytes and CR LF, untouched
  };
  const std::string quotes_1252 = "\x80 \x93" "aspas\x94 \x96 a\xE7\xE3o";
  const struct Case {
    const char* what;
    const char* charset;
    std::vector<Document> documents;
  } cases[] = {
      {"WIN1252 database",
       "WIN1252",
       {{1, Decl("UTF-8") + "<x>" + quotes_1252 + "</x>", "€ “aspas” – ação"},
        {2, "<x>" + quotes_1252 + "</x>", "€ “aspas” – ação"},
        {3, Decl("windows-1252") + "<x>" + quotes_1252 + "</x>", "€ “aspas” – ação", true}}},
      {"UTF8 database, a euro between two ISO-8859-1 notes",
       "UTF8",
       {{1, Decl("ISO-8859-1") + "<x>ação</x>", "ação"},
        {2, Decl("UTF-8") + "<x>10 €</x>", "10 €", true},
        {3, Decl("ISO-8859-1") + "<x>João</x>", "João"},
        {4, Decl("windows-1252") + "<x>“ção”</x>", "“ção”"}}},
      {"NONE database holding Windows-1252 and UTF-8 bytes",
       "NONE",
       {{1, Decl("UTF-8") + "<x>\x80\x93\x94\x96</x>", "€“”–"},
        {2, Decl("UTF-8") + "<x>ação €</x>", "ação €", true},
        {3, Decl("UTF-8") + "<x>a\x81</x>", std::nullopt}}},
      {"ISO8859_1 database where a Windows ERP wrote 0x93 and 0x94",
       "ISO8859_1",
       {{1, Decl("UTF-8") + "<x>\x93ol\x94</x>", "“ol”"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ErpDatabase db(c.charset);
    db.InsertSettings({});
    for (const Document& d : c.documents) InsertRawNote(db, d.seq, d.stored);
    LocalPlatform platform({}, {"--keep-uploads"});
    Installation service;
    service.Configure(db, platform);
    const ProcessResult r = service.Once();
    bool refused = false;
    for (const Document& d : c.documents) refused |= !d.content;
    EXPECT_EQ(r.exit_status, refused ? 3 : 0) << r.err << service.Log();

    const auto uploads = UploadsByFile(platform);
    for (const Document& d : c.documents) {
      SCOPED_TRACE("document " + std::to_string(d.seq));
      const auto upload = uploads.find(DocumentNumber(d.seq) + ".xml");
      if (!d.content) {
        EXPECT_EQ(upload, uploads.end()) << "a document that cannot be made faithful is not sent";
        EXPECT_TRUE(Has(service.Log(), "Documento " + DocumentKey(d.seq) + " com XML que não pode")) << service.Log();
        continue;
      }
      ASSERT_NE(upload, uploads.end());
      const std::string bytes = platform.UploadedBytes(upload->second);
      ASSERT_TRUE(bytes.ends_with("\r\n"));
      const std::optional<std::string> read = AsXmlReadsIt(bytes);
      ASSERT_TRUE(read) << "not text of its declared encoding \"" << DeclaredLabel(bytes) << "\"";
      EXPECT_EQ(Content(*read), *d.content);
      if (d.same_bytes) EXPECT_EQ(bytes, d.stored + "\r\n");
    }
    EXPECT_EQ(db.RegisterRows().size(), uploads.size());
  }
}

// A settings value outside Latin-1 is read as it is; only the integration key, which goes in a
// header, must be printable ASCII.
TEST(FieldDatabaseTest, SettingsOutsideLatin1AreReadAndOnlyTheIntegrationKeyMustBeAscii) {
  const struct {
    const char* what;
    std::string column;
    int exit_status;
  } cases[] = {
      {"authorization key with –€", "QUIRADA_AUTORIZATION_KEY", 0},
      {"integration key with –€", "QUIRADA_INTEGRATION_KEY", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ErpDatabase db("WIN1252");
    db.InsertSettings({});
    db.ExecuteIn("NONE", "UPDATE PADRAOII SET " + c.column + " = 'chave \x96\x80'");
    InsertRawNote(db, 1, "<x>1</x>");
    LocalPlatform platform;
    Installation service;
    service.Configure(db, platform);
    const ProcessResult r = service.Once();
    EXPECT_EQ(r.exit_status, c.exit_status) << r.err << service.Log();
    if (c.exit_status == 0) {
      EXPECT_EQ(db.RegisterRows().size(), 1u);
    } else {
      EXPECT_TRUE(platform.Journal().empty()) << "nothing is asked of the platform";
      EXPECT_TRUE(Has(service.Log(), "PADRAOII.QUIRADA_INTEGRATION_KEY")) << service.Log();
    }
  }
}

// Older ERPs keep dialect 1 databases: the three queries run there, and /VERIFICAR says so.
TEST(FieldDatabaseTest, ADialect1DatabaseIsServed) {
  ErpDatabase db("WIN1252", 1);
  db.InsertSettings({});
  const TDateTime today = db.ServerDate();
  for (long long seq = 1; seq <= 2; ++seq)
    db.InsertNote({.sequencial = seq, .chave = DocumentKey(seq), .xml = "<NFe/>", .data = today, .modelo = "65"});
  db.InsertNote({.sequencial = 3, .chave = DocumentKey(3), .xml = "<NFe/>", .data = today - 181, .modelo = "65"});
  LocalPlatform platform;
  Installation service;
  service.Configure(db, platform);
  const ProcessResult check = service.run.Run({"/VERIFICAR"}, service.Env());
  EXPECT_TRUE(Has(check.out, "dialeto SQL 1")) << check.out;
  EXPECT_TRUE(Has(check.out, "Consulta dos documentos pendentes: OK")) << check.out;
  EXPECT_TRUE(Has(check.out, "Registro dos envios (QUIRADA_ENVIOS_XML): OK")) << check.out;
  const ProcessResult r = service.Once();
  EXPECT_EQ(r.exit_status, 0) << r.err << service.Log();
  const auto rows = db.RegisterRows();
  ASSERT_EQ(rows.size(), 2u) << "the note of 181 days ago stays out of the window";
  EXPECT_EQ(rows[1].sequencial, 2);
}

// Sets the database read-only for the object's life.
class ReadOnlyDatabase {
 public:
  explicit ReadOnlyDatabase(ErpDatabase& db) : db_(db) { Mode("read_only"); }
  ~ReadOnlyDatabase() { Mode("read_write"); }

 private:
  void Mode(const std::string& mode) {
    db_.connection().Disconnect();  // gfix wants the database to itself
    const std::string command = "gfix -user SYSDBA -password " + std::string(kTestPassword) + " -mode " +
                                mode + " 127.0.0.1/3050:" + db_.path();
    if (std::system(command.c_str()) != 0) ADD_FAILURE() << command;
  }
  ErpDatabase& db_;
};

// A server-wide user that may only read the ERP's tables, for the object's life.
class ReadOnlyUser {
 public:
  explicit ReadOnlyUser(ErpDatabase& db) : db_(db), name_("QLEITOR" + std::to_string(::getpid())) {
    db_.Execute("CREATE USER " + name_ + " PASSWORD 'leitor'");
    for (const char* table : {"PADRAOII", "NOTASENTRADASESAIDAS", "XML_CANCELAMENTO", "QUIRADA_ENVIOS_XML"})
      db_.Execute(std::string("GRANT SELECT ON ") + table + " TO " + name_);
  }
  ~ReadOnlyUser() {
    try {
      db_.Execute("DROP USER " + name_);
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
  }
  const std::string& name() const { return name_; }

 private:
  ErpDatabase& db_;
  std::string name_;
};

// Nothing is uploaded that could not be recorded: a register the service cannot write ends the
// cycle before the first upload, saying what is wrong and how to mend it.
TEST(FieldDatabaseTest, ARegisterThatCannotBeWrittenEndsTheCycleBeforeAnyUpload) {
  const struct {
    const char* what;
    std::string fix;  // a piece of the log line
  } cases[] = {
      {"ID_ENVIO shorter than the platform's ids", "ALTER TABLE QUIRADA_ENVIOS_XML ALTER ID_ENVIO TYPE VARCHAR(64)"},
      {"a read-only database", "gfix -mode read_write"},
      {"a user who may only read", "GRANT SELECT, INSERT, UPDATE ON QUIRADA_ENVIOS_XML TO QLEITOR"},
      {"no register table", "CREATE TABLE QUIRADA_ENVIOS_XML (SEQUENCIAL INTEGER NOT NULL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ErpDatabase db;
    db.InsertSettings({});
    InsertRawNote(db, 1, "<x>1</x>");
    LocalPlatform platform;
    Installation service;
    std::optional<ReadOnlyUser> user;
    std::string morvant;
    if (Has(c.what, "shorter")) {
      db.Execute("DROP TABLE QUIRADA_ENVIOS_XML");
      db.Execute("CREATE TABLE QUIRADA_ENVIOS_XML (SEQUENCIAL INTEGER NOT NULL, TIPOXML CHAR(1) NOT NULL, "
                 "DATAHORAENVIO TIMESTAMP, ID_ENVIO VARCHAR(20), CODIGORETORNO VARCHAR(10))");
    } else if (Has(c.what, "only read")) {
      user.emplace(db);
      morvant = "Usuario=" + user->name() + "\r\nSenha=leitor\r\n";
    } else if (Has(c.what, "no register")) {
      db.Execute("DROP TABLE QUIRADA_ENVIOS_XML");
    }
    service.Configure(db, platform);
    if (!morvant.empty()) {
      const std::string ini = ReadFileBytes(service.run.dir() + "Morvant.ini");
      WriteFileBytes(service.run.dir() + "Morvant.ini",
                     ini.substr(0, ini.find("[Quirada]")) + morvant + ini.substr(ini.find("[Quirada]")));
    }
    std::optional<ReadOnlyDatabase> read_only;
    if (Has(c.what, "read-only")) read_only.emplace(db);

    const ProcessResult check = service.run.Run({"/VERIFICAR"}, service.Env());
    EXPECT_TRUE(Has(check.out, "Registro dos envios (QUIRADA_ENVIOS_XML): FALHOU")) << check.out;
    const ProcessResult r = service.Once();
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_TRUE(platform.Uploads().empty()) << "nothing uploaded that could not be recorded";
    const auto lines = service.run.LogLines();
    ASSERT_EQ(lines.size(), 1u) << service.Log();
    EXPECT_TRUE(Has(service.Log(), c.fix)) << service.Log();
    EXPECT_TRUE(Has(service.Log(), "Nada foi enviado.")) << service.Log();
  }
}

TEST(FieldDatabaseTest, APortInServidorReachesThatPort) {
  ErpDatabase db;
  db.InsertSettings({});
  InsertRawNote(db, 1, "<x>1</x>");
  TcpRelay relay(3050);
  LocalPlatform platform;
  Installation service;
  fs::remove(service.run.dir() + "Morvant.ini");
  db.WriteIni(service.run.dir(), "127.0.0.1/" + std::to_string(relay.port()));
  service.run.AppendIni(platform.IniSection());
  const ProcessResult check = service.run.Run({"/VERIFICAR"}, service.Env());
  EXPECT_TRUE(Has(check.out, "Banco de dados (127.0.0.1/" + std::to_string(relay.port()) + ":" + db.path() +
                                 "): OK"))
      << check.out;
  const ProcessResult r = service.Once();
  EXPECT_EQ(r.exit_status, 0) << r.err << service.Log();
  EXPECT_EQ(db.RegisterRows().size(), 1u);
  EXPECT_GE(relay.connections(), 2) << "both runs went through the port named";
}

}  // namespace
}  // namespace quirada::testing
