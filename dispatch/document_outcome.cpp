#include "dispatch/document_outcome.h"

namespace quirada {
namespace {

// A rejection of this one document by the platform, as opposed to a failure of the platform, the
// network or the credentials, which would strike every document alike.
bool DocumentoRecusado(int32_t status) {
  return status >= 400 && status <= 499 && status != 401 && status != 403 && status != 408 &&
         status != 429;
}

}  // namespace

std::string FalhaIdLote(const std::string& id) {
  if (id.empty() || id == "." || id == "..") return "vazio ou um nome de pasta";
  for (const char ch : id) {
    const auto u = static_cast<unsigned char>(ch);
    if (u < 0x20 || u > 0x7E) return "com caracteres fora do ASCII imprimível";
  }
  return "";
}

Desfecho DecidirDocumento(const FatosDocumento& fatos) {
  if (fatos.falha_envio)
    return !fatos.parada && DocumentoRecusado(*fatos.falha_envio) ? Desfecho::kRecusado
                                                                   : Desfecho::kFimDoCiclo;
  const std::string& codigo = fatos.envio.CodRetorno;
  if (fatos.envio.Codigo != 201 || (codigo != "S1" && codigo != "S2")) return Desfecho::kNaoRegistrado;
  if (!FalhaIdLote(fatos.envio.Id).empty()) return Desfecho::kLoteInvalido;
  if (!fatos.estado) return Desfecho::kConsultarEstado;
  // A query that got no answer (a failure reported to a request handler returns an empty record)
  // says nothing of the batch.
  if (fatos.estado->Codigo < 200 || fatos.estado->Codigo > 299) return Desfecho::kNaoRegistrado;
  const std::string& estado = fatos.estado->CodRetorno;
  return estado == "E0" || estado == "EA0" || estado == "EB0" ? Desfecho::kNaoRegistrado
                                                              : Desfecho::kRegistrado;
}

}  // namespace quirada
