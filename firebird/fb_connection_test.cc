#include "firebird/fb_connection.h"

#include <gtest/gtest.h>

#include "base/platform.h"
#include <ibase.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "firebird/fb_api.h"
#include "firebird/fb_query.h"
#include "testing/erp_database.h"
#include "base/errors.h"

namespace quirada {
namespace {

using testing::ErpDatabase;
using testing::TestConnectionParams;
using testing::TestDatabaseFolder;

// An empty database at `path` (UTF-8) on the test server, made and dropped with the client's own
// calls, the file name given as UTF-8.
class NamedDatabase {
 public:
  explicit NamedDatabase(std::string path) : path_(std::move(path)) {
    FbCall([&] {
      FbStatus st;
      FbPtr<Firebird::IProvider> provider(FbMaster()->getDispatcher());
      auto dpb = Dpb(st);
      FbPtr<Firebird::IAttachment> attachment(provider->createDatabase(
          &st, ConnectionString().c_str(), dpb->getBufferLength(&st), dpb->getBuffer(&st)));
      attachment->detach(&st);
      (void)attachment.release();
    });
  }
  ~NamedDatabase() {
    try {
      FbCall([&] {
        FbStatus st;
        FbPtr<Firebird::IProvider> provider(FbMaster()->getDispatcher());
        auto dpb = Dpb(st);
        FbPtr<Firebird::IAttachment> attachment(provider->attachDatabase(
            &st, ConnectionString().c_str(), dpb->getBufferLength(&st), dpb->getBuffer(&st)));
        attachment->dropDatabase(&st);
        (void)attachment.release();
      });
    } catch (const std::exception& e) {
      std::fprintf(stderr, "NamedDatabase: could not drop %s: %s\n", path_.c_str(), e.what());
    }
  }
  NamedDatabase(const NamedDatabase&) = delete;
  NamedDatabase& operator=(const NamedDatabase&) = delete;

 private:
  std::string ConnectionString() const { return std::string(testing::kTestServer) + "/3050:" + path_; }
  static FbOwned<Firebird::IXpbBuilder> Dpb(FbStatus& st) {
    FbOwned<Firebird::IXpbBuilder> dpb(FbUtil()->getXpbBuilder(&st, Firebird::IXpbBuilder::DPB, nullptr, 0));
    dpb->insertString(&st, isc_dpb_user_name, testing::kTestUser);
    dpb->insertString(&st, isc_dpb_password, testing::kTestPassword);
    dpb->insertTag(&st, isc_dpb_utf8_filename);
    return dpb;
  }

  std::string path_;
};

class FbConnectionTest : public ::testing::Test {
 protected:
  FbConnectionTest() { connection_.Params = db_.ConnectionParams(); }

  // The server's number for the connection's current attachment.
  long long AttachmentId() {
    FbQuery q(connection_, read_only_, "SELECT CURRENT_CONNECTION AS ID FROM RDB$DATABASE");
    q.Open();
    return q.FieldAsInteger("ID");
  }

  long long CountRows(const std::string& table) {
    FbQuery q(db_.connection(), db_.transaction(), "SELECT COUNT(*) AS N FROM " + table);
    q.Open();
    return q.FieldAsInteger("N");
  }

