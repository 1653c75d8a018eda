// The program's command line.
//
// Switches are written with "-", "--" or "/" in front, in any letter case: "INSTALL",
// "UNINSTALL", "SILENT", "ONCE", "PENDING", "VERIFICAR", "VERIFICARPASTA" (optionally followed by
// a folder), "INSTANCIAS", "HELP" (also "-h" and "/?") and "VERSION". Without a switch (or with
// "SILENT" alone) the program runs as the service. "SILENT" only quiets the messages of "INSTALL"
// and "UNINSTALL". Beside any of them, "PASTA <folder>" names the instance's folder (its INI, log,
// lock and XML files; without it the executable's folder) and "INSTANCIA <name>" the instance
// ("INSTALL" and "UNINSTALL" register and remove that instance's service); both also as
// "--pasta=<folder>" and "--instancia=<name>". An instance's name is letters, digits, '-' and '_':
// another is refused with the sentence that says so (TSwitches::Problema), not the whole usage.
// "JSON" and "PROMETHEUS" go with "INSTANCIAS" alone (the form of its report), one of them.
// Anything else, a word without a prefix (but the folder of "VERIFICARPASTA" and the values of
// "PASTA" and "INSTANCIA"), a switch given twice with different values, a value missing or an
// instance name that is not one, or two different modes at once, asks for the usage text.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace quirada {

enum class TRunMode {
  Service, Install, Uninstall, Once, Pending, Verificar, VerificarPasta, Instancias, Help, Version,
  Usage
};

// The program's version, "QuiradaContabil <version>" as "VERSION" prints it.
std::string VersionText();

struct TSwitches {
  TRunMode Mode = TRunMode::Service;
  bool Silent = false;
  // With Mode == Usage: the argument that was not understood.
  std::string Invalid;
  // With Mode == VerificarPasta: the folder named after it; "" for the program's own.
  std::string Folder;
  // "PASTA": the instance's folder as written; "" for the executable's folder.
  std::string Pasta;
  // "INSTANCIA": the instance's name; "" for the unnamed instance.
  std::string Instancia;
  // With Mode == Usage: when not empty, the one sentence said in place of the usage text.
  std::string Problema;
  // "/INSTANCIAS --json" or "--prometheus".
  bool Json = false;
  bool Prometheus = false;
};

// What an instance's name may hold, as the refusal of another name says it.
std::string NomeDeInstanciaRecusado(const std::string& nome);

// `args` without the program's name.
TSwitches ParseSwitches(const std::vector<std::string>& args);
// main's arguments, argv[0] being the program's name.
TSwitches ParseSwitches(int argc, const char* const* argv);

// The usage text; given their paths, it also names the INI file and the service log.
std::string UsageText(const std::string& ini_path = "", const std::string& log_path = "");

// Writes what was not understood and the usage text (or the one sentence of TSwitches::Problema)
// to `err`; returns the exit status 2.
int ShowUsage(const TSwitches& switches, std::ostream& err);

}  // namespace quirada
