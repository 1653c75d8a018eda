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

// Looks the pair up and writes it, as the cycle does; returns whether a row was found.
bool Record(ErpComponents& erp, const RegistroEnvio& row) {
  const bool found = ProcurarRegistroEnvio(erp.TBEnviosXML, row.sequencial, row.tipo_xml);
  GravarRegistroEnvio(erp.TBEnviosXML, row);
  erp.TransReadWrite.Commit();
  return found;
}

// Writing the same pair twice and another pair once leaves two rows, the first pair's holding the
// second write, with the register's primary key and without any key.
TEST(RegisterWrite, TheRowFoundIsUpdatedAndANewPairInserted) {
  for (const bool keyed : {true, false}) {
    SCOPED_TRACE(keyed ? "primary key on the pair" : "no key at all");
    ErpDatabase db;
    if (!keyed) {
      db.Execute("DROP TABLE QUIRADA_ENVIOS_XML");
      db.Execute("CREATE TABLE QUIRADA_ENVIOS_XML (SEQUENCIAL INTEGER NOT NULL, TIPOXML CHAR(1) NOT "
                 "NULL, DATAHORAENVIO TIMESTAMP, ID_ENVIO VARCHAR(64), CODIGORETORNO VARCHAR(10))");
    }
    ErpComponents erp;
    erp.Connquendalor.Params = db.ConnectionParams();
    erp.Connquendalor.Connect();
    const TDateTime first = EncodeDateTime({2025, 5, 6, 7, 8, 9, 0});
    const TDateTime second = EncodeDateTime({2025, 5, 6, 8, 0, 0, 0});
    EXPECT_FALSE(Record(erp, {7, "N", first, "lote-1", "SA2"}));
    EXPECT_TRUE(Record(erp, {7, "N", second, "lote-2", "SA3"}));
    EXPECT_FALSE(Record(erp, {7, "C", first, "lote-c", ""}));  // a cancellation of the same number
    const std::vector<RegisterRow> rows = db.RegisterRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].sequencial, 7);
    EXPECT_EQ(rows[0].tipo_xml, "C");
    EXPECT_EQ(rows[0].id_envio, "lote-c");
    EXPECT_EQ(rows[0].codigo_retorno, "");
    EXPECT_EQ(rows[1].tipo_xml, "N");
    EXPECT_EQ(rows[1].data_hora_envio, second);
    EXPECT_EQ(rows[1].id_envio, "lote-2");
    EXPECT_EQ(rows[1].codigo_retorno, "SA3");
  }
}

TEST(RegisterWrite, AWriteTheErpRefusesLeavesTheRegisterAsItWas) {
  ErpDatabase db;
  db.InsertRegister({8, "N", EncodeDateTime({2025, 1, 1, 0, 0, 0, 0}), "lote-antigo", "SA2"});
  db.Execute("CREATE EXCEPTION E_REGISTRO 'inclusao recusada'");
  db.Execute("CREATE TRIGGER T_REGISTRO FOR QUIRADA_ENVIOS_XML BEFORE INSERT AS BEGIN EXCEPTION E_REGISTRO; END");
  ErpComponents erp;
  erp.Connquendalor.Params = db.ConnectionParams();
  erp.Connquendalor.Connect();
  try {
    Record(erp, {7, "N", Now(), "lote-novo", "SA2"});
    ADD_FAILURE() << "no error";
  } catch (const DatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("inclusao recusada"), std::string::npos) << e.what();
  }
  const std::vector<RegisterRow> rows = db.RegisterRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].id_envio, "lote-antigo");
}

}  // namespace
}  // namespace quirada
