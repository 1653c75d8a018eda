#include "firebird/fb_query.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "testing/erp_database.h"
#include "base/errors.h"
#include "base/text.h"

namespace quirada {
namespace {

using testing::ErpDatabase;

// A connection of its own to a fresh database with a table of every kind of column.
class FbQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.Execute(
        "CREATE TABLE TEXTOS (ID INTEGER NOT NULL PRIMARY KEY, C3 CHAR(3), V5 VARCHAR(5), V40 VARCHAR(40), "
        "B BLOB SUB_TYPE TEXT, D DATE, TS TIMESTAMP, N INTEGER)");
    connection_.Params = db_.ConnectionParams();
    connection_.Connect();
  }

  // A value as the server holds it, through SQL of the test's own choosing.
  std::string ServerText(const std::string& expression, long long id) {
    FbQuery q(db_.connection(), db_.transaction(), "SELECT " + expression + " AS R FROM TEXTOS WHERE ID = :ID");
    q.SetParamInteger("ID", id);
    q.Open();
    if (q.Eof()) return "<no row>";
    return q.FieldIsNull("R") ? "<null>" : q.FieldAsString("R");
  }

  ErpDatabase db_;
  FbConnection connection_;
  FbTransaction read_only_{connection_, FbTransactionMode::kReadOnly};
  FbTransaction read_write_{connection_, FbTransactionMode::kReadWrite};
};

TEST_F(FbQueryTest, AFlagParameterEqualsYOnlyAfterTheTextRules) {
  struct Case {
    std::optional<std::string> bound;
    bool enabled;
  };
  const Case cases[] = {
      {"Y", true},  {"Y ", true},  {"Y   ", true}, {"YES", true}, {"y", false},   {"S", false},
      {"N", false}, {" Y", false}, {"", false},    {"  ", false}, {std::nullopt, false},
  };
  FbQuery q(connection_, read_only_, "SELECT COUNT(*) AS N FROM RDB$DATABASE WHERE 'Y' = :FLAG");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bound.value_or("<null>"));
    q.Close();
    if (c.bound)
      q.SetParamString("FLAG", *c.bound);
    else
      q.SetParamNull("FLAG");
    q.Open();
    EXPECT_EQ(q.FieldAsInteger("N"), c.enabled ? 1 : 0);
  }
}

TEST_F(FbQueryTest, TextIsCutTrimmedAndEmptyIsNullWhenWritten) {
  struct Case {
    std::string value;
    const char* c3;   // as the server holds CHAR(3), padding shown between brackets
    const char* v5;   // as the server holds VARCHAR(5), between brackets
    const char* c3_read;
    const char* v5_read;
  };
  const Case cases[] = {
      {"ABCDEFG", "[ABC]", "[ABCDE]", "ABC", "ABCDE"},
      {"AB", "[AB ]", "[AB]", "AB", "AB"},
      {"A  ", "[A  ]", "[A  ]", "A", "A  "},
      {"", "<null>", "<null>", "", ""},
      {"ção", "[ção]", "[ção]", "ção", "ção"},
      {"çãoçãoç", "[ção]", "[çãoçã]", "ção", "çãoçã"},  // cut in characters, never inside one
  };
  FbQuery insert(connection_, read_write_, "INSERT INTO TEXTOS (ID, C3, V5) VALUES (:ID, :T, :T)");
  FbQuery read(connection_, read_only_, "SELECT C3, V5 FROM TEXTOS WHERE ID = :ID");
  long long id = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    ++id;
    insert.SetParamInteger("ID", id);
    insert.SetParamString("T", c.value);
    insert.ExecSQL();
    EXPECT_EQ(ServerText("'[' || C3 || ']'", id), c.c3);
    EXPECT_EQ(ServerText("'[' || V5 || ']'", id), c.v5);
    read.Close();
    read.SetParamInteger("ID", id);
    read.Open();
    ASSERT_FALSE(read.Eof());
    EXPECT_EQ(read.FieldAsString("C3"), c.c3_read);
    EXPECT_EQ(read.FieldAsString("V5"), c.v5_read);
    EXPECT_EQ(read.FieldIsNull("C3"), std::string(c.c3_read).empty());
  }
}

