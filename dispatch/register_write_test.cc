#include "dispatch/register_write.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dispatch/erp_queries.h"
#include "testing/erp_database.h"

namespace quirada {
namespace {

using testing::ErpDatabase;
using testing::RegisterRow;

constexpr const char* kColumns =
    "SEQUENCIAL INTEGER NOT NULL, TIPOXML CHAR(1) NOT NULL, DATAHORAENVIO TIMESTAMP, "
    "ID_ENVIO VARCHAR(64), CODIGORETORNO VARCHAR(10)";

// The register table made again with `keys` (constraints inside the CREATE TABLE) and `after`
// (statements run after it), before anything is connected to it.
void RemakeRegister(ErpDatabase& db, const std::string& keys, const std::vector<std::string>& after = {}) {
  db.Execute("DROP TABLE QUIRADA_ENVIOS_XML");
  db.Execute(std::string("CREATE TABLE QUIRADA_ENVIOS_XML (") + kColumns + keys + ")");
  for (const std::string& sql : after) db.Execute(sql);
}

TEST(RegisterWrite, AUniqueKeyCountsOnlyWhenItIsMadeOfTheDocumentPairAlone) {
  struct Case {
    const char* what;
    std::string keys;
    std::vector<std::string> after;
    bool unique;
  } cases[] = {
      {"primary key on the pair", ", CONSTRAINT PK_R PRIMARY KEY (SEQUENCIAL, TIPOXML)", {}, true},
      {"unique constraint, columns the other way round", ", CONSTRAINT UQ_R UNIQUE (TIPOXML, SEQUENCIAL)", {}, true},
      {"unique index on SEQUENCIAL alone", "", {"CREATE UNIQUE INDEX UX_R ON QUIRADA_ENVIOS_XML (SEQUENCIAL)"}, true},
      {"no key at all", "", {}, false},
      {"plain index on the pair", "", {"CREATE INDEX IX_R ON QUIRADA_ENVIOS_XML (SEQUENCIAL, TIPOXML)"}, false},
      {"unique index with a third column", "",
       {"CREATE UNIQUE INDEX UX_R ON QUIRADA_ENVIOS_XML (SEQUENCIAL, TIPOXML, ID_ENVIO)"}, false},
      {"inactive unique index", "",
       {"CREATE UNIQUE INDEX UX_R ON QUIRADA_ENVIOS_XML (SEQUENCIAL, TIPOXML)", "ALTER INDEX UX_R INACTIVE"}, false},
      {"unique index on an expression", "",
       {"CREATE UNIQUE INDEX UX_R ON QUIRADA_ENVIOS_XML COMPUTED BY (SEQUENCIAL || TIPOXML)"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ErpDatabase db;
    RemakeRegister(db, c.keys, c.after);
    ErpComponents erp;
    erp.Connquendalor.Params = db.ConnectionParams();
    erp.Connquendalor.Connect();
    EXPECT_EQ(RegistroTemChaveUnica(erp.Connquendalor, erp.TransReadWrite), c.unique);
  }
}

// Writing the same pair twice and another pair once leaves two rows, the first pair's holding the
// second write, whichever way the row is written.
void ExpectRowsAfterThreeWrites(ErpDatabase& db, ErpComponents& erp, FbQuery* insercao) {
  const TDateTime first = EncodeDateTime({2025, 5, 6, 7, 8, 9, 0});
  const TDateTime second = EncodeDateTime({2025, 5, 6, 8, 0, 0, 0});
  GravarRegistroEnvio(erp.TBEnviosXML, insercao, {7, "N", first, "lote-1", "SA2"});
  GravarRegistroEnvio(erp.TBEnviosXML, insercao, {7, "N", second, "lote-2", "SA3"});
  GravarRegistroEnvio(erp.TBEnviosXML, insercao, {8, "C", first, "lote-c", ""});
  const std::vector<RegisterRow> rows = db.RegisterRows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].sequencial, 8);
  EXPECT_EQ(rows[0].tipo_xml, "C");
  EXPECT_EQ(rows[0].id_envio, "lote-c");
  EXPECT_EQ(rows[0].codigo_retorno, "");
  EXPECT_EQ(rows[1].sequencial, 7);
  EXPECT_EQ(rows[1].data_hora_envio, second);
  EXPECT_EQ(rows[1].id_envio, "lote-2");
  EXPECT_EQ(rows[1].codigo_retorno, "SA3");
  EXPECT_FALSE(erp.TransReadWrite.Active());  // every write committed at once
}

TEST(RegisterWrite, WithTheKeyTheRowIsInsertedAtOnceAndAnExistingOneUpdated) {
  ErpDatabase db;  // its register has the primary key on the pair
  ErpComponents erp;
  erp.Connquendalor.Params = db.ConnectionParams();
  erp.Connquendalor.Connect();
  ASSERT_TRUE(RegistroTemChaveUnica(erp.Connquendalor, erp.TransReadWrite));
  FbQuery insercao(erp.Connquendalor, erp.TransReadWrite, std::string(kSqlInsercaoEnviosXML));
  ExpectRowsAfterThreeWrites(db, erp, &insercao);
}

TEST(RegisterWrite, WithoutAKeyTheRowIsLookedUpSoNoneIsWrittenTwice) {
  ErpDatabase db;
  RemakeRegister(db, "");
  ErpComponents erp;
  erp.Connquendalor.Params = db.ConnectionParams();
  erp.Connquendalor.Connect();
  ASSERT_FALSE(RegistroTemChaveUnica(erp.Connquendalor, erp.TransReadWrite));
  ExpectRowsAfterThreeWrites(db, erp, nullptr);
}

TEST(RegisterWrite, OnlyAKeyViolationOfTheInsertLeadsToTheUpdate) {
  ErpDatabase db;
  db.InsertRegister({7, "N", EncodeDateTime({2025, 1, 1, 0, 0, 0, 0}), "lote-antigo", "SA2"});
  // A refusal by the ERP's own rule, before the key is checked: the row must stay as it was.
  db.Execute("CREATE EXCEPTION E_REGISTRO 'inclusao recusada'");
  db.Execute("CREATE TRIGGER T_REGISTRO FOR QUIRADA_ENVIOS_XML BEFORE INSERT AS BEGIN EXCEPTION E_REGISTRO; END");
  ErpComponents erp;
  erp.Connquendalor.Params = db.ConnectionParams();
  erp.Connquendalor.Connect();
  FbQuery insercao(erp.Connquendalor, erp.TransReadWrite, std::string(kSqlInsercaoEnviosXML));
  try {
    GravarRegistroEnvio(erp.TBEnviosXML, &insercao, {7, "N", Now(), "lote-novo", "SA2"});
    ADD_FAILURE() << "no error";
  } catch (const DatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("inclusao recusada"), std::string::npos) << e.what();
    EXPECT_FALSE(e.key_violation());
  }
  const std::vector<RegisterRow> rows = db.RegisterRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].id_envio, "lote-antigo");
}

}  // namespace
}  // namespace quirada
