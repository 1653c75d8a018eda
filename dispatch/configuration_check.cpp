#include "dispatch/configuration_check.h"

#include <cctype>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "base/file_io.h"
#include "base/folder_trust.h"
#include "base/text.h"
#include "dispatch/connection_setup.h"
#include "dispatch/erp_settings.h"
#include "dispatch/quirada_platform.h"
#include "dispatch/register_check.h"
#include "platform_client/http_client.h"

namespace quirada {
namespace {

bool SecaoConhecida(const std::string& secao) {
  return EqualsIgnoringCase(secao, kSecaoIni) || EqualsIgnoringCase(secao, kSecaoQuirada);
}

bool ChaveConhecidaNa(const std::string& secao, const std::string& chave) {
  for (const TChaveIni& k : ChavesIni())
    if (EqualsIgnoringCase(secao, k.secao) && EqualsIgnoringCase(chave, k.nome)) return true;
  return false;
}

// Entries of the INI the service does not read, each on an "AVISO:" line.
void AvisarEntradas(const TConfiguracao& config, std::ostream& out) {
  for (const IniEntry& e : config.entradas) {
    if (e.place == IniPlace::kBeforeAnySection)
      out << "AVISO: a chave \"" << e.key << "\" vem antes de qualquer seção: o serviço não a lê\n";
    else if (e.place == IniPlace::kRepeatedSection)
      out << "AVISO: a seção [" << e.section << "] aparece mais de uma vez e só a primeira vale: a "
          << "chave \"" << e.key << "\" desta repetição não é lida\n";
    else if (!SecaoConhecida(e.section))
      out << "AVISO: seção desconhecida [" << e.section << "], chave \"" << e.key
          << "\": o serviço não a lê\n";
    else if (!ChaveConhecidaNa(e.section, e.key))
      out << "AVISO: chave desconhecida \"" << e.key << "\" na seção [" << e.section
          << "]: o serviço não a lê\n";
  }
}

// Values the service reads but would not work with: endpoints that are no https URLs, a port
// after a colon, a password others may read.
void AvisarValores(const TConfiguracao& config, std::ostream& out) {
  const TBancoConfigurado& banco = config.banco;
  if (const std::string dica = banco.DicaPorta(); !dica.empty())
    out << "AVISO: Servidor \"" << banco.Servidor << "\": " << dica << '\n';
  for (const auto& [nome, url] : {std::pair{"ApiUrl", config.api_url}, std::pair{"AuthUrl", config.auth_url}}) {
    try {
      (void)ParseEndpoint(url);
    } catch (const std::exception&) {
      out << "AVISO: " << nome << " \"" << url << "\" não é um endereço https://host[:porta]\n";
    }
  }
  if (!banco.Senha.empty()) {
    if (const auto leitores = OthersMayRead(config.arquivo_ini)) {
      out << "AVISO: " << config.arquivo_ini << " guarda a Senha do banco e pode ser lido pelo grupo ou por "
          << "outros usuários (" << leitores->why << "); deixe-o só para " << TrustedWriters()
          << ": " << leitores->mend << "\n";
    }
  }
}

// The INI's part: the file, the values in effect, the warnings.
void MostrarConfiguracao(const TConfiguracao& config, std::ostream& out) {
  out << "Arquivo de configuração: " << config.arquivo_ini;
  if (!config.codificacao)
    out << " (não encontrado: valem os valores padrão)";
  else
    out << " (lido em " << IniEncodingName(*config.codificacao) << ")";
  out << '\n';
  for (const TChaveIni& chave : ChavesIni())
    out << "  [" << chave.secao << "] " << chave.nome << " = " << chave.mostrar(config) << '\n';
  AvisarEntradas(config, out);
  AvisarValores(config, out);
}

// One check's line: "<what>: OK", or "<what>: FALHOU: <cause>"; no line when `verificacao`
// returns false (nothing to check). Returns whether the check did not fail.
bool VerificarSeHouver(std::ostream& out, const std::string& o_que, const std::function<bool()>& verificacao) {
  try {
    if (verificacao()) out << o_que << ": OK\n";
    return true;
  } catch (const std::exception& e) {
    // The cause may come from the database or the network: shown without control characters.
    out << o_que << ": FALHOU: " << BlankControls(e.what()) << '\n';
    return false;
  }
}

bool Verificar(std::ostream& out, const std::string& o_que, const std::function<void()>& verificacao) {
  return VerificarSeHouver(out, o_que, [&] {
    verificacao();
    return true;
  });
}

// The checks some keys of the INI have of their own, a line each.
bool VerificarChaves(const TConfiguracao& config, std::ostream& out) {
  bool tudo_ok = true;
  for (const TChaveIni& chave : ChavesIni()) {
    if (chave.verificar == nullptr) continue;
    tudo_ok &= VerificarSeHouver(out, "[" + std::string(chave.secao) + "] " + chave.nome + " (" + chave.mostrar(config) + ")",
                                 [&] { return chave.verificar(config); });
  }
  return tudo_ok;
}

// The database's character set and dialect, on the line after its check.
void MostrarBanco(ErpComponents& erp, std::ostream& out) {
  std::string cs;
  try {
    FbQuery banco_info(erp.Connquendalor, erp.TransReadOnly,
                       "SELECT TRIM(RDB$CHARACTER_SET_NAME) AS CS FROM RDB$DATABASE");
    banco_info.Open();
    cs = BlankControls(banco_info.FieldAsString("CS"));
  } catch (const std::exception& e) {
    cs = "(não lido: " + BlankControls(e.what()) + ")";
  }
  out << "  conjunto de caracteres " << (cs.empty() ? "NONE" : cs) << ", dialeto SQL "
      << erp.Connquendalor.database_dialect()
      << (erp.Connquendalor.database_read_only() ? ", somente leitura" : "")
      << "; o texto é lido em UTF8, sem perda\n";
}

// What the database part found, for the platform's part.
struct TBancoVerificado {
  bool conectou = false;
  std::optional<TConfiguracaoErp> erp;  // the settings, when they could be read
};

// Runs `verificacao`; a statement refused for want of a grant is told as a cycle tells it: who,
// and the GRANT.
std::function<void()> ComPermissoesNaVerificacao(ErpComponents& erp, std::function<void()> verificacao) {
  return [&erp, verificacao = std::move(verificacao)] { ComPermissoes(erp, verificacao); };
}

// The database, the settings, the pending query and the register, a line each; closes and
// disconnects at its end.
bool VerificarBanco(ErpComponents& erp, const TConfiguracao& config, TBancoVerificado& achado,
                    std::ostream& out) {
  bool tudo_ok = true;
  tudo_ok &= Verificar(out, "Banco de dados (" + config.banco.Conexao() + ")", [&] {
    std::string falha;
    const auto guardar = [&falha](const std::string& linha) { falha = linha; };
    // The connection sequence's line without its prefix: the cause and what was tried.
    if (!ConectarBancoDados(erp.Connquendalor, config.banco, guardar))
      throw Exception(falha.substr(std::string(kFalhaConexao).size()));
    achado.conectou = true;
  });
  if (achado.conectou) MostrarBanco(erp, out);
  const auto depende = [&] {
    if (!achado.conectou) throw Exception("depende do banco de dados, que falhou");
  };
  // The settings as every cycle judges them, in the cycle's words.
  tudo_ok &= Verificar(out, "Configuração da integração (PADRAOII)", ComPermissoesNaVerificacao(erp, [&] {
    depende();
    achado.erp = LerConfiguracaoErp(erp);
    if (achado.erp->estado != TEstadoConfiguracaoErp::kPronta) throw Exception(achado.erp->motivo);
  }));
  tudo_ok &= Verificar(out, "Consulta dos documentos pendentes", ComPermissoesNaVerificacao(erp, [&] {
    depende();
    if (!achado.erp) throw Exception("depende da configuração da integração, que não pôde ser lida");
    AbrirPendentes(erp);
    erp.TBXml.Close();
  }));
  // The register as a cycle proves it before its first upload, under the claim a cycle takes for
  // each document (waiting for it as long as a cycle would), writing no row; the claim is let go
  // at once.
  tudo_ok &= Verificar(out, "Registro dos envios (QUIRADA_ENVIOS_XML)", ComPermissoesNaVerificacao(erp, [&] {
    depende();
    (void)VerificarRegistro(erp);
    ReivindicacaoDocumento reivindicacao(erp);
    if (const std::optional<std::string> ocupado = reivindicacao.Tomar()) {
      std::string quem = *ocupado;
      quem[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(quem[0])));
      throw Exception(quem + ", e não a largou em " + std::to_string(kLockTimeout.count()) +
                      " segundos: os ciclos não enviam nada enquanto ela a prender");
    }
    ProvarGravacao(erp, config.pasta);
  }));
  try {
    erp.TBPadraoII.Close();
    erp.Connquendalor.Disconnect();
  } catch (const std::exception& e) {
    out << "AVISO: ao desconectar do banco de dados: " << BlankControls(e.what()) << '\n';
  }
  return tudo_ok;
}

// The platform's token and the activation of the ERP's authorization key, a line each, and the
// activation's office and client.
bool VerificarPlataforma(TDTQuirada& cliente, const TConfiguracao& config, const TBancoVerificado& achado,
                         std::ostream& out) {
  bool tudo_ok = true;
  // The configured AuthUrl is always asked: a cached token proves nothing about it.
  std::optional<std::string> falha_cliente;
  const TConfiguracaoErp erp = achado.erp.value_or(TConfiguracaoErp{});
  tudo_ok &= Verificar(out, "Plataforma, token de acesso", [&] {
    try {
      ConfigurarCliente(cliente, config, erp.chave_contabilidade, erp.chave_integracao, nullptr);
    } catch (const std::exception& e) {
      falha_cliente = e.what();  // the private token folder, say: nothing of the platform is tried
      throw;
    }
    cliente.SolicitarToken();
  });

  TKeyClient ativacao;
  const bool com_chave = achado.erp && !erp.chave_contabilidade.empty();
  tudo_ok &= Verificar(out, "Plataforma, ativação da chave de autorização", [&] {
    if (falha_cliente) throw Exception(*falha_cliente);
    if (!achado.conectou) throw Exception("depende do banco de dados, que falhou");
    if (!achado.erp) throw Exception("depende da configuração da integração, que não pôde ser lida");
    if (!com_chave) throw Exception(erp.motivo);
    ativacao = cliente.VerificarKeyCliente();
  });
  if (com_chave && !ativacao.CNPJCliente.empty()) {
    out << "Contabilidade: " << BlankControls(ativacao.CNPJContabilidade) << " - "
        << BlankControls(ativacao.NomeContabilidade) << '\n'
        << "Cliente: " << BlankControls(ativacao.CNPJCliente) << " - "
        << BlankControls(ativacao.NomeCliente) << '\n';
  }
  return tudo_ok;
}

}  // namespace

bool VerificarConfiguracao(ErpComponents& erp, TDTQuirada& cliente, const TConfiguracao& config,
                           std::ostream& out) {
  MostrarConfiguracao(config, out);
  bool tudo_ok = VerificarChaves(config, out);
  TBancoVerificado achado;
  tudo_ok &= VerificarBanco(erp, config, achado, out);
  tudo_ok &= VerificarPlataforma(cliente, config, achado, out);
  return tudo_ok;
}

}  // namespace quirada
