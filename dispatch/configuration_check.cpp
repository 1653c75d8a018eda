#include "dispatch/configuration_check.h"

#include <array>
#include <optional>
#include <ostream>
#include <string>

#include "base/file_io.h"
#include "base/folder_trust.h"
#include "base/text.h"
#include "dispatch/connection_setup.h"
#include "dispatch/register_check.h"
#include "platform_client/http_client.h"

namespace quirada {
namespace {

struct ChaveConhecida {
  const char* secao;
  const char* chave;
};

// Every key the service reads.
constexpr std::array<ChaveConhecida, 8> kChaves = {{
    {kSecaoIni, "Servidor"},
    {kSecaoIni, "Caminho"},
    {kSecaoIni, "Usuario"},
    {kSecaoIni, "Senha"},
    {kSecaoQuirada, "ApiUrl"},
    {kSecaoQuirada, "AuthUrl"},
    {kSecaoQuirada, "CAFile"},
    {kSecaoQuirada, "IntervaloSegundos"},
}};

bool SecaoConhecida(const std::string& secao) {
  return EqualsIgnoringCase(secao, kSecaoIni) || EqualsIgnoringCase(secao, kSecaoQuirada);
}

bool ChaveConhecidaNa(const std::string& secao, const std::string& chave) {
  for (const auto& k : kChaves)
    if (EqualsIgnoringCase(secao, k.secao) && EqualsIgnoringCase(chave, k.chave)) return true;
  return false;
}

// The INI's part: the file, the values in effect, the warnings.
void MostrarConfiguracao(const TConfiguracao& config, std::ostream& out) {
  const std::string& ini = config.arquivo_ini;
  out << "Arquivo de configuração: " << ini;
  if (!config.codificacao)
    out << " (não encontrado: valem os valores padrão)";
  else
    out << " (lido em " << IniEncodingName(*config.codificacao) << ")";
  out << '\n';

  const TBancoConfigurado& banco = config.banco;
  out << "  [Morvant] Servidor = " << banco.Servidor << '\n'
      << "  [Morvant] Caminho = " << banco.Caminho << '\n'
      << "  [Morvant] Usuario = " << banco.Usuario
      << (banco.Senha.empty() && !EqualsIgnoringCase(banco.Usuario, kUsuarioBanco)
              ? " (não vale sem Senha: o serviço conecta como SYSDBA)"
              : "")
      << '\n'
      << "  [Morvant] Senha = "
      << (banco.Senha.empty() ? "(não definida: as senhas internas do serviço)" : "********") << '\n';
  const std::string& api = config.api_url;
  const std::string& auth = config.auth_url;
  const std::string& ca = config.ca_file;
  out << "  [Quirada] ApiUrl = " << api << '\n'
      << "  [Quirada] AuthUrl = " << auth << '\n'
      << "  [Quirada] CAFile = " << (ca.empty() ? "(nenhum)" : ca) << '\n'
      << "  [Quirada] IntervaloSegundos = " << config.intervalo_ms / 1000 << '\n';

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
  for (const auto& [nome, url] : {std::pair{"ApiUrl", api}, std::pair{"AuthUrl", auth}}) {
    try {
      (void)ParseEndpoint(url);
    } catch (const std::exception&) {
      out << "AVISO: " << nome << " \"" << url << "\" não é um endereço https://host[:porta]\n";
    }
  }
  if (!banco.Senha.empty()) {
    if (const auto leitores = OthersMayRead(ini)) {
      out << "AVISO: " << ini << " guarda a Senha do banco e pode ser lido pelo grupo ou por "
          << "outros usuários (" << leitores->why << "); deixe-o só para " << TrustedWriters()
          << ": " << leitores->mend << "\n";
    }
  }
}

// One check's line: "<what>: OK", or "<what>: FALHOU: <cause>".
bool Verificar(std::ostream& out, const std::string& o_que, const std::function<void()>& verificacao) {
  try {
    verificacao();
    out << o_que << ": OK\n";
    return true;
  } catch (const std::exception& e) {
    // The cause may come from the database or the network: shown without control characters.
    out << o_que << ": FALHOU: " << BlankControls(e.what()) << '\n';
    return false;
  }
}

}  // namespace

bool VerificarConfiguracao(TCicloEnvio& c, std::ostream& out) {
  MostrarConfiguracao(c.config, out);
  const TBancoConfigurado& banco = c.config.banco;

  bool tudo_ok = true;
  std::optional<std::string> chave_contabilidade, chave_integracao;
  bool conectou = false;
  ComFechamento(c, [&] {
    tudo_ok &= Verificar(out, "Banco de dados (" + banco.Conexao() + ")", [&] {
      std::string falha;
      const auto guardar = [&falha](const std::string& linha) { falha = linha; };
      if (!ConectarBancoDados(c.Erp.Connquendalor, c.config.banco, guardar)) {
        // The connection sequence's line without its prefix: the cause and what was tried.
        throw Exception(falha.substr(std::string(kFalhaConexao).size()));
      }
      conectou = true;
      c.Erp.TBPadraoII.Open();
      chave_contabilidade = c.Erp.TBPadraoII.FieldAsString("QUIRADA_AUTORIZATION_KEY");
      chave_integracao = c.Erp.TBPadraoII.FieldAsString("QUIRADA_INTEGRATION_KEY");
    });
    if (conectou) {
      std::string cs;
      try {
        FbQuery banco_info(c.Erp.Connquendalor, c.Erp.TransReadOnly,
                           "SELECT TRIM(RDB$CHARACTER_SET_NAME) AS CS FROM RDB$DATABASE");
        banco_info.Open();
        cs = banco_info.FieldAsString("CS");
      } catch (const std::exception& e) {
        cs = "(não lido: " + OneLine(e.what()) + ")";
      }
      out << "  conjunto de caracteres " << (cs.empty() ? "NONE" : cs) << ", dialeto SQL "
          << c.Erp.Connquendalor.database_dialect()
          << (c.Erp.Connquendalor.database_read_only() ? ", somente leitura" : "")
          << "; o texto é lido em UTF8, sem perda\n";
    }
    const auto depende = [&] {
      if (!conectou) throw Exception("depende do banco de dados, que falhou");
    };
    tudo_ok &= Verificar(out, "Consulta dos documentos pendentes", [&] {
      depende();
      AbrirPendentes(c.Erp);
      c.Erp.TBXml.Close();
    });
    // The register as a cycle proves it before its first upload, writing no row; the claim
    // taken for the grants' proof is let go at once.
    bool registro_ok = false;
    std::optional<std::string> ocupado;
    tudo_ok &= Verificar(out, "Registro dos envios (QUIRADA_ENVIOS_XML)", [&] {
      depende();
      (void)VerificarRegistro(c.Erp);
      ocupado = ReivindicarBanco(c.Erp);
      if (!ocupado) {
        try {
          ProvarGravacao(c.Erp, c.config.pasta);
        } catch (...) {
          c.Erp.TransReadWrite.Rollback();
          throw;
        }
        c.Erp.TransReadWrite.Rollback();
      }
      registro_ok = true;
    });
    tudo_ok &= Verificar(out, "Nenhum outro ciclo de envio neste banco de dados", [&] {
      depende();
      if (!registro_ok) throw Exception("depende do registro dos envios, que falhou");
      if (ocupado)
        throw Exception(*ocupado +
                        "; se for outra instalação, deixe só uma apontada para este banco (as "
                        "permissões de gravação em QUIRADA_ENVIOS_XML ficaram sem verificar)");
    });
  });

  // The configured AuthUrl is always asked: a cached token proves nothing about it.
  std::optional<std::string> falha_cliente;
  tudo_ok &= Verificar(out, "Plataforma, token de acesso", [&] {
    try {
      ConfigurarCliente(c, chave_contabilidade.value_or(""), chave_integracao.value_or(""));
    } catch (const std::exception& e) {
      falha_cliente = e.what();  // the private token folder, say: nothing of the platform is tried
      throw;
    }
    c.DTQuirada.SolicitarToken();
  });

  TKeyClient ativacao;
  tudo_ok &= Verificar(out, "Plataforma, ativação da chave de autorização", [&] {
    if (falha_cliente) throw Exception(*falha_cliente);
    if (!chave_contabilidade) throw Exception("depende do banco de dados, que falhou");
    if (chave_contabilidade->empty())
      throw Exception("a chave de autorização (QUIRADA_AUTORIZATION_KEY) está vazia em PADRAOII");
    ativacao = c.DTQuirada.VerificarKeyCliente();
  });
  if (chave_contabilidade && !chave_contabilidade->empty() && !ativacao.CNPJCliente.empty()) {
    out << "Contabilidade: " << BlankControls(ativacao.CNPJContabilidade) << " - "
        << BlankControls(ativacao.NomeContabilidade) << '\n'
        << "Cliente: " << BlankControls(ativacao.CNPJCliente) << " - "
        << BlankControls(ativacao.NomeCliente) << '\n';
  }
  if (chave_integracao && chave_integracao->empty())
    out << "AVISO: a chave de integração (QUIRADA_INTEGRATION_KEY) está vazia em PADRAOII: os "
           "ciclos não enviam nada enquanto ela faltar\n";
  return tudo_ok;
}

}  // namespace quirada
