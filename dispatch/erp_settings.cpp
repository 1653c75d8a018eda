#include "dispatch/erp_settings.h"

namespace quirada {

TConfiguracaoErp LerConfiguracaoErp(ErpComponents& erp) {
  TConfiguracaoErp c;
  FbQuery& padrao = erp.TBPadraoII;
  padrao.Open();
  if (padrao.Eof()) {
    c.motivo =
        "A tabela PADRAOII não tem nenhuma linha: sem as chaves da integração, nada é enviado.";
    return c;
  }
  c.chave_contabilidade = padrao.FieldAsString("QUIRADA_AUTORIZATION_KEY");
  c.chave_integracao = padrao.FieldAsString("QUIRADA_INTEGRATION_KEY");
  if (c.chave_contabilidade.empty()) {
    c.motivo = "A chave de autorização (PADRAOII.QUIRADA_AUTORIZATION_KEY) está vazia: nada é "
               "enviado enquanto ela faltar.";
    return c;
  }
  if (c.chave_integracao.empty()) {
    c.motivo = "A chave de integração (PADRAOII.QUIRADA_INTEGRATION_KEY) está vazia: nada é "
               "enviado enquanto ela faltar.";
    return c;
  }
  for (const char ch : c.chave_integracao) {
    const auto u = static_cast<unsigned char>(ch);
    if (u < 0x20 || u > 0x7E) {
      c.estado = TEstadoConfiguracaoErp::kInvalida;
      c.motivo =
          "A chave de integração (PADRAOII.QUIRADA_INTEGRATION_KEY) tem caracteres fora do ASCII "
          "imprimível e não pode ir no cabeçalho das requisições: corrija-a no ERP. Nada foi "
          "enviado.";
      return c;
    }
  }
  c.estado = TEstadoConfiguracaoErp::kPronta;
  return c;
}

}  // namespace quirada
