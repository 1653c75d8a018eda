// Installing and removing the service "SrvQuirada" on this machine's service manager, and the
// named instances beside it.
//
// An instance is one company's configuration: a folder with its own "Morvant.ini", service log,
// lock and XML files. The unnamed instance is the executable's folder and the service
// "SrvQuirada". A named instance (TInstanciaServico: a name of letters, digits, '-' and
// '_', and its folder) is a service of its own: "SrvQuirada@<name>" on Linux (the unit file
// "SrvQuirada@<name>.service", whose ExecStart carries "--pasta <folder> --instancia <name>"),
// "SrvQuirada$<name>" on Windows (display name "Quirada (<name>)", the same two switches in its
// executable path). Every instance is installed, upgraded and removed on its own; the messages
// below name the instance's service.
//
// InstallService and UninstallService write their message ("Serviço instalado com sucesso" or
// "Falha ao instalar o serviço "SrvQuirada" com erro: "<system error text>"", and the same for
// removal) to `out` on success, to `err` on failure, nothing with `silent`, and return the exit
// status: 0 on success, 1 on failure. Installing over an existing service and removing a service
// that is not there are failures; a failed install leaves no service behind.
//
// One registration per folder: an install is refused, naming the other, when a registered instance
// (the unnamed one included) already serves its folder, or when an instance of the same name in
// another letter case is registered (names are compared without regard to case on both platforms,
// as the Windows service control manager compares them). A folder the service manager cannot be
// given (CaminhoRecusado) is refused with the sentence that names its character.
//
// On Linux the service is the systemd unit "SrvQuirada.service" (install_posix.h says how it is
// written and where).
//
// On Windows the service is registered with the service control manager: service name
// "SrvQuirada", display name "Quirada", a service in its own process, not interactive, started
// automatically, error severity normal, under the system's default service account, without
// dependencies, load-order group or tag; its executable path is the executable's full path, in
// double quotes when it holds a blank. It also gets its description, a delayed automatic start
// (the database server starts first), recovery actions (restart after one minute, twice, then
// nothing; the count starts again after a day without failures, a stop with a failure status
// counting as one), and the event source "SrvQuirada" with the program's message table (so Event
// Viewer shows the text). A delayed start or a failure-status setting the service manager refuses
// (Wine's has neither) is told as an "Aviso: ..." line after the success message; every other
// refusal fails the install and leaves no service behind.
// Installing over a registration of the same executable is an upgrade: the registration stays as
// the administrator left it (account, start, recovery, description), the event source is
// registered again, the message says so and the status is 0. Over a registration of another
// executable it fails. Removing it also removes the event source.
// When `out` or `err` is the standard stream and the process has no console of its own to write to
// (none, or one that closes with the program), the message is shown in a message box instead.
#pragma once

#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace quirada {

inline constexpr const char* kServiceName = "SrvQuirada";
inline constexpr const char* kServiceDisplayName = "Quirada";
inline constexpr const char* kServiceDescription =
    "Leva os XMLs fiscais (NF-e, NFC-e, CF-e SAT e cancelamentos) do banco Firebird do ERP para a "
    "plataforma contábil Quirada, por HTTPS.";

// One instance's service.
struct TInstanciaServico {
  std::string nome;   // "" for the unnamed instance
  std::string pasta;  // a named instance's folder, absolute, ending with a separator
  // Lines the message of a successful install goes on with (how to start it, when its first cycle
  // comes); none when empty.
  std::string depois = {};
};

// Whether `nome` can name an instance: one to 64 ASCII letters, digits, '-' and '_'.
bool NomeDeInstanciaValido(const std::string& nome);

// Why the service manager cannot be given the path `path` of a service (`o_que` names it: "da
// pasta da instância", "do executável"), as a sentence that names the character: bytes that are
// not UTF-8 (systemd ignores such a unit line: the service would never load), a control character
// (a line break ends the unit's line), and on Windows a '%' (the service control manager expands
// %NAME% in the executable path, and the service would run in another folder than the one
// installed). "" when it can be given.
std::string CaminhoRecusado(const std::string& path, const std::string& o_que);
// The service of the instance `nome`: "SrvQuirada" for "", else "SrvQuirada@<nome>" (Linux) or
// "SrvQuirada$<nome>" (Windows).
std::string NomeDoServico(const std::string& nome);

// InstallService for the running executable (ExecutablePath(), resolved).
int InstallService(const TInstanciaServico& instancia, bool silent, std::ostream& out = std::cout,
                   std::ostream& err = std::cerr);
// The same for an executable at `executable_path`.
int InstallServiceFor(const std::string& executable_path, const TInstanciaServico& instancia,
                      bool silent, std::ostream& out, std::ostream& err);
// Removes the service of the instance `nome` ("" the unnamed one) and nothing else. A service
// that runs is stopped first, and its stop waited for (a cycle in progress ends within seconds;
// the service manager's own limit at most), so that nothing of it is left running; the message
// says so ("Serviço <service> parado." before "Serviço desinstalado com sucesso"). An instance
// that is not registered is told as such, with where to see the registered ones ("/INSTANCIAS").
int UninstallService(const std::string& nome, bool silent, std::ostream& out = std::cout,
                     std::ostream& err = std::cerr);
// The account the registered service of the instance `nome` runs as, as the service manager
// names it ("LocalSystem", ".\quirada"...); "" when it is not registered, and always on Linux.
std::string RegisteredServiceAccount(const std::string& nome = "");

// An instance registered on this machine, as "/INSTANCIAS" lists it.
struct TInstanciaRegistrada {
  std::string nome;    // "" for the unnamed instance
  std::string servico; // its service's name
  std::string pasta;   // its folder, ending with a separator
  std::string estado;  // the service's state as the service manager tells it ("active",
                       // "RUNNING"...), "desconhecido" when it cannot be asked
};
// The unnamed instance first (when registered), then the named ones by name. On Linux an instance
// of the package's template that systemd runs without its being enabled is listed too.
std::vector<TInstanciaRegistrada> RegisteredInstances();
// The registered instance named `nome` (compared without regard to case; "" the unnamed one), when
// there is one.
std::optional<TInstanciaRegistrada> InstanciaRegistrada(const std::string& nome);
// Whether two folders are one: the same path once resolved, trailing separators aside.
bool MesmaPasta(const std::string& a, const std::string& b);
// The command that starts the service `servico` ("systemctl start ...", "sc start ...").
std::string ComandoDePartida(const std::string& servico);
// The sentence of an instance that is not registered here.
std::string InstanciaNaoRegistrada(const std::string& nome);

// Why `instancia` may not be registered beside the instances registered now (`registradas`) for
// the executable at `executable_path`: the sentence naming the instance that already serves its
// folder or takes its name in another letter case; "" when it may.
std::string RegistroEmConflito(const std::string& executable_path, const TInstanciaServico& instancia,
                               const std::vector<TInstanciaRegistrada>& registradas);

// An install refused before anything was tried (the service folder is not trusted), told as a
// failed install is ("Falha ao instalar o serviço "<service>" com erro: "<why>""); returns 1.
int RefuseInstall(const std::string& nome, const std::string& why, bool silent,
                  std::ostream& err = std::cerr);

}  // namespace quirada

// The systemd side's own functions (the unit's text and folder, the folders its sandbox hides).
#if !defined(_WIN32)
#include "service/install_posix.h"
#endif
