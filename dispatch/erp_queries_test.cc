#include "dispatch/erp_queries.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dispatch/document_kinds.h"
#include "dispatch/register_write.h"
#include "testing/erp_database.h"

namespace quirada {
namespace {

using testing::CancellationRow;
using testing::ErpDatabase;
using testing::NoteRow;
using testing::RegisterRow;
using testing::SettingsRow;

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) text += (i ? "\n" : "") + lines[i];
  return text;
}

std::vector<std::string> Branch(const std::string& model_conditions_and_flag) {
  std::vector<std::string> lines = {
      "SELECT N.SEQUENCIAL",
      "     , 'N' AS TIPO",
      "     , N.CHAVENFE AS CHAVE",
      "     , N.XMLNFE AS XML",
      "FROM NOTASENTRADASESAIDAS N",
      "LEFT JOIN QUIRADA_ENVIOS_XML D ON N.SEQUENCIAL = D.SEQUENCIAL AND D.TIPOXML = 'N'",
      "WHERE N.DATA >= :DATA AND N.DATA >= CURRENT_DATE - 180",
      "AND D.SEQUENCIAL IS NULL",
  };
  std::size_t start = 0, end;
  while ((end = model_conditions_and_flag.find('|', start)) != std::string::npos) {
    lines.push_back(model_conditions_and_flag.substr(start, end - start));
    start = end + 1;
  }
  lines.push_back(model_conditions_and_flag.substr(start));
  return lines;
}

TEST(ErpQueries, TheSqlTextsAreTheIntegrationsOwnLineByLine) {
  EXPECT_EQ(kSqlTBPadraoII, JoinLines({
                                "SELECT CODIGO",
                                "     , QUIRADA_AUTORIZATION_KEY",
                                "     , QUIRADA_INTEGRATION_KEY",
                                "     , QUIRADA_DATAINICIALENVIO",
                                "     , QUIRADA_ENVIARNFE_TERCEIROS",
                                "     , QUIRADA_ENVIARNFE_PROPRIO",
                                "     , QUIRADA_ENVIARNFCE",
                                "     , QUIRADA_ENVIARSAT",
                                "     , QUIRADA_ENVIARXMLCANCELAMENTO",
                                "FROM PADRAOII",
                                "",
                            }));

  std::vector<std::string> xml;
  for (const char* branch : {"AND N.MODELONOTAFISCAL = '55'|AND N.EMISSAO = 'P'|AND N.STATUSNFE = 'E'|AND 'Y' = :NFE_P",
                             "AND N.MODELONOTAFISCAL = '55'|AND N.EMISSAO = 'T'|AND 'Y' = :NFE_T",
                             "AND N.MODELONOTAFISCAL = '65'|AND 'Y' = :NFCE",
                             "AND N.MODELONOTAFISCAL = '59'|AND 'Y' = :SAT"}) {
    for (const std::string& line : Branch(branch)) xml.push_back(line);
    xml.push_back("UNION ALL");
  }
  for (const char* line : {"SELECT X.SEQUENCIAL", "     , 'C' AS TIPO", "     , X.CHAVE_CANC AS CHAVE", "     , X.XML",
                           "FROM XML_CANCELAMENTO X",
                           "LEFT JOIN QUIRADA_ENVIOS_XML D ON X.SEQUENCIAL = D.SEQUENCIAL AND D.TIPOXML = 'C'",
                           "WHERE X.DATA >= :DATA AND X.DATA >= CURRENT_DATE - 180", "AND D.SEQUENCIAL IS NULL",
                           "AND 'Y' = :CANC"})
    xml.push_back(line);
  EXPECT_EQ(kSqlTBXml, JoinLines(xml));

  EXPECT_EQ(kSqlTBEnviosXML, JoinLines({
                                 "SELECT SEQUENCIAL",
                                 "     , TIPOXML",
                                 "     , DATAHORAENVIO",
                                 "     , ID_ENVIO",
                                 "     , CODIGORETORNO",
                                 "FROM QUIRADA_ENVIOS_XML",
                                 "WHERE SEQUENCIAL = :SEQUENCIAL",
                                 "AND TIPOXML = :TIPOXML",
                                 "",
                             }));
}

TEST(ErpQueries, TheComponentsCarryTheQueriesAndTheirParameters) {
  ErpComponents erp;
  EXPECT_EQ(erp.TBPadraoII.SQL(), kSqlTBPadraoII);
  EXPECT_EQ(erp.TBXml.SQL(), kSqlTBXml);
  EXPECT_EQ(erp.TBEnviosXML.SQL(), kSqlTBEnviosXML);
  EXPECT_TRUE(erp.TBPadraoII.ParamNames().empty());
  EXPECT_EQ(erp.TBXml.ParamNames(), (std::vector<std::string>{"DATA", "NFE_P", "NFE_T", "NFCE", "SAT", "CANC"}));
  EXPECT_EQ(erp.TBEnviosXML.ParamNames(), (std::vector<std::string>{"SEQUENCIAL", "TIPOXML"}));
}

