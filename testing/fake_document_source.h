// A document source in memory (dispatch/document_source.h), for tests of the dispatch cycle that
// need no database: the settings, the pending documents in their order, the register as a map,
// and the failures a test asks for. It keeps what the cycle did to it (claims taken and let go,
// rows written, whether it was closed) for the test to look at.
#pragma once

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dispatch/document_source.h"

namespace quirada::testing {

class FakeDocumentSource : public TFonteDocumentos {
 public:
  // What the source is given.
  std::optional<std::string> falha_conexao;  // Abrir returns it
  TConfiguracaoErp configuracao{TEstadoConfiguracaoErp::kPronta, "", "contabilidade", "integracao"};
  std::vector<TDocumentoPendente> pendentes;
  size_t cabe_id = 40;                    // the most characters ID_ENVIO holds
  std::set<std::string> ocupadas;         // keys whose claim another cycle holds
  std::set<std::string> registradas_por_outro;  // keys another cycle records after the walk began
  std::set<std::string> falha_no_registro;      // keys whose row cannot be written

  // What the cycle did.
  std::map<std::pair<long long, std::string>, RegistroEnvio> registro;
  int reivindicacoes = 0;
  int soltas = 0;
  bool aberta = false;
  bool fechada = false;

  std::optional<std::string> Abrir() override {
    aberta = !falha_conexao;
    return falha_conexao;
  }
  TConfiguracaoErp Configuracao() override { return configuracao; }
  std::optional<size_t> PrepararRegistro(std::string*) override { return cabe_id; }
  long long ContarPendentes() override { return static_cast<long long>(pendentes.size()); }
  void PercorrerPendentes(const std::function<bool(const TDocumentoPendente&)>& tratar) override {
    for (const TDocumentoPendente& d : pendentes)
      if (!tratar(d)) return;
  }
  TReivindicacao Reivindicar(const TDocumentoPendente& d, std::string* quem) override {
    if (ocupadas.count(d.chave)) {
      *quem = "outra instalação envia " + d.chave;
      return TReivindicacao::kOcupada;
    }
    ++reivindicacoes;
    em_maos_ = d;
    if (registradas_por_outro.count(d.chave) || registro.count({d.sequencial, d.tipo}))
      return TReivindicacao::kJaRegistrado;
    return TReivindicacao::kTomada;
  }
  void Registrar(const RegistroEnvio& linha) override {
    if (falha_no_registro.count(em_maos_.chave))
      throw FalhaDoRegistro("lock conflict on no wait transaction", ": outra transação o impede");
    registro[{linha.sequencial, linha.tipo_xml}] = linha;
  }
  void Soltar() override { ++soltas; }
  void Fechar() override { fechada = true; }

 private:
  TDocumentoPendente em_maos_;
};

}  // namespace quirada::testing
