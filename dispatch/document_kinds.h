// The kinds of document the service sends, one row each: the letter that names the kind's
// documents (TIPO of the pending query, TIPOXML of the register), the flag of PADRAOII that enables
// it ('Y'), the pending query's parameter bound from that flag (erp_queries.h), how /PENDING's
// summary counts the documents of its letter, and the table and column the pending query reads
// the kind's XML from. Several kinds share a letter, and a letter one table and column: every note
// (own and third-party NF-e, NFC-e, SAT) is "N", from NOTASENTRADASESAIDAS.XMLNFE, a cancellation
// "C", from XML_CANCELAMENTO.XML.
//
// The SQL texts themselves stay as the ERP integration defines them; the table is what the service
// binds and counts by.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace quirada {

struct TipoDocumento {
  std::string_view letra;
  std::string_view flag;       // column of PADRAOII
  std::string_view parametro;  // parameter of kSqlTBXml
  std::string_view rotulo;     // in the summary: "<n> <rotulo> (<letra>)"
  std::string_view tabela;     // where the pending query reads the kind's documents
  std::string_view coluna_xml;  // the column of `tabela` that holds a document's XML
};

inline constexpr std::string_view kRotuloNotas = "nota(s) fiscal(is)";
inline constexpr std::string_view kRotuloCancelamentos = "cancelamento(s)";
inline constexpr std::string_view kTabelaNotas = "NOTASENTRADASESAIDAS";

// In the order the pending query's parameters are bound.
inline constexpr TipoDocumento kTiposDocumento[] = {
    {"N", "QUIRADA_ENVIARNFE_TERCEIROS", "NFE_T", kRotuloNotas, kTabelaNotas, "XMLNFE"},
    {"N", "QUIRADA_ENVIARNFE_PROPRIO", "NFE_P", kRotuloNotas, kTabelaNotas, "XMLNFE"},
    {"N", "QUIRADA_ENVIARNFCE", "NFCE", kRotuloNotas, kTabelaNotas, "XMLNFE"},
    {"N", "QUIRADA_ENVIARSAT", "SAT", kRotuloNotas, kTabelaNotas, "XMLNFE"},
    {"C", "QUIRADA_ENVIARXMLCANCELAMENTO", "CANC", kRotuloCancelamentos, "XML_CANCELAMENTO", "XML"},
};

// /PENDING's summary of the documents counted by letter: "Por tipo: 3 nota(s) fiscal(is) (N), 1
// cancelamento(s) (C)." (without a line end); every letter of the table in the table's order, 0
// when none was counted, letters outside the table left out.
std::string ResumoPorTipo(const std::map<std::string, int, std::less<>>& por_letra);

}  // namespace quirada
