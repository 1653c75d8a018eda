#include "dispatch/connection_setup.h"

#include <exception>
#include <optional>

#include "firebird/fb_api.h"

namespace quirada {
namespace {

// The service's two passwords of the ERP's SYSDBA user, tried in this order.
constexpr const char* kSenhaPrincipal = "gizmor";
constexpr const char* kSenhaAlternativa = "zumbrelok";

constexpr int kPortaPadrao = 3050;

// The port at the end of "host/port", or 0 when `servidor` names none.
int PortaNomeada(const std::string& servidor, size_t* barra) {
  *barra = servidor.rfind('/');
  if (*barra == std::string::npos || *barra == 0 || *barra + 1 >= servidor.size() ||
      servidor.size() - *barra - 1 > 5)
    return 0;
  int porta = 0;
  for (size_t i = *barra + 1; i < servidor.size(); ++i) {
    if (servidor[i] < '0' || servidor[i] > '9') return 0;
    porta = porta * 10 + (servidor[i] - '0');
  }
  return porta >= 1 && porta <= 65535 ? porta : 0;
}

}  // namespace

std::string TBancoConfigurado::Host() const {
  size_t barra = 0;
  return PortaNomeada(Servidor, &barra) != 0 ? Servidor.substr(0, barra) : Servidor;
}

int TBancoConfigurado::Porta() const {
  size_t barra = 0;
  const int porta = PortaNomeada(Servidor, &barra);
  return porta != 0 ? porta : kPortaPadrao;
}

std::string TBancoConfigurado::DicaPorta() const {
  const size_t dois_pontos = Servidor.find(':');
  if (dois_pontos == std::string::npos || dois_pontos == 0 ||
      Servidor.find(':', dois_pontos + 1) != std::string::npos || dois_pontos + 1 == Servidor.size())
    return "";
  for (size_t i = dois_pontos + 1; i < Servidor.size(); ++i)
    if (Servidor[i] < '0' || Servidor[i] > '9') return "";
  return "o Firebird escreve a porta depois de uma barra, não de dois-pontos: Servidor=" +
         Servidor.substr(0, dois_pontos) + "/" + Servidor.substr(dois_pontos + 1);
}

std::string TBancoConfigurado::Conexao() const {
  std::string host = Host();
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";  // IPv6
  return host + "/" + std::to_string(Porta()) + ":" + Caminho;
}

void CarregarParametrosConexao(FbConnection& Connquendalor, const TBancoConfigurado& banco,
                               const std::string& Usuario, const std::string& Senha) {
  Connquendalor.Params = {
      "DriverID=FB",
      "Pooled=false",
      "Database=" + banco.Caminho,
      "User_Name=" + Usuario,
      "Password=" + Senha,
      "Protocol=TCPIP",
      "Server=" + banco.Host(),
      "Port=" + std::to_string(banco.Porta()),
      "SQLDialect=3",
      "CharacterSet=UTF8",
      "ExtendedMetaData=False",
      "OpenMode=Open",
  };
  if (!banco.Papel.empty()) Connquendalor.Params.push_back("RoleName=" + banco.Papel);
}

namespace {

// One attempt: nothing when it connected, else the failure and whether it was a refused login.
struct Falha {
  std::string mensagem;
  bool login_recusado = false;
};

std::optional<Falha> Tentar(FbConnection& Connquendalor) {
  try {
    Connquendalor.Connect();
    return std::nullopt;
  } catch (const DatabaseError& e) {
    return Falha{e.what(), e.login_refused()};
  } catch (const std::exception& e) {
    return Falha{e.what(), false};
  } catch (...) {
    return Falha{"erro desconhecido", false};
  }
}

}  // namespace

bool ConectarBancoDados(FbConnection& Connquendalor, const TBancoConfigurado& banco,
                        const std::function<void(const std::string&)>& save_log) {
  Connquendalor.Disconnect();
  const auto logar = [&](const std::string& causa) {
    const std::string dica = banco.DicaPorta();
    save_log(kFalhaConexao + causa + " (" + banco.Conexao() + ")" + (dica.empty() ? "" : "; " + dica));
  };

  if (!banco.Senha.empty()) {
    // The administrator's own credentials, and only those.
    CarregarParametrosConexao(Connquendalor, banco, banco.Usuario, banco.Senha);
    if (const auto falha = Tentar(Connquendalor)) logar(falha->mensagem);
    return Connquendalor.Connected();
  }

  CarregarParametrosConexao(Connquendalor, banco, kUsuarioBanco, kSenhaPrincipal);
  const std::optional<Falha> primeira = Tentar(Connquendalor);
  if (!primeira) return Connquendalor.Connected();

  // The fallback password follows at once.
  Connquendalor.Disconnect();
  CarregarParametrosConexao(Connquendalor, banco, kUsuarioBanco, kSenhaAlternativa);
  if (const auto segunda = Tentar(Connquendalor))
    logar(primeira->login_recusado ? segunda->mensagem : primeira->mensagem);
  return Connquendalor.Connected();
}

}  // namespace quirada
