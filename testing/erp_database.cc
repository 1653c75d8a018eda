#include "testing/erp_database.h"

#include <ibase.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "dispatch/document_kinds.h"
#include "firebird/fb_api.h"
#include "testing/erp_schema.h"
#include "base/errors.h"
#include "base/platform.h"
#include "base/text.h"

namespace quirada::testing {
namespace {

constexpr const char* kFolder = "/tmp/quirada-fb-tests/";
// Passwords the fixtures may leave behind when a test run is killed mid-change.
constexpr const char* kKnownTestPasswords[] = {"zumbrelok", "quirada-outra-senha"};

// The process's share of the lock over SYSDBA's password: shared while ErpDatabase objects exist,
// exclusive while a SysdbaPasswordChange exists. One descriptor per process, so that the process
// can turn its own shared lock into the exclusive one.
class ServerLock {
 public:
  static ServerLock& Instance() {
    static ServerLock lock;
    return lock;
  }

#ifdef _WIN32
  // The Windows build's tests run under Wine after the Linux ones, never beside them, and change
  // no password: there is nothing to keep apart.
  void AcquireShared() {}
  void ReleaseShared() {}
  void AcquireExclusive() {}
  void ReleaseExclusive() {}
#else
  void AcquireShared() {
    if (shared_++ == 0 && !exclusive_) Flock(LOCK_SH);
  }
  void ReleaseShared() {
    if (--shared_ == 0 && !exclusive_) Flock(LOCK_UN);
  }
  void AcquireExclusive() {
    Flock(LOCK_EX);
    exclusive_ = true;
  }
  void ReleaseExclusive() {
    exclusive_ = false;
    Flock(shared_ > 0 ? LOCK_SH : LOCK_UN);
  }

 private:
  ServerLock() {
    const std::string path = TestDatabaseFolder() + "sysdba-password.lock";
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) throw Exception("Não foi possível abrir " + path + ": " + std::strerror(errno));
    fchmod(fd_, 0666);
  }

  void Flock(int op) {
    while (flock(fd_, op) != 0) {
      if (errno != EINTR) throw Exception(std::string("flock: ") + std::strerror(errno));
    }
  }