TEST_F(FbQueryTest, CharOfBlanksAndEmptyVarcharReadAsNull) {
  db_.Execute("INSERT INTO TEXTOS (ID, C3, V5) VALUES (1, '   ', '')");
  FbQuery q(connection_, read_only_, "SELECT C3, V5 FROM TEXTOS");
  q.Open();
  EXPECT_EQ(q.FieldAsString("C3"), "");
  EXPECT_TRUE(q.FieldIsNull("C3"));
  EXPECT_TRUE(q.FieldIsNull("V5"));
}

TEST_F(FbQueryTest, Latin1TextRoundTripsThroughVarcharAndBlob) {
  const std::string text = "Ação Pão Éçü ÿ «nº 5»";
  FbQuery insert(connection_, read_write_, "INSERT INTO TEXTOS (ID, V40, B) VALUES (1, :T, :T)");
  insert.SetParamString("T", text);
  insert.ExecSQL();

  // The server holds one byte per character, in ISO-8859-1.
  EXPECT_EQ(ServerText("CHAR_LENGTH(V40)", 1), "21");
  EXPECT_EQ(ServerText("OCTET_LENGTH(V40)", 1), "21");
  EXPECT_EQ(ServerText("ASCII_VAL(SUBSTRING(V40 FROM 2 FOR 1))", 1), "231");  // ç
  EXPECT_EQ(ServerText("OCTET_LENGTH(B)", 1), "21");

  FbQuery read(connection_, read_only_, "SELECT V40, B FROM TEXTOS WHERE ID = 1");
  read.Open();
  EXPECT_EQ(read.FieldAsString("V40"), text);
  EXPECT_EQ(read.FieldAsString("B"), text);
}

TEST_F(FbQueryTest, EveryCharacterOfEveryCharacterSetComesBackAsItself) {
  db_.Execute("CREATE TABLE CONJUNTOS (ID INTEGER, W VARCHAR(20) CHARACTER SET WIN1252, "
              "L VARCHAR(20) CHARACTER SET ISO8859_1, U VARCHAR(20) CHARACTER SET UTF8, "
              "BW BLOB SUB_TYPE TEXT CHARACTER SET WIN1252)");
  FbQuery insert(connection_, read_write_, "INSERT INTO CONJUNTOS (ID, W, L, U, BW) VALUES (1, :W, :L, :U, :W)");
  insert.SetParamString("W", "€ “x” – ação");
  insert.SetParamString("L", "ação «nº»");
  insert.SetParamString("U", "€ ✓ 中");
  insert.ExecSQL();
  FbQuery read(connection_, read_only_, "SELECT W, L, U, BW, OCTET_LENGTH(W) AS NW FROM CONJUNTOS");
  read.Open();
  EXPECT_EQ(read.FieldAsInteger("NW"), 12);  // one byte per character in WIN1252
  EXPECT_EQ(read.FieldAsString("W"), "€ “x” – ação");
  EXPECT_EQ(read.FieldAsString("L"), "ação «nº»");
  EXPECT_EQ(read.FieldAsString("U"), "€ ✓ 中");
  EXPECT_EQ(read.FieldAsString("BW"), "€ “x” – ação");
  for (const char* column : {"W", "BW"}) {
    const FbText text = read.FieldAsText(column);
    EXPECT_FALSE(text.raw) << column;
    EXPECT_EQ(text.bytes, "€ “x” – ação") << column;
  }
}

