#include "firebird/column_charset.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/erp_database.h"

namespace quirada {
namespace {

// What the catalogue says a column keeps its text in: its own character set, else the database's
// default (for text columns), NONE for a BLOB that is not text; CHAR, VARCHAR and text BLOBs alike,
// in both dialects. The server describes all of these as UTF8 over the service's connection.
TEST(ColumnCharset, AColumnsOwnCharacterSetOrTheDatabasesDefault) {
  for (const int dialect : {3, 1}) {
    SCOPED_TRACE("dialect " + std::to_string(dialect));
    testing::ErpDatabase db("WIN1252", dialect);
    db.Execute("CREATE TABLE CONJUNTOS (C CHAR(10), V VARCHAR(10), B BLOB SUB_TYPE TEXT, "
               "U VARCHAR(10) CHARACTER SET UTF8, L BLOB SUB_TYPE TEXT CHARACTER SET ISO8859_1, "
               "N VARCHAR(10) CHARACTER SET NONE, F CHAR(5) CHARACTER SET UNICODE_FSS, BIN BLOB SUB_TYPE 0)");
    FbConnection connection;
    connection.Params = db.ConnectionParams();
    connection.Connect();
    FbTransaction transaction(connection, FbTransactionMode::kReadOnly);
    const struct {
      const char* column;
      unsigned id;
      const char* name;
      unsigned bytes_per_character;
    } cases[] = {
        {"C", kFbCsWin1252, "WIN1252", 1},    {"V", kFbCsWin1252, "WIN1252", 1},
        {"B", kFbCsWin1252, "WIN1252", 1},    {"U", kFbCsUtf8, "UTF8", 4},
        {"L", kFbCsIso8859_1, "ISO8859_1", 1}, {"N", kFbCsNone, "NONE", 1},
        {"F", kFbCsUnicodeFss, "UNICODE_FSS", 3}, {"BIN", kFbCsNone, "NONE", 1},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.column);
      const FbCharacterSet charset = ColumnCharacterSet(connection, transaction, "CONJUNTOS", c.column);
      EXPECT_EQ(charset.id, c.id);
      EXPECT_EQ(charset.name, c.name);
      EXPECT_EQ(charset.bytes_per_character, c.bytes_per_character);
    }
    EXPECT_TRUE(ColumnCharacterSet(connection, transaction, "CONJUNTOS", "C").SingleByte());
    EXPECT_FALSE(ColumnCharacterSet(connection, transaction, "CONJUNTOS", "N").SingleByte());
    EXPECT_FALSE(ColumnCharacterSet(connection, transaction, "CONJUNTOS", "U").SingleByte());
    EXPECT_FALSE(ColumnCharacterSet(connection, transaction, "CONJUNTOS", "NENHUMA").Known());
    EXPECT_FALSE(ColumnCharacterSet(connection, transaction, "NENHUMA", "C").Known());
    connection.Disconnect();
  }
}

}  // namespace
}  // namespace quirada