  int fd_ = -1;
  int shared_ = 0;
  bool exclusive_ = false;
#endif
};

std::string ConnectionString(const std::string& path) { return std::string(kTestServer) + "/3050:" + path; }

// The statements of a script, split at the ';' that are not inside literals or comments; COMMIT
// statements are left out (every statement is committed on its own).
std::vector<std::string> SplitScript(const std::string& script) {
  std::vector<std::string> statements;
  std::string current;
  for (std::size_t i = 0; i < script.size(); ++i) {
    const char c = script[i];
    if (c == '\'' || c == '"') {
      const std::size_t end = script.find(c, i + 1);
      const std::size_t stop = end == std::string::npos ? script.size() : end + 1;
      current.append(script, i, stop - i);
      i = stop - 1;
    } else if (c == '-' && i + 1 < script.size() && script[i + 1] == '-') {
      const std::size_t end = script.find('\n', i);
      i = end == std::string::npos ? script.size() : end;
      current += '\n';
    } else if (c == '/' && i + 1 < script.size() && script[i + 1] == '*') {
      const std::size_t end = script.find("*/", i + 2);
      i = end == std::string::npos ? script.size() : end + 1;
    } else if (c == ';') {
      statements.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  statements.push_back(current);
  std::vector<std::string> kept;
  for (std::string& s : statements) {
    const std::size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) continue;
    s = s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
    std::string upper = s;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    if (upper == "COMMIT" || upper == "COMMIT WORK") continue;
    kept.push_back(s);
  }
  return kept;
}

// `db_charset`: the character set of a database to create; empty to attach.
FbOwned<Firebird::IXpbBuilder> Dpb(FbStatus& st, const std::string& password,
                                   const std::string& db_charset = "",
                                   const std::string& connection_charset = "UTF8", int dialect = 3) {
  FbOwned<Firebird::IXpbBuilder> dpb(FbUtil()->getXpbBuilder(&st, Firebird::IXpbBuilder::DPB, nullptr, 0));
  dpb->insertString(&st, isc_dpb_user_name, kTestUser);
  dpb->insertString(&st, isc_dpb_password, password.c_str());
  dpb->insertString(&st, isc_dpb_lc_ctype, connection_charset.c_str());
  dpb->insertInt(&st, isc_dpb_sql_dialect, dialect);
  if (!db_charset.empty()) dpb->insertString(&st, isc_dpb_set_db_charset, db_charset.c_str());
  return dpb;
}

void ExecuteRaw(Firebird::IAttachment* attachment, const std::string& sql, int dialect = 3) {
  FbStatus st;
  FbPtr<Firebird::ITransaction> tra(attachment->startTransaction(&st, 0, nullptr));
  attachment->execute(&st, tra.get(), static_cast<unsigned>(sql.size()), sql.c_str(),
                      static_cast<unsigned>(dialect), nullptr, nullptr, nullptr, nullptr);
  tra->commit(&st);
  (void)tra.release();
}

void CreateDatabase(const std::string& path, const std::string& charset, int dialect) {
  FbCall([&] {
    FbStatus st;
    FbPtr<Firebird::IProvider> provider(FbMaster()->getDispatcher());
    auto dpb = Dpb(st, kTestPassword, charset, "UTF8", dialect);
    FbPtr<Firebird::IAttachment> attachment(provider->createDatabase(
        &st, ConnectionString(path).c_str(), dpb->getBufferLength(&st), dpb->getBuffer(&st)));
    for (const std::string& statement : SplitScript(ErpSchemaSql()))
      ExecuteRaw(attachment.get(), statement, dialect);
    attachment->detach(&st);
    (void)attachment.release();
  });
}

// Drops the database, ending other attachments first; retries while the server still counts a
// just-ended attachment.
void DropDatabase(const std::string& path) {
  std::string last_error;
  for (int attempt = 0; attempt < 50; ++attempt) {
    try {
      FbCall([&] {
        FbStatus st;
        FbPtr<Firebird::IProvider> provider(FbMaster()->getDispatcher());
        auto dpb = Dpb(st, kTestPassword);
        FbPtr<Firebird::IAttachment> attachment(provider->attachDatabase(
            &st, ConnectionString(path).c_str(), dpb->getBufferLength(&st), dpb->getBuffer(&st)));
        ExecuteRaw(attachment.get(), "DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID <> CURRENT_CONNECTION");
        attachment->dropDatabase(&st);
        (void)attachment.release();
      });
      return;
    } catch (const std::exception& e) {
      last_error = e.what();
      if (last_error.find("No such file") != std::string::npos) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::fprintf(stderr, "ErpDatabase: could not drop %s: %s\n", path.c_str(), last_error.c_str());
}

void BindText(FbQuery& q, const char* name, const std::optional<std::string>& value) {
  if (value)
    q.SetParamString(name, *value);
  else
    q.SetParamNull(name);
}

}  // namespace

std::map<std::string, std::optional<std::string>> FlagsOfEveryKind(const std::optional<std::string>& value) {
  std::map<std::string, std::optional<std::string>> flags;
  for (const TipoDocumento& tipo : kTiposDocumento) flags[std::string(tipo.parametro)] = value;
  return flags;
}

std::string TestDatabaseFolder() {
  // The server's folder; under Wine the Linux /tmp is reached as the same path.
  std::error_code ec;
  if (std::filesystem::create_directory(kFolder, ec)) {
    std::filesystem::permissions(kFolder, std::filesystem::perms::all | std::filesystem::perms::sticky_bit, ec);
  }
  return kFolder;
}

std::vector<std::string> TestConnectionParams(const std::string& database, const std::string& password,
                                              const std::string& server, const std::string& charset) {
  return {
      "DriverID=FB",    "Pooled=false",      "Database=" + database,  "User_Name=" + std::string(kTestUser),
      "Password=" + password, "Protocol=TCPIP", "Server=" + server, "Port=3050",
      "SQLDialect=3",   "CharacterSet=" + charset, "ExtendedMetaData=False", "OpenMode=Open",
  };
}

ErpDatabase::ErpDatabase(const std::string& charset, int dialect) : dialect_(dialect) {
  static std::atomic<int> counter{0};
  std::random_device random;
  const std::string folder = TestDatabaseFolder();
  do {
    path_ = folder + "erp-" + std::to_string(CurrentProcessId()) + "-" + std::to_string(counter++) + "-" +
            std::to_string(random() % 1000000) + ".fdb";
  } while (std::filesystem::exists(path_));

  ServerLock::Instance().AcquireShared();
  try {
    CreateDatabase(path_, charset, dialect);
    connection_.Params = ConnectionParams();
    connection_.Connect();
  } catch (...) {
    ServerLock::Instance().ReleaseShared();
    throw;
  }
}

ErpDatabase::~ErpDatabase() {
  try {
    connection_.Disconnect();
  } catch (...) {
  }
  DropDatabase(path_);
  ServerLock::Instance().ReleaseShared();
}

void ErpDatabase::ExecuteIn(const std::string& charset, const std::string& sql) {
  FbCall([&] {
    FbStatus st;
    FbPtr<Firebird::IProvider> provider(FbMaster()->getDispatcher());
    auto dpb = Dpb(st, kTestPassword, "", charset, dialect_);
    FbPtr<Firebird::IAttachment> attachment(provider->attachDatabase(
        &st, ConnectionString(path_).c_str(), dpb->getBufferLength(&st), dpb->getBuffer(&st)));
    ExecuteRaw(attachment.get(), sql, dialect_);
    attachment->detach(&st);
    (void)attachment.release();
  });
}

void ErpDatabase::WriteIni(const std::string& dir, const std::optional<std::string>& servidor) const {
  std::ofstream out(dir + "Morvant.ini", std::ios::binary | std::ios::trunc);
  out << "[Morvant]\r\n";
  if (servidor) out << "Servidor=" << Utf8ToLatin1(*servidor) << "\r\n";
  out << "Caminho=" << Utf8ToLatin1(path_) << "\r\n";
  if (!out.flush()) throw Exception("Não foi possível gravar " + dir + "Morvant.ini");
}

FbConnection& ErpDatabase::connection() {
  connection_.Connect();
  return connection_;
}

void ErpDatabase::Execute(const std::string& sql) {
  FbQuery q(connection(), transaction_, sql);
  q.ExecSQL();
}

void ErpDatabase::ClearTables() {
  for (const char* table : {"PADRAOII", "NOTASENTRADASESAIDAS", "XML_CANCELAMENTO", "QUIRADA_ENVIOS_XML"})
    Execute(std::string("DELETE FROM ") + table);
}

void ErpDatabase::InsertSettings(const SettingsRow& row) {
  for (const auto& [parametro, value] : row.enviar) {
    bool known = false;
    for (const TipoDocumento& tipo : kTiposDocumento) known = known || tipo.parametro == parametro;
    if (!known) throw Exception("No kind of document has the parameter " + parametro);
  }
  std::string columns, values;
  for (const TipoDocumento& tipo : kTiposDocumento) {
    columns += ", " + std::string(tipo.flag);
    values += ", :" + std::string(tipo.parametro);
  }
  FbQuery q(connection(), transaction_,
            "INSERT INTO PADRAOII (CODIGO, QUIRADA_AUTORIZATION_KEY, QUIRADA_INTEGRATION_KEY, "
            "QUIRADA_DATAINICIALENVIO" + columns + ") VALUES (:CODIGO, :AUT, :INT, :DATA" + values + ")");
  q.SetParamInteger("CODIGO", row.codigo);
  BindText(q, "AUT", row.autorization_key);
  BindText(q, "INT", row.integration_key);
  if (row.data_inicial_envio)
    q.SetParamDateTime("DATA", *row.data_inicial_envio);
  else
    q.SetParamNull("DATA");
  for (const TipoDocumento& tipo : kTiposDocumento) {
    const auto flag = row.enviar.find(std::string(tipo.parametro));
    BindText(q, std::string(tipo.parametro).c_str(), flag == row.enviar.end() ? std::nullopt : flag->second);
  }
  q.ExecSQL();
}

void ErpDatabase::InsertNote(const NoteRow& row) {
  FbQuery q(connection(), transaction_,
            "INSERT INTO NOTASENTRADASESAIDAS (SEQUENCIAL, CHAVENFE, XMLNFE, DATA, MODELONOTAFISCAL, EMISSAO, "
            "STATUSNFE) VALUES (:SEQ, :CHAVE, :XML, :DATA, :MODELO, :EMISSAO, :STATUS)");
  q.SetParamInteger("SEQ", row.sequencial);
  q.SetParamString("CHAVE", row.chave);
  q.SetParamString("XML", row.xml);
  q.SetParamDateTime("DATA", row.data);
  q.SetParamString("MODELO", row.modelo);
  q.SetParamString("EMISSAO", row.emissao);
  BindText(q, "STATUS", row.status);
  q.ExecSQL();
}

void ErpDatabase::InsertCancellation(const CancellationRow& row) {
  FbQuery q(connection(), transaction_,
            "INSERT INTO XML_CANCELAMENTO (SEQUENCIAL, CHAVE_CANC, XML, DATA) VALUES (:SEQ, :CHAVE, :XML, :DATA)");
  q.SetParamInteger("SEQ", row.sequencial);
  q.SetParamString("CHAVE", row.chave);
  q.SetParamString("XML", row.xml);
  q.SetParamDateTime("DATA", row.data);
  q.ExecSQL();
}

void ErpDatabase::InsertDocumentOfKind(std::string_view parametro, long long sequencial, TDateTime data) {
  const std::string chave = "kind" + std::to_string(sequencial);
  // The shape of a document of each kind, as the pending query's branch of its flag selects it.
  const struct {
    std::string_view parametro;
    const char* modelo;  // nullptr: a cancellation
    const char* emissao;
  } kShapes[] = {{"NFE_P", "55", "P"}, {"NFE_T", "55", "T"}, {"NFCE", "65", "P"}, {"SAT", "59", "P"},
                 {"CANC", nullptr, nullptr}};
  for (const auto& shape : kShapes) {
    if (shape.parametro != parametro) continue;
    if (shape.modelo == nullptr)
      InsertCancellation({sequencial, chave, "<canc/>", data});
    else
      InsertNote({sequencial, chave, "<nfe/>", data, shape.modelo, shape.emissao, "E"});
    return;
  }
  throw Exception("No document of kind " + std::string(parametro) + " is known to the fixture");
}

void ErpDatabase::InsertRegister(const RegisterRow& row) {
  FbQuery q(connection(), transaction_,
            "INSERT INTO QUIRADA_ENVIOS_XML (SEQUENCIAL, TIPOXML, DATAHORAENVIO, ID_ENVIO, CODIGORETORNO) "
            "VALUES (:SEQ, :TIPO, :DATA, :ID, :COD)");
  q.SetParamInteger("SEQ", row.sequencial);
  q.SetParamString("TIPO", row.tipo_xml);
  q.SetParamDateTime("DATA", row.data_hora_envio);
  q.SetParamString("ID", row.id_envio);
  q.SetParamString("COD", row.codigo_retorno);
  q.ExecSQL();
}

std::vector<RegisterRow> ErpDatabase::RegisterRows() {
  FbQuery q(connection(), transaction_,
            "SELECT SEQUENCIAL, TIPOXML, DATAHORAENVIO, ID_ENVIO, CODIGORETORNO FROM QUIRADA_ENVIOS_XML "
            "ORDER BY TIPOXML, SEQUENCIAL");
  std::vector<RegisterRow> rows;
  for (q.Open(); !q.Eof(); q.Next()) {
    rows.push_back({q.FieldAsInteger("SEQUENCIAL"), q.FieldAsString("TIPOXML"), q.FieldAsDateTime("DATAHORAENVIO"),
                    q.FieldAsString("ID_ENVIO"), q.FieldAsString("CODIGORETORNO")});
  }
  return rows;
}

TDateTime ErpDatabase::ServerDate() {
  // 'TODAY' rather than CURRENT_DATE, which a dialect 1 database refuses.
  FbQuery q(connection(), transaction_, "SELECT CAST('TODAY' AS DATE) AS HOJE FROM RDB$DATABASE");
  q.Open();
  return q.FieldAsDateTime("HOJE");
}

void ErpDatabase::KillOtherAttachments() {
  Execute("DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID <> CURRENT_CONNECTION");
}

SysdbaPasswordChange::SysdbaPasswordChange(const ErpDatabase& database, const std::string& password) {
  ServerLock::Instance().AcquireExclusive();
  auto alter = [this](const std::string& to) {
    std::string quoted;
    for (char c : to) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    FbQuery q(connection_, transaction_, "ALTER USER SYSDBA PASSWORD '" + quoted + "'");
    q.ExecSQL();
  };
  try {
    connection_.Params = database.ConnectionParams();
    try {
      connection_.Connect();
    } catch (const Exception&) {
      // A killed run may have left a test password in place: find it and put the right one back.
      for (const char* known : kKnownTestPasswords) {
        connection_.Params = database.ConnectionParams(known);
        try {
          connection_.Connect();
          break;
        } catch (const Exception&) {
        }
      }
      if (!connection_.Connected()) throw;
      alter(kTestPassword);
    }
    alter(password);
  } catch (...) {
    ServerLock::Instance().ReleaseExclusive();
    throw;
  }
}

SysdbaPasswordChange::~SysdbaPasswordChange() {
  try {
    FbQuery q(connection_, transaction_, std::string("ALTER USER SYSDBA PASSWORD '") + kTestPassword + "'");
    q.ExecSQL();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "SysdbaPasswordChange: could not put the test password back: %s\n", e.what());
  }
  try {
    connection_.Disconnect();
  } catch (...) {
  }
  ServerLock::Instance().ReleaseExclusive();
}

}  // namespace quirada::testing