TEST_F(FbQueryTest, AColumnWithoutCharacterSetGivesItsBytesAsStored) {
  // Every byte but the quote, in a NONE column, stored through a connection that sends bytes as they are.
  std::string bytes;
  for (int b = 1; b < 256; ++b)
    if (b != '\'') bytes += static_cast<char>(b);
  db_.Execute("CREATE TABLE CRUS (ID INTEGER, V VARCHAR(300) CHARACTER SET NONE, B BLOB SUB_TYPE TEXT CHARACTER SET NONE)");
  db_.ExecuteIn("NONE", "INSERT INTO CRUS (ID, V, B) VALUES (1, '" + bytes + "', '" + bytes + "')");
  db_.ExecuteIn("NONE", "INSERT INTO CRUS (ID, V, B) VALUES (2, 'p\xC3\xA3o', 'a\x80\x93')");
  db_.ExecuteIn("NONE", "INSERT INTO CRUS (ID, V, B) VALUES (3, 'CAF\xC9\xAE', '\xC2\x93')");
  FbQuery read(connection_, read_only_, "SELECT V, B FROM CRUS ORDER BY ID");
  read.Open();
  for (const char* column : {"V", "B"}) {
    const FbText text = read.FieldAsText(column);
    EXPECT_TRUE(text.raw) << column;
    EXPECT_EQ(text.bytes, bytes) << column;
  }
  read.Next();
  EXPECT_EQ(read.FieldAsText("V").bytes, "p\xC3\xA3o");
  EXPECT_EQ(read.FieldAsString("V"), "pão");       // valid UTF-8 is UTF-8
  EXPECT_EQ(read.FieldAsString("B"), "a€“");       // otherwise Windows-1252
  EXPECT_EQ(read.FieldAsText("B").bytes, "a\x80\x93");  // read twice, the same bytes
  // UTF-8 only when it spells a text of the Windows-1252 repertoire: C9 AE would be "ɮ", C2 93 a
  // control character.
  read.Next();
  EXPECT_EQ(read.FieldAsString("V"), "CAFÉ®");
  EXPECT_EQ(read.FieldAsString("B"), "Â“");
}

TEST_F(FbQueryTest, TextOfEachRowIsItsOwn) {
  db_.Execute("INSERT INTO TEXTOS (ID, V5, B) VALUES (1, 'pão', 'ação')");
  db_.Execute("INSERT INTO TEXTOS (ID) VALUES (2)");
  FbQuery read(connection_, read_only_, "SELECT V5, B FROM TEXTOS ORDER BY ID");
  read.Open();
  EXPECT_EQ(read.FieldAsText("B").bytes, "ação");
  EXPECT_EQ(read.FieldAsText("V5").bytes, "pão");
  read.Next();
  EXPECT_EQ(read.FieldAsText("B").bytes, "");  // NULL
  EXPECT_EQ(read.FieldAsString("B"), "");
  EXPECT_EQ(read.FieldAsText("V5").bytes, "");
}

TEST_F(FbQueryTest, OverAnIso8859_1ConnectionCharactersOutsideItBecomeQuestionMarks) {
  connection_.Disconnect();
  connection_.Params = testing::TestConnectionParams(db_.path(), testing::kTestPassword,
                                                     testing::kTestServer, "ISO8859_1");
  connection_.Connect();
  FbQuery insert(connection_, read_write_, "INSERT INTO TEXTOS (ID, V40) VALUES (1, :T)");
  insert.SetParamString("T", "10 € ✓");
  insert.ExecSQL();
  EXPECT_EQ(ServerText("V40", 1), "10 ? ?");
}

TEST_F(FbQueryTest, LargeBlobTextRoundTrips) {
  std::string xml = "<?xml version=\"1.0\"?><nfe>";
  while (xml.size() < 3 * 1024 * 1024) xml += "<det>Produto ção nº " + std::to_string(xml.size()) + "</det>\r\n";
  xml += "</nfe>";
  FbQuery insert(connection_, read_write_, "INSERT INTO TEXTOS (ID, B) VALUES (1, :XML)");
  insert.SetParamString("XML", xml);
  insert.ExecSQL();
  FbQuery read(connection_, read_only_, "SELECT B FROM TEXTOS");
  read.Open();
  EXPECT_EQ(read.FieldAsString("B"), xml);
}

