#include "dispatch/connection_setup.h"

#include <exception>
#include <optional>

#include "dispatch/ini_file.h"

namespace quirada {
namespace {

// The service's two passwords of the ERP's SYSDBA user, tried in this order.
constexpr const char* kSenhaPrincipal = "gizmor";
constexpr const char* kSenhaAlternativa = "zumbrelok";

}  // namespace

void CarregarParametrosConexao(FbConnection& Connquendalor, const std::string& executable_dir,
                               const std::string& Usuario, const std::string& Senha) {
  const std::string arquivo = executable_dir + kArquivoIni;
  const std::string Servidor = ReadIniString(arquivo, kSecaoIni, "Servidor", "localhost");
  const std::string Caminho = ReadIniString(arquivo, kSecaoIni, "Caminho", executable_dir + "MORVANT.FDB");

  Connquendalor.LoginPrompt = false;
  Connquendalor.Params = {
      "DriverID=FB",
      "Pooled=false",
      "Database=" + Caminho,
      "User_Name=" + Usuario,
      "Password=" + Senha,
      "Protocol=TCPIP",
      "Server=" + Servidor,
      "Port=3050",
      "SQLDialect=3",
      "CharacterSet=ISO8859_1",
      "ExtendedMetaData=False",
      "OpenMode=Open",
  };
}

bool ConectarBancoDados(FbConnection& Connquendalor, const std::string& executable_dir,
                        const std::function<void(const std::string&)>& save_log) {
  Connquendalor.Disconnect();
  CarregarParametrosConexao(Connquendalor, executable_dir, kUsuarioBanco, kSenhaPrincipal);
  try {
    Connquendalor.Connect();
    return Connquendalor.Connected();
  } catch (...) {
    // Forgotten: the fallback password follows at once.
  }

  Connquendalor.Disconnect();
  CarregarParametrosConexao(Connquendalor, executable_dir, kUsuarioBanco, kSenhaAlternativa);
  std::optional<std::string> falha;
  try {
    Connquendalor.Connect();
  } catch (const std::exception& e) {
    falha = e.what();
  } catch (...) {
    falha = "erro desconhecido";
  }
  if (falha) save_log(kFalhaConexao + *falha);
  return Connquendalor.Connected();
}

}  // namespace quirada
