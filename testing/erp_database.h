// A fresh ERP database on the test Firebird server (127.0.0.1:3050, SYSDBA), for tests, the
// end-to-end tests and the demo.
//
// ErpDatabase creates a new database (ISO8859_1 and SQL dialect 3 unless told otherwise) with the
// ERP tables of erp_schema.sql in /tmp/quirada-fb-tests/ (a folder the firebird user can write),
// offers helpers to fill and read the tables, and drops the database when it goes away. While one exists, the process holds a
// shared lock that SysdbaPasswordChange waits for, so changing SYSDBA's password server-wide never
// pulls the server from under a test of another process that uses these fixtures.
//
// Helpers insert through the connection layer under test (text rules included, in the service's
// connection character set UTF8, so that the server keeps every character the column's character
// set holds) and read back with plain SQL; ExecuteIn runs a statement in a connection character set
// of the test's choosing (NONE: the statement's bytes are stored as they are). Failures are
// Exceptions.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "firebird/fb_connection.h"
#include "testing/test_files.h"
#include "firebird/fb_query.h"
#include "dispatch/register_write.h"
#include "base/datetime.h"

namespace quirada::testing {

inline constexpr const char* kTestServer = "127.0.0.1";
inline constexpr const char* kTestUser = "SYSDBA";
inline constexpr const char* kTestPassword = "gizmor";

// The digits of document `seq`'s key: the name of its XML file and of its upload.
inline std::string DocumentNumber(long long seq) { return "3525" + std::to_string(100000 + seq); }
inline std::string DocumentKey(long long seq) { return "NFe" + DocumentNumber(seq); }

// "/tmp/quirada-fb-tests/", created with mode 1777 when missing.
std::string TestDatabaseFolder();

// The twelve connection parameter lines of the service for `database` on the test server.
std::vector<std::string> TestConnectionParams(const std::string& database,
                                              const std::string& password = kTestPassword,
                                              const std::string& server = kTestServer,
                                              const std::string& charset = "UTF8");

// The flag of every kind of document (kTiposDocumento), by the kind's parameter ("NFE_P", ...),
// each `value` (nullopt: NULL).
std::map<std::string, std::optional<std::string>> FlagsOfEveryKind(const std::optional<std::string>& value);

struct SettingsRow {
  long long codigo = 1;
  std::optional<std::string> autorization_key = "chave-contabilidade";
  std::optional<std::string> integration_key = "chave-integracao";
  std::optional<TDateTime> data_inicial_envio;  // NULL when absent
  // The flags that enable the kinds of document, by the kind's parameter; a name outside
  // kTiposDocumento fails the insert.
  std::map<std::string, std::optional<std::string>> enviar = FlagsOfEveryKind("Y");
};

struct NoteRow {
  long long sequencial = 0;
  std::string chave;
  std::string xml;
  TDateTime data = 0;
  std::string modelo = "55";
  std::string emissao = "P";
  std::optional<std::string> status = "E";
};

struct CancellationRow {
  long long sequencial = 0;
  std::string chave;
  std::string xml;
  TDateTime data = 0;
};

using RegisterRow = RegistroEnvio;

class ErpDatabase {
 public:
  // `charset`: the database's default character set; `dialect`: its SQL dialect (1 or 3).
  explicit ErpDatabase(const std::string& charset = "ISO8859_1", int dialect = 3);
  ~ErpDatabase();
  ErpDatabase(const ErpDatabase&) = delete;
  ErpDatabase& operator=(const ErpDatabase&) = delete;

  // The database file as the server sees it.
  const std::string& path() const { return path_; }
  std::vector<std::string> ConnectionParams(const std::string& password = kTestPassword) const {
    return TestConnectionParams(path_, password);
  }
  // Writes `dir`Morvant.ini naming this database ("Servidor" left out when `servidor` is empty).
  void WriteIni(const std::string& dir, const std::optional<std::string>& servidor = kTestServer) const;

  // Runs one statement on the fixture's own connection, committed at once.
  void Execute(const std::string& sql);
  // Runs one statement over a connection of its own in the connection character set `charset`
  // ("UTF8", "NONE", ...), its text sent as the bytes given, committed at once.
  void ExecuteIn(const std::string& charset, const std::string& sql);
  // As ExecuteIn("UTF8", sql).
  void ExecuteUtf8(const std::string& sql) { ExecuteIn("UTF8", sql); }
  void ClearTables();
  void InsertSettings(const SettingsRow& row);
  void InsertNote(const NoteRow& row);
  void InsertCancellation(const CancellationRow& row);
  // Inserts, dated `data`, one document that only the flag of the kind of parameter `parametro`
  // selects: a note of its model and issuer, or a cancellation.
  void InsertDocumentOfKind(std::string_view parametro, long long sequencial, TDateTime data);
  void InsertRegister(const RegisterRow& row);
  // Every register row, ordered by TIPOXML and SEQUENCIAL.
  std::vector<RegisterRow> RegisterRows();
  // The server's CURRENT_DATE.
  TDateTime ServerDate();
  // Ends every attachment to the database but the fixture's own (as an administrator would).
  void KillOtherAttachments();
  // The fixture's own connection, for ad-hoc queries (connected again when a test closed it).
  FbConnection& connection();
  FbTransaction& transaction() { return transaction_; }

 private:
  std::string path_;
  int dialect_ = 3;
  FbConnection connection_;
  FbTransaction transaction_{connection_, FbTransactionMode::kReadWrite};
};

// Sets SYSDBA's password on the whole test server for its lifetime and puts kTestPassword back
// when it goes away (also when the test fails), through an attachment it keeps open. Waits until
// no other process holds an ErpDatabase. A password left behind by a killed test run is repaired
// first.
class SysdbaPasswordChange {
 public:
  SysdbaPasswordChange(const ErpDatabase& database, const std::string& password);
  ~SysdbaPasswordChange();
  SysdbaPasswordChange(const SysdbaPasswordChange&) = delete;
  SysdbaPasswordChange& operator=(const SysdbaPasswordChange&) = delete;

 private:
  FbConnection connection_;
  FbTransaction transaction_{connection_, FbTransactionMode::kReadWrite};
};

}  // namespace quirada::testing
