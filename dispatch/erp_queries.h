// The three queries the service runs on the ERP database, with their SQL text, and the database
// components that the service module owns (connection, transactions, queries).
//
// TBPadraoII reads the integration settings (PADRAOII); TBXml lists the documents still to be sent
// (NOTASENTRADASESAIDAS and XML_CANCELAMENTO, not yet in the register), streamed one row at a
// time; TBEnviosXML finds one register row of QUIRADA_ENVIOS_XML by (SEQUENCIAL, TIPOXML) and
// writes it (Edit or Append, the five columns, Post: an UPDATE or INSERT through TransReadWrite,
// committed at once); register_write.h holds that write.
//
// The SQL texts are kept exactly as the ERP integration defines them, line by line, lines joined by
// "\n" (a text whose last line is empty ends with "\n").
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "firebird/fb_connection.h"
#include "firebird/fb_query.h"

namespace quirada {

inline constexpr std::string_view kSqlTBPadraoII =
    "SELECT CODIGO\n"
    "     , QUIRADA_AUTORIZATION_KEY\n"
    "     , QUIRADA_INTEGRATION_KEY\n"
    "     , QUIRADA_DATAINICIALENVIO\n"
    "     , QUIRADA_ENVIARNFE_TERCEIROS\n"
    "     , QUIRADA_ENVIARNFE_PROPRIO\n"
    "     , QUIRADA_ENVIARNFCE\n"
    "     , QUIRADA_ENVIARSAT\n"
    "     , QUIRADA_ENVIARXMLCANCELAMENTO\n"
    "FROM PADRAOII\n";

inline constexpr std::string_view kSqlTBXml =
    "SELECT N.SEQUENCIAL\n"
    "     , 'N' AS TIPO\n"
    "     , N.CHAVENFE AS CHAVE\n"
    "     , N.XMLNFE AS XML\n"
    "FROM NOTASENTRADASESAIDAS N\n"
    "LEFT JOIN QUIRADA_ENVIOS_XML D ON N.SEQUENCIAL = D.SEQUENCIAL AND D.TIPOXML = 'N'\n"
    "WHERE N.DATA >= :DATA AND N.DATA >= CURRENT_DATE - 180\n"
    "AND D.SEQUENCIAL IS NULL\n"
    "AND N.MODELONOTAFISCAL = '55'\n"
    "AND N.EMISSAO = 'P'\n"
    "AND N.STATUSNFE = 'E'\n"
    "AND 'Y' = :NFE_P\n"
    "UNION ALL\n"
    "SELECT N.SEQUENCIAL\n"
    "     , 'N' AS TIPO\n"
    "     , N.CHAVENFE AS CHAVE\n"
    "     , N.XMLNFE AS XML\n"
    "FROM NOTASENTRADASESAIDAS N\n"
    "LEFT JOIN QUIRADA_ENVIOS_XML D ON N.SEQUENCIAL = D.SEQUENCIAL AND D.TIPOXML = 'N'\n"
    "WHERE N.DATA >= :DATA AND N.DATA >= CURRENT_DATE - 180\n"
    "AND D.SEQUENCIAL IS NULL\n"
    "AND N.MODELONOTAFISCAL = '55'\n"
    "AND N.EMISSAO = 'T'\n"
    "AND 'Y' = :NFE_T\n"
    "UNION ALL\n"
    "SELECT N.SEQUENCIAL\n"
    "     , 'N' AS TIPO\n"
    "     , N.CHAVENFE AS CHAVE\n"
    "     , N.XMLNFE AS XML\n"
    "FROM NOTASENTRADASESAIDAS N\n"
    "LEFT JOIN QUIRADA_ENVIOS_XML D ON N.SEQUENCIAL = D.SEQUENCIAL AND D.TIPOXML = 'N'\n"
    "WHERE N.DATA >= :DATA AND N.DATA >= CURRENT_DATE - 180\n"
    "AND D.SEQUENCIAL IS NULL\n"
    "AND N.MODELONOTAFISCAL = '65'\n"
    "AND 'Y' = :NFCE\n"
    "UNION ALL\n"
    "SELECT N.SEQUENCIAL\n"
    "     , 'N' AS TIPO\n"
    "     , N.CHAVENFE AS CHAVE\n"
    "     , N.XMLNFE AS XML\n"
    "FROM NOTASENTRADASESAIDAS N\n"
    "LEFT JOIN QUIRADA_ENVIOS_XML D ON N.SEQUENCIAL = D.SEQUENCIAL AND D.TIPOXML = 'N'\n"
    "WHERE N.DATA >= :DATA AND N.DATA >= CURRENT_DATE - 180\n"
    "AND D.SEQUENCIAL IS NULL\n"
    "AND N.MODELONOTAFISCAL = '59'\n"
    "AND 'Y' = :SAT\n"
    "UNION ALL\n"
    "SELECT X.SEQUENCIAL\n"
    "     , 'C' AS TIPO\n"
    "     , X.CHAVE_CANC AS CHAVE\n"
    "     , X.XML\n"
    "FROM XML_CANCELAMENTO X\n"
    "LEFT JOIN QUIRADA_ENVIOS_XML D ON X.SEQUENCIAL = D.SEQUENCIAL AND D.TIPOXML = 'C'\n"
    "WHERE X.DATA >= :DATA AND X.DATA >= CURRENT_DATE - 180\n"
    "AND D.SEQUENCIAL IS NULL\n"
    "AND 'Y' = :CANC";

inline constexpr std::string_view kSqlTBEnviosXML =
    "SELECT SEQUENCIAL\n"
    "     , TIPOXML\n"
    "     , DATAHORAENVIO\n"
    "     , ID_ENVIO\n"
    "     , CODIGORETORNO\n"
    "FROM QUIRADA_ENVIOS_XML\n"
    "WHERE SEQUENCIAL = :SEQUENCIAL\n"
    "AND TIPOXML = :TIPOXML\n";

inline constexpr std::string_view kTabelaEnviosXML = "QUIRADA_ENVIOS_XML";

// TBXml's text for a database of SQL dialect `dialect`: kSqlTBXml, except on a dialect 1 database
// (older ERPs), which has no DATE type of its own and refuses CURRENT_DATE: there the 180-day
// window reads "CAST('TODAY' AS DATE) - 180", midnight of the server's day, the same window.
std::string SqlTBXml(int dialect);

// Makes TBEnviosXML what the service needs: updatable through `TransReadWrite` (the row found by
// SEQUENCIAL and TIPOXML) and a single-row look-up.
void PrepararTBEnviosXML(FbQuery& TBEnviosXML, FbTransaction& TransReadWrite);

// The database components of the service module, wired as the module uses them: every query reads
// in TransReadOnly; TBEnviosXML writes its row through TransReadWrite, which reserves the register
// for protected write whenever it starts (the cycle's claim, register_check.h). Destroying them
// disconnects.
struct ErpComponents {
  ErpComponents();