TEST_F(FbQueryTest, DatesAndTimesRoundTripToTheMillisecond) {
  const TDateTime when = EncodeDateTime({2024, 2, 29, 13, 45, 7, 123});
  FbQuery insert(connection_, read_write_, "INSERT INTO TEXTOS (ID, D, TS) VALUES (:ID, :W, :W)");
  insert.SetParamInteger("ID", 1);
  insert.SetParamDateTime("W", when);
  insert.ExecSQL();
  insert.SetParamInteger("ID", 2);
  insert.SetParamNull("W");
  insert.ExecSQL();

  FbQuery read(connection_, read_only_, "SELECT D, TS FROM TEXTOS ORDER BY ID");
  read.Open();
  EXPECT_EQ(read.FieldAsDateTime("TS"), when);
  EXPECT_EQ(read.FieldAsDateTime("D"), EncodeDateTime({2024, 2, 29, 0, 0, 0, 0}));  // the time is dropped
  EXPECT_EQ(read.FieldAsString("TS"), "29/02/2024 13:45:07");
  EXPECT_EQ(read.FieldAsString("D"), "29/02/2024");
  read.Next();
  EXPECT_EQ(read.FieldAsDateTime("TS"), 0.0);  // NULL reads as the zero date
  EXPECT_EQ(read.FieldAsString("TS"), "");
}

TEST_F(FbQueryTest, ValuesConvertBetweenKinds) {
  db_.Execute("INSERT INTO TEXTOS (ID, V5, N) VALUES (1, '42', 7)");
  db_.Execute("INSERT INTO TEXTOS (ID, V5, N) VALUES (2, 'x', NULL)");
  FbQuery q(connection_, read_only_, "SELECT V5, N FROM TEXTOS ORDER BY ID");
  q.Open();
  EXPECT_EQ(q.FieldAsInteger("V5"), 42);
  EXPECT_EQ(q.FieldAsString("N"), "7");
  q.Next();
  EXPECT_EQ(q.FieldAsInteger("N"), 0);
  try {
    q.FieldAsInteger("V5");
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "'x' is not a valid integer value");
  }
}

TEST_F(FbQueryTest, AnEmptyResultReadsAsEmptyValues) {
  FbQuery q(connection_, read_only_, "SELECT V5, N, TS FROM TEXTOS");
  q.Open();
  EXPECT_TRUE(q.Eof());
  EXPECT_EQ(q.FieldAsString("V5"), "");
  EXPECT_EQ(q.FieldAsInteger("N"), 0);
  EXPECT_EQ(q.FieldAsDateTime("TS"), 0.0);
}

TEST_F(FbQueryTest, RowsAreWalkedOneByOneInOrder) {
  for (int i = 1; i <= 5; ++i) db_.Execute("INSERT INTO TEXTOS (ID, N) VALUES (" + std::to_string(i) + ", " + std::to_string(i * 10) + ")");
  FbQuery q(connection_, read_only_, "SELECT ID, N FROM TEXTOS WHERE N > :MIN ORDER BY ID");
  q.SetParamInteger("MIN", 15);
  std::vector<long long> seen;
  for (q.Open(); !q.Eof(); q.Next()) seen.push_back(q.FieldAsInteger("n"));  // names without regard to case
  EXPECT_EQ(seen, (std::vector<long long>{20, 30, 40, 50}));
  q.Next();  // past the end stays at the end
  EXPECT_TRUE(q.Eof());
}

TEST_F(FbQueryTest, EveryOccurrenceOfANameCarriesItsValue) {
  FbQuery q(connection_, read_only_,
            "SELECT CAST(:A AS INTEGER) AS X, CAST(:a AS INTEGER) + CAST(:B AS INTEGER) AS Y FROM RDB$DATABASE");
  EXPECT_EQ(q.ParamNames(), (std::vector<std::string>{"A", "B"}));
  q.SetParamInteger("A", 7);
  q.SetParamInteger("B", 100);
  q.Open();
  EXPECT_EQ(q.FieldAsInteger("X"), 7);
  EXPECT_EQ(q.FieldAsInteger("Y"), 107);
}

