// The ERP's integration settings (the first row of PADRAOII) as the service judges them: one
// judgement that every cycle, "/PENDING" and "/VERIFICAR" make, in the same words.
//
//  - kInvalida: the integration key, which goes in a header of every request, holds a character
//    outside printable ASCII: every cycle fails with `motivo` before anything is sent, and
//    "/VERIFICAR" fails with it;
//  - kNadaAEnviar: PADRAOII has no row, or its authorization key or its integration key is empty
//    (a CHAR of blanks included): a cycle sends nothing and logs nothing ("/ONCE" prints `motivo`),
//    and "/VERIFICAR" fails with `motivo`: the service would never send anything;
//  - kPronta: the cycle goes on to the pending documents.
#pragma once

#include <string>

#include "dispatch/erp_queries.h"

namespace quirada {

enum class TEstadoConfiguracaoErp { kPronta, kNadaAEnviar, kInvalida };

struct TConfiguracaoErp {
  TEstadoConfiguracaoErp estado = TEstadoConfiguracaoErp::kNadaAEnviar;
  std::string motivo;  // kNadaAEnviar and kInvalida: the sentence that says why
  std::string chave_contabilidade;  // QUIRADA_AUTORIZATION_KEY
  std::string chave_integracao;     // QUIRADA_INTEGRATION_KEY
};

// Opens TBPadraoII (it stays open on its first row, for the pending query's parameters) and
// judges it.
TConfiguracaoErp LerConfiguracaoErp(ErpComponents& erp);

}  // namespace quirada
