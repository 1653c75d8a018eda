// How the service finds and connects to the ERP database.
//
// The database comes from the section "Morvant" of the instance's "Morvant.ini" (configuration.h):
// "Servidor" (default "localhost"; Firebird's own "host/port", also "[ipv6]/port", names a port
// other than 3050) and "Caminho" (default the instance's folder followed by "MORVANT.FDB").
//
// CarregarParametrosConexao refills Params with the twelve parameter lines
// of the service, in their order, for that database and the credentials given; the connection
// character set is UTF8, in which the server gives every text without loss whatever the
// database's character set. It does not connect or disconnect.
//
// "Papel" names the SQL role every attempt takes (a line "RoleName=" after the twelve), so that
// grants given to a role count; without it the connection takes none.
//
// ConectarBancoDados is the connection sequence of every dispatch cycle. When the INI names a
// password ("[Morvant] Senha", with "Usuario", default "SYSDBA"), it connects with those only.
// Otherwise: disconnect; load the parameters with user "SYSDBA" and the first password; connect.
// On any failure, silently: disconnect, load the parameters again (from the same configuration:
// the INI is read once per cycle) with the fallback password, connect. When that fails too, `save_log` receives
// "Falha na conexão com o banco de dados: ", the cause and " (<connection string>)", e.g.
// " (127.0.0.1/3050:/var/lib/erp/MORVANT.FDB)": the cause is
// the first attempt's failure, unless the server refused that login, and then the second's (a
// missing file or an unreachable server is not hidden behind the fallback password's refusal). A
// "Servidor" written "host:port" adds that Firebird writes the port after a slash.
// The failure goes no further; a failure of `save_log` itself does leave the function. Returns
// whether the connection is connected.
#pragma once

#include <functional>
#include <string>

#include "firebird/fb_connection.h"

namespace quirada {

inline constexpr const char* kArquivoIni = "Morvant.ini";
inline constexpr const char* kSecaoIni = "Morvant";
inline constexpr const char* kUsuarioBanco = "SYSDBA";
inline constexpr const char* kFalhaConexao = "Falha na conexão com o banco de dados: ";

// Where the INI says the ERP database is, and whose credentials it gives.
struct TBancoConfigurado {
  std::string Servidor;
  std::string Caminho;
  std::string Usuario;  // "SYSDBA" unless the INI says otherwise
  std::string Senha;    // empty: the service's built-in passwords
  std::string Papel;    // the SQL role the connection takes; empty for none
  // The server and port "Servidor" names (3050 when it names none).
  std::string Host() const;
  int Porta() const;
  // The connection string the Firebird client is given: "host/port:Caminho".
  std::string Conexao() const;
  // When "Servidor" is written "host:port" (one colon, digits after it): the sentence that says
  // how Firebird writes a port; else "".
  std::string DicaPorta() const;
};

// Loads the parameters of `banco` for `Usuario` and `Senha`.
void CarregarParametrosConexao(FbConnection& Connquendalor, const TBancoConfigurado& banco,
                               const std::string& Usuario, const std::string& Senha);

bool ConectarBancoDados(FbConnection& Connquendalor, const TBancoConfigurado& banco,
                        const std::function<void(const std::string&)>& save_log);

}  // namespace quirada
