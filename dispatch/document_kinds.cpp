#include "dispatch/document_kinds.h"

#include <set>

namespace quirada {

std::string ResumoPorTipo(const std::map<std::string, int, std::less<>>& por_letra) {
  std::string texto = "Por tipo: ";
  std::set<std::string_view> ditas;
  for (const TipoDocumento& tipo : kTiposDocumento) {
    if (!ditas.insert(tipo.letra).second) continue;
    const auto contagem = por_letra.find(tipo.letra);
    if (ditas.size() > 1) texto += ", ";
    texto += std::to_string(contagem == por_letra.end() ? 0 : contagem->second);
    texto += ' ';
    texto += tipo.rotulo;
    texto += " (";
    texto += tipo.letra;
    texto += ')';
  }
  return texto + ".";
}

}  // namespace quirada