using Pending = std::vector<std::pair<long long, std::string>>;

class ErpQueriesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    erp_.Connquendalor.Params = db_.ConnectionParams();
    erp_.Connquendalor.Connect();
    today_ = db_.ServerDate();
  }

  // Binds and opens the pending query from the settings row, as the dispatch cycle does.
  void OpenPending() {
    erp_.TBPadraoII.Close();
    erp_.TBPadraoII.Open();
    AbrirPendentes(erp_);
  }

  Pending PendingDocuments() {
    OpenPending();
    Pending rows;
    for (; !erp_.TBXml.Eof(); erp_.TBXml.Next())
      rows.emplace_back(erp_.TBXml.FieldAsInteger("SEQUENCIAL"), erp_.TBXml.FieldAsString("TIPO"));
    erp_.TBXml.Close();
    erp_.TBPadraoII.Close();
    std::sort(rows.begin(), rows.end());
    return rows;
  }

  // The register write of the dispatch cycle, always looking the row up.
  void RecordSend(long long sequencial, const std::string& tipo, TDateTime when, const std::string& id,
                  const std::string& codigo) {
    ProcurarRegistroEnvio(erp_.TBEnviosXML, sequencial, tipo);
    GravarRegistroEnvio(erp_.TBEnviosXML, {sequencial, tipo, when, id, codigo});
  }

  ErpDatabase db_;
  ErpComponents erp_;
  TDateTime today_ = 0;
};

using Flags = std::map<std::string, std::optional<std::string>>;
const Flags kAllOn = testing::FlagsOfEveryKind("Y");

struct Note {
  long long seq;
  int days_ago;
  std::string modelo;
  std::string emissao;
  std::optional<std::string> status;
};
struct Cancellation {
  long long seq;
  TDateTime days_ago;  // a fraction is a time of day before midnight of the day after
};

struct SelectionCase {
  std::string what;
  Flags flags;
  std::optional<int> start_days_ago;  // no value: NULL
  std::vector<Note> notes;
  std::vector<Cancellation> cancellations;
  Pending register_rows;
  Pending expected;
  bool one_of_each_kind = false;  // and one document of every kind, numbered by its place in the table
};

std::vector<SelectionCase> SelectionCases() {
  std::vector<SelectionCase> cases = {
      {"own NF-e with status E, exactly 180 days old", kAllOn, 1000, {{1, 180, "55", "P", "E"}}, {}, {}, {{1, "N"}}},
      {"181 days old is out even with an older start date",
       kAllOn, 1000, {{1, 181, "55", "P", "E"}, {2, 180, "55", "T", "E"}, {3, 181, "65", "P", "E"}}, {}, {},
       {{2, "N"}}},
      {"cancellations: the window is by day, the time of day does not matter",
       kAllOn, 1000, {}, {{1, 180}, {2, 180 - 0.999}, {3, 181 - 0.9999}}, {}, {{1, "C"}, {2, "C"}}},
      {"start date later than every document", kAllOn, -1, {{1, 0, "55", "P", "E"}}, {{2, 0}}, {}, {}},
      {"start date on the document's day selects it",
       kAllOn, 10, {{1, 10, "55", "P", "E"}, {2, 11, "55", "P", "E"}}, {{3, 9.5}, {4, 10.01}}, {}, {{1, "N"}, {3, "C"}}},
      {"no start date holds nothing back", kAllOn, std::nullopt, {{1, 100, "59", "P", "E"}}, {{2, 150}}, {},
       {{1, "N"}, {2, "C"}}},
      {"own NF-e needs status E",
       kAllOn, 1000, {{1, 5, "55", "P", "X"}, {2, 5, "55", "P", std::nullopt}, {3, 5, "55", "P", "E"}}, {}, {},
       {{3, "N"}}},
      {"third-party NF-e whatever the status",
       kAllOn, 1000, {{1, 5, "55", "T", "E"}, {2, 5, "55", "T", "X"}, {3, 5, "55", "T", std::nullopt}}, {}, {},
       {{1, "N"}, {2, "N"}, {3, "N"}}},
      {"NFC-e of any issuer and status", kAllOn, 1000, {{1, 5, "65", "P", "X"}, {2, 5, "65", "T", std::nullopt}}, {},
       {}, {{1, "N"}, {2, "N"}}},
      {"SAT of any issuer and status", kAllOn, 1000, {{1, 5, "59", "P", "X"}, {2, 5, "59", "T", std::nullopt}}, {}, {},
       {{1, "N"}, {2, "N"}}},
      {"other models never", kAllOn, 1000, {{1, 5, "57", "P", "E"}, {2, 5, "55", "X", "E"}}, {}, {}, {}},
      {"register row (N, 7) hides note 7, not cancellation 7",
       kAllOn, 1000, {{7, 5, "55", "P", "E"}}, {{7, 5}}, {{7, "N"}}, {{7, "C"}}},
      {"register row (C, 8) hides cancellation 8, not note 8",
       kAllOn, 1000, {{8, 5, "55", "T", "E"}}, {{8, 5}}, {{8, "C"}}, {{8, "N"}}},
      {"every flag off gives nothing", testing::FlagsOfEveryKind("N"), 1000,
       {{1, 5, "55", "P", "E"}, {2, 5, "55", "T", "E"}, {3, 5, "65", "P", "E"}, {4, 5, "59", "P", "E"}}, {{5, 5}},
       {}, {}},
  };

  // Each flag alone, with every kind of value: only "Y" (blanks after it dropped) enables its kind,
  // with one document of every kind in the database (the kind's place in the table its number).
  const std::pair<std::optional<std::string>, bool> values[] = {
      {"Y", true}, {"Y ", true}, {"y", false}, {"S", false}, {"N", false}, {"", false}, {std::nullopt, false}};
  long long numero = 0;
  for (const TipoDocumento& tipo : kTiposDocumento) {
    ++numero;
    for (const auto& [value, enables] : values) {
      Flags flags = testing::FlagsOfEveryKind(std::nullopt);
      flags[std::string(tipo.parametro)] = value;
      SelectionCase alone{std::string(tipo.parametro) + " = " + (value ? "'" + *value + "'" : "NULL"), flags, 1000,
                          {}, {}, {}, enables ? Pending{{numero, std::string(tipo.letra)}} : Pending{}};
      alone.one_of_each_kind = true;
      cases.push_back(alone);
    }
  }
  return cases;
}

