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

}  // namespace

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
      "Server=" + banco.Servidor,
      "Port=3050",
      "SQLDialect=3",
      "CharacterSet=ISO8859_1",
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
    save_log(kFalhaConexao + causa + " (" + banco.Servidor + ":" + banco.Caminho + ")");
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
