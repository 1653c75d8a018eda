#include "dispatch/pending_walk.h"

#include <set>
#include <string>
#include <utility>

#include "dispatch/fb_api.h"

namespace quirada {
namespace {

using Documento = std::pair<long long, std::string>;  // SEQUENCIAL, TIPO

// The connection's parameters with every text taken as the database holds it.
std::vector<std::string> ParametrosBrutos(const std::vector<std::string>& params) {
  std::vector<std::string> raw = params;
  for (std::string& line : raw)
    if (line.rfind("CharacterSet=", 0) == 0) line = "CharacterSet=NONE";
  return raw;
}

// Walks `pendentes` from its current row to its end, or until `tratar` returns false; raises what
// the cursor raises.
void Percorrer(FbQuery& pendentes, std::set<Documento>& vistos,
               const std::function<bool(FbQuery&)>& tratar) {
  for (; !pendentes.Eof(); pendentes.Next()) {
    Documento doc{pendentes.FieldAsInteger("SEQUENCIAL"), pendentes.FieldAsString("TIPO")};
    if (!vistos.insert(std::move(doc)).second) continue;
    if (!tratar(pendentes)) return;
  }
}

}  // namespace

bool TextoIntraduzivel(const std::exception& e) {
  const auto* db = dynamic_cast<const DatabaseError*>(&e);
  return db != nullptr && db->transliteration_failed();
}

void PercorrerPendentes(ErpComponents& erp, const std::function<bool(FbQuery&)>& tratar) {
  std::set<Documento> vistos;
  try {
    AbrirPendentes(erp.TBPadraoII, erp.TBXml);
    Percorrer(erp.TBXml, vistos, tratar);
    return;
  } catch (const std::exception& e) {
    if (!TextoIntraduzivel(e)) throw;
  }
  erp.TBXml.Close();

  FbConnection bruta;
  bruta.LoginPrompt = false;
  bruta.Params = ParametrosBrutos(erp.Connquendalor.Params);
  bruta.Connect();
  FbTransaction leitura(bruta, FbTransactionMode::kReadOnly);
  FbQuery pendentes(bruta, leitura, erp.TBXml.SQL());
  AbrirPendentes(erp.TBPadraoII, pendentes);
  Percorrer(pendentes, vistos, tratar);
  pendentes.Close();
  bruta.Disconnect();
}

}  // namespace quirada
