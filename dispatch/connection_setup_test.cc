#include "dispatch/connection_setup.h"

#include <gtest/gtest.h>

#include "base/platform.h"


#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "dispatch/configuration.h"
#include "firebird/fb_query.h"
#include "testing/erp_database.h"

namespace quirada {
namespace {

using testing::ErpDatabase;
using testing::SysdbaPasswordChange;
using testing::TempFolder;

std::vector<std::string> ServiceParams(const std::string& database, const std::string& password,
                                       const std::string& server, int port = 3050) {
  return {"DriverID=FB",   "Pooled=false",      "Database=" + database,    "User_Name=SYSDBA",
          "Password=" + password, "Protocol=TCPIP", "Server=" + server, "Port=" + std::to_string(port),
          "SQLDialect=3",  "CharacterSet=UTF8", "ExtendedMetaData=False", "OpenMode=Open"};
}

void WriteIni(const std::string& dir, const std::string& content) {
  std::ofstream(dir + "Morvant.ini", std::ios::binary | std::ios::trunc) << content;
}

// The database the instance in `dir` names, as a cycle reads it at its start.
TBancoConfigurado BancoDe(const std::string& dir) {
  return ConfiguracaoDaInstancia(dir, ReadIniFile(dir + "Morvant.ini"), false).banco;
}

TEST(CarregarParametrosConexao, FillsTheTwelveLinesFromTheIniFile) {
  struct Case {
    const char* what;
    std::optional<std::string> ini;  // no value: no file
    std::string server;
    std::string database;  // "<dir>" stands for the folder
    int port = 3050;
  };
  const Case cases[] = {
      {"no INI file", std::nullopt, "localhost", "<dir>MORVANT.FDB"},
      {"no section", "[Outra]\nServidor=x\n", "localhost", "<dir>MORVANT.FDB"},
      {"both keys", "[Morvant]\nServidor=erp.local\nCaminho=D:\\ERP\\DADOS.FDB\n", "erp.local", "D:\\ERP\\DADOS.FDB"},
      {"empty server stays empty", "[morvant]\nservidor=\n", "", "<dir>MORVANT.FDB"},
      {"accented path", "[Morvant]\nCaminho=/dados/empresa/gest\xE3o.fdb\n", "localhost", "/dados/empresa/gestão.fdb"},
      {"a port after the server", "[Morvant]\nServidor=erp.local/3051\n", "erp.local", "<dir>MORVANT.FDB", 3051},
      {"a port after an IPv6 address", "[Morvant]\nServidor=[::1]/3052\n", "[::1]", "<dir>MORVANT.FDB", 3052},
      {"no port: a service name stays in the server", "[Morvant]\nServidor=erp/gds_db\n", "erp/gds_db",
       "<dir>MORVANT.FDB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder dir;
    if (c.ini) WriteIni(dir.path(), *c.ini);
    std::string database = c.database;
    if (database.rfind("<dir>", 0) == 0) database = dir.path() + database.substr(5);
    FbConnection connection;
    connection.Params = {"Database=da sessão anterior"};
    CarregarParametrosConexao(connection, BancoDe(dir.path()), "SYSDBA", "segredo");
    EXPECT_EQ(connection.Params, ServiceParams(database, "segredo", c.server, c.port));
    EXPECT_FALSE(connection.Connected());
  }
}

class ConnectionSequence : public ::testing::Test {
 protected:
  bool Run() {
    return ConectarBancoDados(connection_, BancoDe(dir_.path()), [this](const std::string& line) { log_.push_back(line); });
  }

  std::string DatabaseName() {
    FbQuery q(connection_, read_only_, "SELECT MON$DATABASE_NAME AS NOME FROM MON$DATABASE");
    q.Open();
    return q.FieldAsString("NOME");
  }

  ErpDatabase db_;
  TempFolder dir_;
  FbConnection connection_;
  FbTransaction read_only_{connection_, FbTransactionMode::kReadOnly};
  std::vector<std::string> log_;
};

// Changes SYSDBA's password server-wide: runs alone (RUN_SERIAL in CMakeLists.txt).
TEST_F(ConnectionSequence, ConnectsWithTheFirstPasswordOrTheFallbackOrLogsOneLine) {
  struct Case {
    const char* what;
    std::optional<std::string> server_password;  // no value: the test password, the service's first one
    bool connected;
    std::string password_used;
    std::vector<std::string> log;
  };
  const Case cases[] = {
      {"first password accepted", std::nullopt, true, "gizmor", {}},
      {"only the fallback password accepted", "zumbrelok", true, "zumbrelok", {}},
      {"neither password accepted", "quirada-outra-senha", false, "zumbrelok",
       {"Falha na conexão com o banco de dados: Your user name and password are not defined. Ask your database "
        "administrator to set up a Firebird login. (127.0.0.1/3050:" + db_.path() + ")"}},
  };
  db_.WriteIni(dir_.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    log_.clear();
    std::optional<SysdbaPasswordChange> change;
    if (c.server_password) change.emplace(db_, *c.server_password);
    EXPECT_EQ(Run(), c.connected);
    EXPECT_EQ(connection_.Connected(), c.connected);
    EXPECT_EQ(connection_.Params[4], "Password=" + c.password_used);
    EXPECT_EQ(log_, c.log);
    if (c.connected) {
      EXPECT_EQ(DatabaseName(), db_.path());
    }
    connection_.Disconnect();
  }
}

// An ERP whose SYSDBA password is neither built-in one is reached with the INI's own credentials,
// and with those alone.
TEST_F(ConnectionSequence, TheIniUserAndPasswordAreUsedAloneWhenGiven) {
  SysdbaPasswordChange change(db_, "quirada-outra-senha");
  WriteIni(dir_.path(), "[Morvant]\nServidor=127.0.0.1\nCaminho=" + db_.path() +
                            "\nUsuario=sysdba\nSenha=quirada-outra-senha\n");
  EXPECT_TRUE(Run());
  EXPECT_EQ(connection_.Params[3], "User_Name=sysdba");
  EXPECT_EQ(connection_.Params[4], "Password=quirada-outra-senha");
  EXPECT_TRUE(log_.empty());
  connection_.Disconnect();
}

TEST_F(ConnectionSequence, ConnectionFailuresAreLoggedOnceWithTheDriversMessage) {
  struct Case {
    const char* what;
    std::optional<std::string> ini;  // no value: no INI file
    std::string message;             // how the line goes on; "<dir>" stands for the folder
    std::string end;                 // how it ends
  };
  const std::string missing = testing::TestDatabaseFolder() + "nao-existe.fdb";
  const std::string refused =
      "Your user name and password are not defined. Ask your database administrator to set up a Firebird login.";
  // The first attempt's cause, unless it was a refused login; the line names what was tried.
  const std::string no_file = "I/O error during \"open\" operation for file \"";
  const Case cases[] = {
      {"server refuses the connection", "[Morvant]\nServidor=127.0.0.2\nCaminho=" + db_.path() + "\n",
       "Unable to complete network request to host \"127.0.0.2\".\n-Failed to establish a connection.",
       " (127.0.0.2/3050:" + db_.path() + ")"},
      {"database file missing", "[Morvant]\nServidor=127.0.0.1\nCaminho=" + missing + "\n",
       no_file + missing + "\"", " (127.0.0.1/3050:" + missing + ")"},
#ifndef _WIN32
      {"no INI file and no MORVANT.FDB beside the executable", std::nullopt,
       no_file + "<dir>MORVANT.FDB\"", " (localhost/3050:<dir>MORVANT.FDB)"},
#else  // a Windows folder is no path on the Linux test server: only the line's end is checked
      {"no INI file and no MORVANT.FDB beside the executable", std::nullopt, "",
       " (localhost/3050:<dir>MORVANT.FDB)"},
#endif
      {"empty server", "[Morvant]\nServidor=\nCaminho=" + db_.path() + "\n",
       "Parâmetro de conexão inválido: Server não informado", " (/3050:" + db_.path() + ")"},
      {"the INI's own user and password, refused",
       "[Morvant]\nServidor=127.0.0.1\nCaminho=" + db_.path() + "\nUsuario=OPERADOR\nSenha=errada\n",
       refused, " (127.0.0.1/3050:" + db_.path() + ")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder dir;
    if (c.ini) WriteIni(dir.path(), *c.ini);
    const auto in_dir = [&](std::string text) {
      if (const auto at = text.find("<dir>"); at != std::string::npos) text.replace(at, 5, dir.path());
      return text;
    };
    std::vector<std::string> log;
    EXPECT_FALSE(ConectarBancoDados(connection_, BancoDe(dir.path()), [&](const std::string& line) { log.push_back(line); }));
    ASSERT_EQ(log.size(), 1u);
    const std::string expected_start = std::string(kFalhaConexao) + in_dir(c.message);
    EXPECT_EQ(log[0].substr(0, expected_start.size()), expected_start) << log[0];
    EXPECT_TRUE(log[0].ends_with(in_dir(c.end))) << log[0];
  }
}

TEST_F(ConnectionSequence, WithoutIniFileConnectsToLocalhostAndMorvantFdbBesideTheExecutable) {
#ifdef _WIN32
  GTEST_SKIP() << "the executable's Windows folder is no path on the Linux test server";
#endif
  // A folder the server can look into, holding MORVANT.FDB (a link to the test database).
  const std::string exe_dir = testing::TestDatabaseFolder() + "exe-" + std::to_string(CurrentProcessId()) + "/";
  std::filesystem::create_directory(exe_dir);
  struct Cleanup {
    std::string dir;
    ~Cleanup() { std::filesystem::remove_all(dir); }
  } cleanup{exe_dir};
  std::filesystem::permissions(exe_dir, std::filesystem::perms(0755));
  std::filesystem::create_symlink(db_.path(), exe_dir + "MORVANT.FDB");
  EXPECT_TRUE(ConectarBancoDados(connection_, BancoDe(exe_dir), [this](const std::string& line) { log_.push_back(line); }));
  EXPECT_EQ(connection_.Params[6], "Server=localhost");
  EXPECT_EQ(connection_.Params[2], "Database=" + exe_dir + "MORVANT.FDB");
  EXPECT_TRUE(log_.empty());
  FbQuery q(connection_, read_only_, "SELECT COUNT(*) AS N FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = 'PADRAOII'");
  q.Open();
  EXPECT_EQ(q.FieldAsInteger("N"), 1);
}

TEST_F(ConnectionSequence, DisconnectsFirstAndConnectsToTheDatabaseTheIniNames) {
  ErpDatabase other;
  connection_.Params = other.ConnectionParams();
  connection_.Connect();
  ASSERT_EQ(DatabaseName(), other.path());
  db_.WriteIni(dir_.path());
  EXPECT_TRUE(Run());
  EXPECT_EQ(DatabaseName(), db_.path());
  EXPECT_TRUE(log_.empty());
}

TEST_F(ConnectionSequence, AFailingLogWriterIsNotSwallowed) {
  WriteIni(dir_.path(), "[Morvant]\nServidor=127.0.0.2\n");
  EXPECT_THROW(ConectarBancoDados(connection_, BancoDe(dir_.path()),
                                  [](const std::string&) { throw std::runtime_error("log somente leitura"); }),
               std::runtime_error);
}

}  // namespace
}  // namespace quirada