TEST_F(ErpQueriesTest, PendingDocumentsFollowTheSelectionRules) {
  for (const SelectionCase& c : SelectionCases()) {
    SCOPED_TRACE(c.what);
    db_.ClearTables();
    SettingsRow settings;
    settings.data_inicial_envio =
        c.start_days_ago ? std::optional<TDateTime>(today_ - *c.start_days_ago) : std::nullopt;
    settings.enviar = c.flags;
    db_.InsertSettings(settings);
    if (c.one_of_each_kind) {
      long long numero = 0;
      for (const TipoDocumento& tipo : kTiposDocumento) db_.InsertDocumentOfKind(tipo.parametro, ++numero, today_ - 5);
    }
    for (const Note& n : c.notes)
      db_.InsertNote({n.seq, "3524" + std::to_string(n.seq), "<nfe/>", today_ - n.days_ago, n.modelo, n.emissao,
                      n.status});
    for (const Cancellation& x : c.cancellations)
      db_.InsertCancellation({x.seq, "canc" + std::to_string(x.seq), "<canc/>", today_ - x.days_ago});
    for (const auto& [seq, tipo] : c.register_rows) db_.InsertRegister({seq, tipo, today_, "lote", "SA2"});
    EXPECT_EQ(PendingDocuments(), c.expected);
  }
}

TEST_F(ErpQueriesTest, PendingRowsCarryKeyAndXml) {
  db_.InsertSettings({});
  db_.InsertNote({11, "NFe3524-0001", "<nfe>Aç</nfe>", today_, "55", "P", "E"});
  db_.InsertCancellation({12, "ID1101113524", "<canc>ção</canc>", today_});
  OpenPending();
  std::vector<std::vector<std::string>> rows;
  for (; !erp_.TBXml.Eof(); erp_.TBXml.Next())
    rows.push_back({erp_.TBXml.FieldAsString("SEQUENCIAL"), erp_.TBXml.FieldAsString("TIPO"),
                    erp_.TBXml.FieldAsString("CHAVE"), erp_.TBXml.FieldAsString("XML")});
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{{"11", "N", "NFe3524-0001", "<nfe>Aç</nfe>"},
                                                         {"12", "C", "ID1101113524", "<canc>ção</canc>"}}));
}

