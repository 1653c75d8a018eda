#include "dispatch/connection_setup.h"

#include <exception>
#include <optional>

#include "dispatch/fb_api.h"
#include "dispatch/ini_file.h"

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

std::string TBancoConfigurado::Conexao() const {
  std::string host = Host();
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";  // IPv6
  return host + "/" + std::to_string(Porta()) + ":" + Caminho;
}

TBancoConfigurado LerBancoConfigurado(const std::string& executable_dir) {
  const IniFileContents ini = ReadIniFile(executable_dir + kArquivoIni);
  TBancoConfigurado banco;
  banco.Servidor = ini.Value(kSecaoIni, "Servidor", "localhost");
  banco.Caminho = ini.Value(kSecaoIni, "Caminho", executable_dir + "MORVANT.FDB");
  banco.Usuario = ini.Value(kSecaoIni, "Usuario", kUsuarioBanco);
  banco.Senha = ini.Value(kSecaoIni, "Senha", "");
  return banco;
}

TBancoConfigurado CarregarParametrosConexao(FbConnection& Connquendalor,
                                           const std::string& executable_dir,
                                           const std::string& Usuario, const std::string& Senha) {
  const TBancoConfigurado banco = LerBancoConfigurado(executable_dir);
  Connquendalor.LoginPrompt = false;
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
  return banco;
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

bool ConectarBancoDados(FbConnection& Connquendalor, const std::string& executable_dir,
                        const std::function<void(const std::string&)>& save_log) {
  Connquendalor.Disconnect();
  const TBancoConfigurado ini = LerBancoConfigurado(executable_dir);
  const auto logar = [&](const TBancoConfigurado& banco, const std::string& causa) {
    save_log(kFalhaConexao + causa + " (" + banco.Conexao() + ")");
  };

  if (!ini.Senha.empty()) {
    // The administrator's own credentials, and only those.
    const TBancoConfigurado banco =
        CarregarParametrosConexao(Connquendalor, executable_dir, ini.Usuario, ini.Senha);
    if (const auto falha = Tentar(Connquendalor)) logar(banco, falha->mensagem);
    return Connquendalor.Connected();
  }

  CarregarParametrosConexao(Connquendalor, executable_dir, kUsuarioBanco, kSenhaPrincipal);
  const std::optional<Falha> primeira = Tentar(Connquendalor);
  if (!primeira) return Connquendalor.Connected();

  // The fallback password follows at once.
  Connquendalor.Disconnect();
  const TBancoConfigurado banco =
      CarregarParametrosConexao(Connquendalor, executable_dir, kUsuarioBanco, kSenhaAlternativa);
  if (const auto segunda = Tentar(Connquendalor))
    logar(banco, primeira->login_recusado ? segunda->mensagem : primeira->mensagem);
  return Connquendalor.Connected();
}

}  // namespace quirada
