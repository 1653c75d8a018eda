#include "service/install.h"

namespace quirada {

bool NomeDeInstanciaValido(const std::string& nome) {
  if (nome.empty() || nome.size() > 64) return false;
  for (const char c : nome) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

}  // namespace quirada