TEST_F(ErpQueriesTest, TheSettingsRowReadsUnderTheTextRules) {
  struct Case {
    const char* what;
    std::optional<SettingsRow> row;
    const char* extra_sql;  // run after the insert
    std::string autorization, integration;
    TDateTime start;
  };
  SettingsRow full;
  full.autorization_key = "chave-da-contabilidade";
  full.integration_key = "chave-de-integração";
  full.data_inicial_envio = EncodeDateTime({2024, 3, 1, 0, 0, 0, 0});
  SettingsRow empty;
  empty.autorization_key = std::nullopt;
  empty.integration_key = "";
  const Case cases[] = {
      {"keys and start date", full, nullptr, "chave-da-contabilidade", "chave-de-integração",
       EncodeDateTime({2024, 3, 1, 0, 0, 0, 0})},
      {"NULL and empty keys read empty, no start date reads as the zero date", empty, nullptr, "", "", 0},
      {"a fixed-length key of blanks reads empty", full, "UPDATE PADRAOII SET QUIRADA_AUTORIZATION_KEY = '    '", "",
       "chave-de-integração", EncodeDateTime({2024, 3, 1, 0, 0, 0, 0})},
      {"a variable-length key keeps its blanks", full, "UPDATE PADRAOII SET QUIRADA_INTEGRATION_KEY = '  '",
       "chave-da-contabilidade", "  ", EncodeDateTime({2024, 3, 1, 0, 0, 0, 0})},
      {"no row at all: every column reads empty", std::nullopt, nullptr, "", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    db_.ClearTables();
    if (c.row) db_.InsertSettings(*c.row);
    if (c.extra_sql) db_.Execute(c.extra_sql);
    erp_.TBPadraoII.Close();
    erp_.TBPadraoII.Open();
    EXPECT_EQ(erp_.TBPadraoII.Eof(), !c.row.has_value());
    EXPECT_EQ(erp_.TBPadraoII.FieldAsString("QUIRADA_AUTORIZATION_KEY"), c.autorization);
    EXPECT_EQ(erp_.TBPadraoII.FieldAsString("QUIRADA_INTEGRATION_KEY"), c.integration);
    EXPECT_EQ(erp_.TBPadraoII.FieldAsDateTime("QUIRADA_DATAINICIALENVIO"), c.start);
    EXPECT_EQ(erp_.TBPadraoII.FieldAsString("QUIRADA_ENVIARSAT"), c.row ? "Y" : "");
  }
}

TEST_F(ErpQueriesTest, RecordingTheSameDocumentTwiceUpdatesItsRow) {
  const TDateTime first = EncodeDateTime({2025, 5, 6, 7, 8, 9, 0});
  const TDateTime second = EncodeDateTime({2025, 5, 6, 8, 0, 0, 0});
  RecordSend(7, "N", first, "lote-1", "SA2");
  RecordSend(7, "C", first, "lote-c", "SA2");
  RecordSend(7, "N", second, "lote-2", "SA3");
  const std::vector<RegisterRow> rows = db_.RegisterRows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].sequencial, 7);
  EXPECT_EQ(rows[0].tipo_xml, "C");
  EXPECT_EQ(rows[0].id_envio, "lote-c");
  EXPECT_EQ(rows[1].sequencial, 7);
  EXPECT_EQ(rows[1].tipo_xml, "N");
  EXPECT_EQ(rows[1].data_hora_envio, second);
  EXPECT_EQ(rows[1].id_envio, "lote-2");
  EXPECT_EQ(rows[1].codigo_retorno, "SA3");
}

TEST_F(ErpQueriesTest, RegisterValuesAreCutToTheirColumns) {
  RecordSend(3, "N", today_, std::string(100, 'i'), "");
  const std::vector<RegisterRow> rows = db_.RegisterRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].id_envio, std::string(64, 'i'));
  FbQuery q(db_.connection(), db_.transaction(), "SELECT COUNT(*) AS N FROM QUIRADA_ENVIOS_XML WHERE CODIGORETORNO IS NULL");
  q.Open();
  EXPECT_EQ(q.FieldAsInteger("N"), 1);  // empty text is stored as NULL
}

TEST_F(ErpQueriesTest, DocumentsRecordedWhileWalkingArePostedAtOnceAndNotOfferedAgain) {
  db_.InsertSettings({});
  for (long long seq = 1; seq <= 4; ++seq) db_.InsertNote({seq, "k", "<x/>", today_, "65", "P", "E"});
  db_.InsertCancellation({1, "c", "<c/>", today_});
  OpenPending();
  int walked = 0;
  for (; !erp_.TBXml.Eof(); erp_.TBXml.Next()) {
    RecordSend(erp_.TBXml.FieldAsInteger("SEQUENCIAL"), erp_.TBXml.FieldAsString("TIPO"), Now(), "lote", "SA2");
    ++walked;
    EXPECT_EQ(db_.RegisterRows().size(), static_cast<std::size_t>(walked));  // committed at once
  }
  EXPECT_EQ(walked, 5);
  erp_.TBXml.Close();
  EXPECT_TRUE(PendingDocuments().empty());
}

}  // namespace
}  // namespace quirada