  FbConnection Connquendalor;
  FbTransaction TransReadOnly{Connquendalor, FbTransactionMode::kReadOnly};
  FbTransaction TransReadWrite{Connquendalor, FbTransactionMode::kReadWrite};
  FbQuery TBPadraoII{Connquendalor, TransReadOnly, std::string(kSqlTBPadraoII)};
  FbQuery TBXml{Connquendalor, TransReadOnly, std::string(kSqlTBXml)};
  FbQuery TBEnviosXML{Connquendalor, TransReadOnly, std::string(kSqlTBEnviosXML)};
  // The character set of the XML column of each letter's documents (document_kinds.h), from the
  // catalogue (column_charset.h); filled by AbrirPendentes.
  std::map<std::string, FbCharacterSet, std::less<>> ConjuntosXml;
};

// Opens the pending documents from the open settings row, as every cycle does: reads the character
// set of every kind's XML column into ConjuntosXml, closes TBXml (its text made the one for the
// database's dialect), binds its parameters in this order, DATA from QUIRADA_DATAINICIALENVIO as a
// date and time, then the parameter of every kind of document (document_kinds.h: NFE_T, NFE_P,
// NFCE, SAT and CANC) from its flag as text, unchanged, and opens it.
void AbrirPendentes(ErpComponents& erp);

// How many documents the pending query selects now, with the parameters of the open settings
// row; counted by the server (no XML is read).
long long ContarPendentes(ErpComponents& erp);

}  // namespace quirada
