#include "dispatch/document_kinds.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "dispatch/erp_queries.h"
#include "firebird/sql_params.h"

namespace quirada {
namespace {

TEST(DocumentKinds, PendingsSummaryCountsEveryLetterOfTheTableInItsOrder) {
  const struct {
    std::map<std::string, int, std::less<>> por_letra;
    const char* resumo;
  } cases[] = {
      {{}, "Por tipo: 0 nota(s) fiscal(is) (N), 0 cancelamento(s) (C)."},
      {{{"N", 3}, {"C", 1}}, "Por tipo: 3 nota(s) fiscal(is) (N), 1 cancelamento(s) (C)."},
      {{{"C", 12}}, "Por tipo: 0 nota(s) fiscal(is) (N), 12 cancelamento(s) (C)."},
      {{{"N", 2}, {"X", 5}, {"", 1}}, "Por tipo: 2 nota(s) fiscal(is) (N), 0 cancelamento(s) (C)."},
  };
  for (const auto& c : cases) EXPECT_EQ(ResumoPorTipo(c.por_letra), c.resumo);
}

// The SQL texts are the integration's own; the table must say what they say.
TEST(DocumentKinds, EveryKindIsAFlagOfTheSettingsQueryAndAParameterOfItsLetterAndXmlColumnInThePendingQuery) {
  const std::string pendentes(kSqlTBXml);
  std::set<std::string> parametros;
  for (const std::string& nome : RewriteNamedParams(kSqlTBXml).names)
    if (nome != "DATA") parametros.insert(nome);
  std::set<std::string> da_tabela;
  for (const TipoDocumento& tipo : kTiposDocumento) {
    SCOPED_TRACE(std::string(tipo.parametro));
    da_tabela.insert(std::string(tipo.parametro));
    EXPECT_NE(kSqlTBPadraoII.find("     , " + std::string(tipo.flag) + "\n"), std::string_view::npos);
    const size_t condicao = pendentes.find("AND 'Y' = :" + std::string(tipo.parametro));
    ASSERT_NE(condicao, std::string::npos);
    const size_t tipo_do_ramo = pendentes.rfind(" AS TIPO\n", condicao);
    ASSERT_NE(tipo_do_ramo, std::string::npos);
    EXPECT_EQ(pendentes.substr(tipo_do_ramo - 3, 3), std::string("'").append(tipo.letra).append("'"));
    // The branch reads the kind's XML from the table and column the table names.
    const size_t inicio = pendentes.rfind("SELECT ", condicao);
    const std::string ramo = pendentes.substr(inicio, condicao - inicio);
    const std::string from = "\nFROM " + std::string(tipo.tabela) + " ";
    const size_t de = ramo.find(from);
    ASSERT_NE(de, std::string::npos) << ramo;
    const std::string alias = ramo.substr(de + from.size(), ramo.find('\n', de + 1) - de - from.size());
    const std::string coluna = alias + "." + std::string(tipo.coluna_xml);
    EXPECT_TRUE(ramo.find("     , " + coluna + " AS XML\n") != std::string::npos ||
                (tipo.coluna_xml == "XML" && ramo.find("     , " + coluna + "\n") != std::string::npos))
        << ramo;
  }
  EXPECT_EQ(da_tabela, parametros);
}

}  // namespace
}  // namespace quirada
