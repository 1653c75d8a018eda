#include "dispatch/configuration_check.h"

#include <array>
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
#include "dispatch/register_check.h"
#include "platform_client/http_client.h"

namespace quirada {
namespace {

struct ChaveConhecida {
  const char* secao;
  const char* chave;
};

// Every key the service reads.
constexpr std::array<ChaveConhecida, 9> kChaves = {{
    {kSecaoIni, "Servidor"},
    {kSecaoIni, "Caminho"},
    {kSecaoIni, "Usuario"},
    {kSecaoIni, "Senha"},
    {kSecaoIni, "Papel"},
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
      << (banco.Senha.empty() ? "(não definida: as senhas internas do serviço)" : "********") << '\n'
      << "  [Morvant] Papel = " << (banco.Papel.empty() ? "(nenhum)" : banco.Papel) << '\n';
  if (const std::string dica = banco.DicaPorta(); !dica.empty())
    out << "AVISO: Servidor \"" << banco.Servidor << "\": " << dica << '\n';
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

// The database's character set and dialect, on the line after its check.
void MostrarBanco(TCicloEnvio& c, std::ostream& out) {
  std::string cs;
  try {
    FbQuery banco_info(c.Erp.Connquendalor, c.Erp.TransReadOnly,
                       "SELECT TRIM(RDB$CHARACTER_SET_NAME) AS CS FROM RDB$DATABASE");
    banco_info.Open();
    cs = BlankControls(banco_info.FieldAsString("CS"));
  } catch (const std::exception& e) {
    cs = "(não lido: " + BlankControls(e.what()) + ")";
  }
  out << "  conjunto de caracteres " << (cs.empty() ? "NONE" : cs) << ", dialeto SQL "
      << c.Erp.Connquendalor.database_dialect()
      << (c.Erp.Connquendalor.database_read_only() ? ", somente leitura" : "")
      << "; o texto é lido em UTF8, sem perda\n";
}

}  // namespace

bool VerificarConfiguracao(TCicloEnvio& c, std::ostream& out) {
  MostrarConfiguracao(c.config, out);
  const TBancoConfigurado& banco = c.config.banco;

  bool tudo_ok = true;
  std::optional<TConfiguracaoErp> erp;
  bool conectou = false;
  // A statement refused for want of a grant is told as a cycle tells it: who and the GRANT.
  const auto com_permissoes = [&](const std::function<void()>& verificacao) {
    return [&c, verificacao] {
      try {
        verificacao();
      } catch (const DatabaseError& e) {
        if (!e.no_permission()) throw;
        throw Exception(TextoSemPermissao(QuemConectou(c.Erp), e.what()));
      }
    };
  };
  ComFechamento(c, [&] {
    tudo_ok &= Verificar(out, "Banco de dados (" + banco.Conexao() + ")", [&] {
      std::string falha;
      const auto guardar = [&falha](const std::string& linha) { falha = linha; };
      if (!ConectarBancoDados(c.Erp.Connquendalor, c.config.banco, guardar)) {
        // The connection sequence's line without its prefix: the cause and what was tried.
        throw Exception(falha.substr(std::string(kFalhaConexao).size()));
      }
      conectou = true;
    });
    if (conectou) MostrarBanco(c, out);
    const auto depende = [&] {
      if (!conectou) throw Exception("depende do banco de dados, que falhou");
    };
    // The settings as every cycle judges them, in the cycle's words.
    tudo_ok &= Verificar(out, "Configuração da integração (PADRAOII)", com_permissoes([&] {
      depende();
      erp = LerConfiguracaoErp(c.Erp);
      if (erp->estado != TEstadoConfiguracaoErp::kPronta) throw Exception(erp->motivo);
    }));
    tudo_ok &= Verificar(out, "Consulta dos documentos pendentes", com_permissoes([&] {
      depende();
      if (!erp) throw Exception("depende da configuração da integração, que não pôde ser lida");
      AbrirPendentes(c.Erp);
      c.Erp.TBXml.Close();
    }));
    // The register as a cycle proves it before its first upload, under the claim a cycle takes
    // for each document (waiting for it as long as a cycle would), writing no row; the claim is
    // let go at once.
    tudo_ok &= Verificar(out, "Registro dos envios (QUIRADA_ENVIOS_XML)", com_permissoes([&] {
      depende();
      (void)VerificarRegistro(c.Erp);
      ReivindicacaoDocumento reivindicacao(c.Erp);
      if (const std::optional<std::string> ocupado = reivindicacao.Tomar()) {
        std::string quem = *ocupado;
        quem[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(quem[0])));
        throw Exception(quem + ", e não a largou em " + std::to_string(kLockTimeout.count()) +
                        " segundos: os ciclos não enviam nada enquanto ela a prender");
      }
      ProvarGravacao(c.Erp, c.config.pasta);
    }));
  });

  // The configured AuthUrl is always asked: a cached token proves nothing about it.
  std::optional<std::string> falha_cliente;
  tudo_ok &= Verificar(out, "Plataforma, token de acesso", [&] {
    try {
      ConfigurarCliente(c, erp ? erp->chave_contabilidade : "", erp ? erp->chave_integracao : "");
    } catch (const std::exception& e) {
      falha_cliente = e.what();  // the private token folder, say: nothing of the platform is tried
      throw;
    }
    c.DTQuirada.SolicitarToken();
  });

  TKeyClient ativacao;
  const bool com_chave = erp && !erp->chave_contabilidade.empty();
  tudo_ok &= Verificar(out, "Plataforma, ativação da chave de autorização", [&] {
    if (falha_cliente) throw Exception(*falha_cliente);
    if (!conectou) throw Exception("depende do banco de dados, que falhou");
    if (!erp) throw Exception("depende da configuração da integração, que não pôde ser lida");
    if (!com_chave) throw Exception(erp->motivo);
    ativacao = c.DTQuirada.VerificarKeyCliente();
  });
  if (com_chave && !ativacao.CNPJCliente.empty()) {
    out << "Contabilidade: " << BlankControls(ativacao.CNPJContabilidade) << " - "
        << BlankControls(ativacao.NomeContabilidade) << '\n'
        << "Cliente: " << BlankControls(ativacao.CNPJCliente) << " - "
        << BlankControls(ativacao.NomeCliente) << '\n';
  }
  return tudo_ok;
}

}  // namespace quirada