  ErpDatabase db_;
  FbConnection connection_;
  FbTransaction read_only_{connection_, FbTransactionMode::kReadOnly};
  FbTransaction read_write_{connection_, FbTransactionMode::kReadWrite};
};

TEST_F(FbConnectionTest, ConnectsAndDisconnects) {
  EXPECT_FALSE(connection_.Connected());
  connection_.SetConnected(true);
  EXPECT_TRUE(connection_.Connected());
  connection_.Connect();  // already connected: nothing happens
  EXPECT_GT(AttachmentId(), 0);
  connection_.SetConnected(false);
  EXPECT_FALSE(connection_.Connected());
  connection_.Disconnect();  // not connected: nothing happens
  EXPECT_FALSE(connection_.Connected());
}

TEST_F(FbConnectionTest, FailuresCarryTheClientsMessage) {
  const std::string missing = TestDatabaseFolder() + "nao-existe-" + std::to_string(CurrentProcessId()) + ".fdb";
  const std::string missing_accented = TestDatabaseFolder() + "não-existe-ação-" + std::to_string(CurrentProcessId()) + ".fdb";
  struct Case {
    const char* what;
    std::vector<std::string> params;
    std::string message_start;
  };
  const Case cases[] = {
      {"password refused", db_.ConnectionParams("senha-errada"),
       "Your user name and password are not defined. Ask your database administrator to set up a Firebird "
       "login."},
      // The test server listens on 127.0.0.1 only, so 127.0.0.2 refuses the connection.
      {"server not listening", TestConnectionParams(db_.path(), testing::kTestPassword, "127.0.0.2"),
       "Unable to complete network request to host \"127.0.0.2\".\n-Failed to establish a connection."},
      {"database file missing", TestConnectionParams(missing),
       "I/O error during \"open\" operation for file \"" + missing + "\""},
      {"database file with accented letters missing", TestConnectionParams(missing_accented),
       "I/O error during \"open\" operation for file \"" + missing_accented + "\""},
      {"unsupported parameter",
       {"DriverID=FB", "Protocol=TCPIP", "Server=127.0.0.1", "OpenMode=OpenOrCreate", "CharacterSet=ISO8859_1"},
       "Parâmetro de conexão inválido: OpenMode=OpenOrCreate não é suportado por esta conexão"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FbConnection connection;
    connection.Params = c.params;
    try {
      connection.Connect();
      ADD_FAILURE() << "connected";
    } catch (const Exception& e) {
      EXPECT_EQ(std::string(e.what()).substr(0, c.message_start.size()), c.message_start) << e.what();
    }
    EXPECT_FALSE(connection.Connected());
  }
  EXPECT_FALSE(std::filesystem::exists(missing));  // never created
  EXPECT_FALSE(std::filesystem::exists(missing_accented));
}

TEST_F(FbConnectionTest, ADatabaseFileNamedWithAccentedLettersIsFound) {
  const char* const names[] = {
      "gestão-ação",         // ISO-8859-1 letters
      "ÇÃÕÉ-maiúsculas",     // capitals
#ifndef _WIN32  // the Windows client passes a path through the ANSI code page, which has no "ł"
      "dados-€-łódź",        // letters outside ISO-8859-1 (a UTF-8 "Morvant.ini" can name them)
#endif
  };
  for (const char* name : names) {
    SCOPED_TRACE(name);
    const std::string path = TestDatabaseFolder() + name + "-" + std::to_string(CurrentProcessId()) + ".fdb";
    NamedDatabase database(path);
    // The server wrote the name as given (a UTF-8 path, also under MinGW's narrow strings).
    ASSERT_TRUE(std::filesystem::exists(std::filesystem::path(std::u8string(path.begin(), path.end()))));
    FbConnection connection;
    connection.Params = TestConnectionParams(path);
    connection.Connect();
    FbTransaction transaction(connection, FbTransactionMode::kReadOnly);
    FbQuery q(connection, transaction, "SELECT COUNT(*) AS N FROM RDB$RELATIONS");
    q.Open();
    EXPECT_GT(q.FieldAsInteger("N"), 0);
  }
}

TEST_F(FbConnectionTest, ABrokenAttachmentIsReplacedOnceTransparently) {
  connection_.Connect();
  const long long before = AttachmentId();
  db_.KillOtherAttachments();
  const long long after = AttachmentId();  // finds the attachment gone and attaches again
  EXPECT_NE(after, before);
  EXPECT_TRUE(connection_.Connected());
}

TEST_F(FbConnectionTest, WithoutAutoReconnectTheBrokenAttachmentSurfaces) {
  connection_.AutoReconnect = false;
  connection_.Connect();
  AttachmentId();
  db_.KillOtherAttachments();
  try {
    AttachmentId();
    ADD_FAILURE() << "no error";
  } catch (const DatabaseError& e) {
    EXPECT_STREQ(e.what(), "connection shutdown");
    EXPECT_TRUE(e.connection_lost());
  }
}

TEST_F(FbConnectionTest, ASecondFailureWhileReattachingSurfaces) {
  connection_.Connect();
  AttachmentId();
  db_.KillOtherAttachments();
  db_.connection().Disconnect();  // with no attachment left the server closes the file
  {
    // The file is away while the connection tries to attach again.
    struct MovedAway {
      std::string path;
      ~MovedAway() { std::filesystem::rename(path + ".moved", path); }
    } moved{db_.path()};
    std::filesystem::rename(db_.path(), db_.path() + ".moved");
    try {
      AttachmentId();
      ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
      // Told as a connection lost and not made again, with the server's reason for each.
      const std::string what = e.what();
      EXPECT_EQ(what.rfind("A conexão com o banco de dados (", 0), 0u) << what;
      EXPECT_NE(what.find("3050:" + db_.path() + ") foi perdida ("), std::string::npos) << what;
      EXPECT_NE(what.find(") e não pôde ser refeita: I/O error during \"open\" operation for file \"" +
                          db_.path() + "\""),
                std::string::npos)
          << what;
    }
  }
  EXPECT_FALSE(connection_.Connected());
  connection_.Connect();  // the next cycle connects as usual
  EXPECT_GT(AttachmentId(), 0);
}

TEST_F(FbConnectionTest, AQueryWhoseRowsWereLostToAReconnectionFailsOnNext) {
  db_.Execute("CREATE TABLE T (N INTEGER)");
  for (int i = 0; i < 3; ++i) db_.Execute("INSERT INTO T VALUES (" + std::to_string(i) + ")");
  connection_.Connect();
  FbQuery rows(connection_, read_only_, "SELECT N FROM T ORDER BY N");
  rows.Open();
  EXPECT_EQ(rows.FieldAsInteger("N"), 0);
  db_.KillOtherAttachments();
  AttachmentId();  // reconnects
  EXPECT_EQ(rows.FieldAsInteger("N"), 0);  // the row in hand stays readable
  try {
    rows.Next();
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "A conexão com o banco de dados foi restabelecida e a consulta aberta perdeu seus registros");
  }
  rows.Close();
  rows.Open();  // and it opens again
  EXPECT_EQ(rows.FieldAsInteger("N"), 0);
}

TEST_F(FbConnectionTest, TransactionsAreReadCommittedAndReadOnlyOrReadWrite) {
  struct Case {
    FbTransaction* transaction;
    int read_only;
  };
  connection_.Connect();
  for (const Case& c : {Case{&read_only_, 1}, Case{&read_write_, 0}}) {
    SCOPED_TRACE(c.read_only);
    FbQuery q(connection_, *c.transaction,
              "SELECT MON$ISOLATION_MODE AS ISOLATION, MON$READ_ONLY AS RO FROM MON$TRANSACTIONS "
              "WHERE MON$TRANSACTION_ID = CURRENT_TRANSACTION");
    q.Open();
    EXPECT_EQ(q.FieldAsInteger("ISOLATION"), 2);  // read committed, record version
    EXPECT_EQ(q.FieldAsInteger("RO"), c.read_only);
  }
}

TEST_F(FbConnectionTest, TheReadOnlyTransactionSeesRowsCommittedWhileItIsOpen) {
  db_.Execute("CREATE TABLE T (N INTEGER)");
  connection_.Connect();
  FbQuery holder(connection_, read_only_, "SELECT 1 AS X FROM RDB$DATABASE");
  holder.Open();  // keeps the transaction open
  ASSERT_TRUE(read_only_.Active());
  db_.Execute("INSERT INTO T VALUES (5)");
  FbQuery q(connection_, read_only_, "SELECT COUNT(*) AS N FROM T");
  q.Open();
  EXPECT_EQ(q.FieldAsInteger("N"), 1);
  FbQuery write(connection_, read_only_, "INSERT INTO T VALUES (6)");
  EXPECT_THROW(write.ExecSQL(), DatabaseError);
}

TEST_F(FbConnectionTest, ATransactionLastsWhileAStatementUsesIt) {
  db_.Execute("CREATE TABLE T (N INTEGER)");
  connection_.Connect();
  FbQuery a(connection_, read_only_, "SELECT 1 AS X FROM RDB$DATABASE");
  FbQuery b(connection_, read_only_, "SELECT 2 AS X FROM RDB$DATABASE");
  a.Open();
  b.Open();
  b.Close();
  EXPECT_TRUE(read_only_.Active());
  a.Close();
  EXPECT_FALSE(read_only_.Active());

  FbQuery insert(connection_, read_write_, "INSERT INTO T VALUES (1)");
  insert.ExecSQL();
  EXPECT_FALSE(read_write_.Active());
  EXPECT_EQ(CountRows("T"), 1);  // committed at once, while still connected
}

TEST_F(FbConnectionTest, DisconnectingCommitsWhatIsStillOpen) {
  db_.Execute("CREATE TABLE T (N INTEGER)");
  connection_.Connect();
  read_write_.StartTransaction();
  FbQuery insert(connection_, read_write_, "INSERT INTO T VALUES (1)");
  insert.ExecSQL();
  FbQuery open(connection_, read_only_, "SELECT N FROM T");
  open.Open();
  EXPECT_EQ(CountRows("T"), 0);  // not committed yet
  connection_.Disconnect();
  EXPECT_FALSE(open.Active());
  EXPECT_FALSE(read_write_.Active());
  EXPECT_EQ(CountRows("T"), 1);
}

TEST_F(FbConnectionTest, DisconnectingALostAttachmentIsQuiet) {
  connection_.Connect();
  FbQuery open(connection_, read_only_, "SELECT 1 AS X FROM RDB$DATABASE");
  open.Open();
  db_.KillOtherAttachments();
  EXPECT_NO_THROW(connection_.Disconnect());
  EXPECT_FALSE(connection_.Connected());
  EXPECT_FALSE(open.Active());
}

}  // namespace
}  // namespace quirada