TEST_F(FbQueryTest, MisuseIsReportedByName) {
  struct Case {
    const char* what;
    std::function<void(FbQuery&)> action;
    const char* message;
  };
  const Case cases[] = {
      {"unknown parameter", [](FbQuery& q) { q.SetParamInteger("NAO_HA", 1); }, "Parâmetro 'NAO_HA' não encontrado"},
      {"unbound parameter", [](FbQuery& q) { q.Open(); }, "O parâmetro 'ID' não recebeu valor"},
      {"unknown field",
       [](FbQuery& q) {
         q.SetParamInteger("ID", 1);
         q.Open();
         q.FieldAsString("NAO_HA");
       },
       "Campo 'NAO_HA' não encontrado"},
      {"field of a closed query", [](FbQuery& q) { q.FieldAsString("N"); }, "A consulta não está aberta"},
      {"editing a read-only query",
       [](FbQuery& q) {
         q.SetParamInteger("ID", 1);
         q.Open();
         q.Edit();
       },
       "A consulta não é atualizável"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FbQuery q(connection_, read_only_, "SELECT N FROM TEXTOS WHERE ID = :ID");
    try {
      c.action(q);
      ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST_F(FbQueryTest, ServerErrorsCarryTheServersMessage) {
  FbQuery q(connection_, read_only_, "SELECT NAO_HA FROM TEXTOS");
  try {
    q.Open();
    ADD_FAILURE() << "no error";
  } catch (const DatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("Column unknown\n-NAO_HA"), std::string::npos) << e.what();
    EXPECT_FALSE(e.connection_lost());
  }
  EXPECT_FALSE(q.Active());
  EXPECT_FALSE(read_only_.Active());  // the failed open left nothing open
}

TEST_F(FbQueryTest, ExecSqlCountsRowsAndOpenNeedsRows) {
  db_.Execute("INSERT INTO TEXTOS (ID, N) VALUES (1, 1)");
  db_.Execute("INSERT INTO TEXTOS (ID, N) VALUES (2, 1)");
  FbQuery update(connection_, read_write_, "UPDATE TEXTOS SET N = :N");
  update.SetParamInteger("N", 5);
  update.ExecSQL();
  EXPECT_EQ(update.RowsAffected(), 2u);
  EXPECT_EQ(ServerText("N", 2), "5");
  // The count is that of the last execution.
  FbQuery one(connection_, read_write_, "UPDATE TEXTOS SET N = 0 WHERE ID = :ID");
  for (const auto& [id, rows] : {std::pair{1, 1u}, {99, 0u}, {2, 1u}}) {
    one.SetParamInteger("ID", id);
    one.ExecSQL();
    EXPECT_EQ(one.RowsAffected(), rows) << id;
  }
  one.SetParamInteger("ID", 99);
  one.ExecSQL();
  EXPECT_EQ(one.RowsAffected(), 0u);
  try {
    update.Open();
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "A instrução não retorna registros; use ExecSQL");
  }
}

// Every case runs twice: reading the row through a cursor, and as a single-row look-up.
class FbQueryUpdateTest : public FbQueryTest, public ::testing::WithParamInterface<bool> {
 protected:
  FbQueryUpdateTest() {
    query_.SetUpdateTarget("TEXTOS", {"ID"}, read_write_);
    query_.SetSingleRowLookup(GetParam());
  }
  FbQuery query_{connection_, read_only_, "SELECT ID, V5, TS, N FROM TEXTOS WHERE ID = :ID"};
};

INSTANTIATE_TEST_SUITE_P(CursorAndSingleRow, FbQueryUpdateTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "SingleRowLookup" : "Cursor";
                         });

TEST_P(FbQueryUpdateTest, AppendThenPostInsertsTheFieldsThatWereSet) {
  query_.SetParamInteger("ID", 9);
  query_.Open();
  ASSERT_TRUE(query_.Eof());
  query_.Append();
  query_.SetFieldInteger("ID", 9);
  query_.SetFieldString("V5", "longo demais");
  query_.SetFieldDateTime("TS", EncodeDateTime({2025, 1, 2, 3, 4, 5, 0}));
  query_.Post();
  EXPECT_FALSE(read_write_.Active());  // committed at once
  EXPECT_EQ(ServerText("V5", 9), "longo");  // cut to the column
  EXPECT_EQ(ServerText("N", 9), "<null>");  // not set, not written
  EXPECT_EQ(ServerText("TS", 9), "02/01/2025 03:04:05");
  EXPECT_EQ(query_.FieldAsString("V5"), "longo demais");  // the posted values, as given
  EXPECT_EQ(query_.state(), FbQuery::State::kBrowse);
}

TEST_P(FbQueryUpdateTest, EditThenPostUpdatesTheRowItWasReadFrom) {
  db_.Execute("INSERT INTO TEXTOS (ID, V5, N) VALUES (1, 'um', 1)");
  db_.Execute("INSERT INTO TEXTOS (ID, V5, N) VALUES (2, 'dois', 2)");
  query_.SetParamInteger("ID", 2);
  query_.Open();
  ASSERT_FALSE(query_.Eof());
  query_.Edit();
  query_.SetFieldString("V5", "");
  query_.SetFieldInteger("N", 22);
  EXPECT_EQ(query_.FieldAsInteger("N"), 22);  // the edited value shows before the post
  query_.Post();
  EXPECT_EQ(ServerText("V5", 2), "<null>");
  EXPECT_EQ(ServerText("N", 2), "22");
  EXPECT_EQ(ServerText("N", 1), "1");
}

TEST_P(FbQueryUpdateTest, PostingARowThatVanishedFailsAndWritesNothing) {
  db_.Execute("INSERT INTO TEXTOS (ID, N) VALUES (3, 3)");
  query_.SetParamInteger("ID", 3);
  query_.Open();
  query_.Edit();
  query_.SetFieldInteger("N", 33);
  db_.Execute("DELETE FROM TEXTOS WHERE ID = 3");
  try {
    query_.Post();
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "A atualização de TEXTOS afetou 0 registros em vez de 1");
  }
  EXPECT_EQ(query_.state(), FbQuery::State::kEdit);
  EXPECT_FALSE(read_write_.Active());
  EXPECT_EQ(ServerText("N", 3), "<no row>");
}

TEST_P(FbQueryUpdateTest, CancelDropsTheEdit) {
  db_.Execute("INSERT INTO TEXTOS (ID, N) VALUES (4, 4)");
  query_.SetParamInteger("ID", 4);
  query_.Open();
  query_.Edit();
  query_.SetFieldInteger("N", 44);
  query_.Cancel();
  query_.Post();  // nothing to post any more
  EXPECT_EQ(query_.FieldAsInteger("N"), 4);
  EXPECT_EQ(ServerText("N", 4), "4");
}

TEST_P(FbQueryUpdateTest, EachOpenLooksTheRowUpAgain) {
  db_.Execute("INSERT INTO TEXTOS (ID, V5, N) VALUES (5, 'cinco', 5)");
  for (const auto& [id, found] : {std::pair{5, true}, {6, false}, {5, true}, {6, false}}) {
    SCOPED_TRACE(id);
    query_.Close();
    query_.SetParamInteger("ID", id);
    query_.Open();
    EXPECT_EQ(query_.Eof(), !found);
    EXPECT_EQ(query_.FieldAsString("V5"), found ? "cinco" : "");
    query_.Next();
    EXPECT_TRUE(query_.Eof());
    EXPECT_EQ(query_.FieldAsString("V5"), found ? "cinco" : "");  // the last row stays current
  }
}

TEST_F(FbQueryTest, ASingleRowLookupThatFindsSeveralRowsReadsThemAll) {
  db_.Execute("INSERT INTO TEXTOS (ID, N) VALUES (1, 7)");
  db_.Execute("INSERT INTO TEXTOS (ID, N) VALUES (2, 7)");
  FbQuery q(connection_, read_only_, "SELECT ID FROM TEXTOS WHERE N = :N ORDER BY ID");
  q.SetSingleRowLookup(true);
  q.SetParamInteger("N", 7);
  for (int round = 0; round < 2; ++round) {  // the statement stays usable after the fallback
    q.Close();
    q.Open();
    std::vector<long long> ids;
    for (; !q.Eof(); q.Next()) ids.push_back(q.FieldAsInteger("ID"));
    EXPECT_EQ(ids, (std::vector<long long>{1, 2}));
  }
}

}  // namespace
}  // namespace quirada
