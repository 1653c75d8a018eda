#include "service/switches.h"

#include <algorithm>
#include <array>
#include <ostream>
#include <utility>

#include "service/host.h"
#include "service/install.h"

namespace quirada {
namespace {

// The switches that choose what the program does; "SILENT" goes with any of them.
constexpr std::array<std::pair<const char*, TRunMode>, 11> kModes = {{
    {"INSTALL", TRunMode::Install},
    {"UNINSTALL", TRunMode::Uninstall},
    {"ONCE", TRunMode::Once},
    {"PENDING", TRunMode::Pending},
    {"VERIFICAR", TRunMode::Verificar},
    {"VERIFICARPASTA", TRunMode::VerificarPasta},
    {"INSTANCIAS", TRunMode::Instancias},
    {"HELP", TRunMode::Help},
    {"H", TRunMode::Help},
    {"?", TRunMode::Help},
    {"VERSION", TRunMode::Version},
}};

std::string SwitchName(const std::string& arg) {
  std::string name;
  if (arg.starts_with("--")) {
    name = arg.substr(2);
  } else if (arg.starts_with("-") || arg.starts_with("/")) {
    name = arg.substr(1);
  } else {
    return {};
  }
  for (char& c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return name;
}

TSwitches Invalid(const std::string& arg) {
  TSwitches invalid;
  invalid.Mode = TRunMode::Usage;
  invalid.Invalid = arg;
  return invalid;
}

// The switches that carry a value.
bool TakesValue(const std::string& name) { return name == "PASTA" || name == "INSTANCIA"; }

// The switches that only change how a mode says what it says.
bool IsFlag(const std::string& name) { return name == "SILENT" || name == "JSON" || name == "PROMETHEUS"; }

bool IsSwitch(const std::string& name) {
  return IsFlag(name) || TakesValue(name) ||
         std::any_of(kModes.begin(), kModes.end(),
                     [&](const auto& entry) { return name == entry.first; });
}

// Stores `value` of the switch `name`; false when it cannot be taken (a second, different value;
// an empty one; a name that is no instance's).
bool TakeValue(TSwitches& result, const std::string& name, const std::string& value) {
  std::string& slot = name == "PASTA" ? result.Pasta : result.Instancia;
  if (value.empty() || (!slot.empty() && slot != value)) return false;
  if (name == "INSTANCIA" && !NomeDeInstanciaValido(value)) {
    result.Problema = NomeDeInstanciaRecusado(value);
    return false;
  }
  slot = value;
  return true;
}

TSwitches InvalidValue(const TSwitches& so_far, const std::string& arg) {
  TSwitches invalid = Invalid(arg);
  invalid.Problema = so_far.Problema;
  return invalid;
}

}  // namespace

TSwitches ParseSwitches(const std::vector<std::string>& args) {
  TSwitches result;
  bool folder_may_follow = false;
  std::string value_of;  // the switch whose value is the next word
  for (const std::string& arg : args) {
    if (!value_of.empty()) {
      if (!TakeValue(result, value_of, arg)) return InvalidValue(result, arg);
      value_of.clear();
      continue;
    }
    std::string name = SwitchName(arg);
    const size_t equals = name.find('=');
    // The folder after "VERIFICARPASTA" ("/opt/q" included, which looks like a switch).
    if (folder_may_follow && !IsSwitch(name) &&
        !(equals != std::string::npos && TakesValue(name.substr(0, equals)))) {
      result.Folder = arg;
      folder_may_follow = false;
      continue;
    }
    if (equals != std::string::npos) {
      // "--pasta=<folder>": the value as written, not in capitals.
      name.resize(equals);
      if (!TakesValue(name)) return Invalid(arg);
      if (!TakeValue(result, name, arg.substr(arg.find('=') + 1))) return InvalidValue(result, arg);
      folder_may_follow = false;
      continue;
    }
    folder_may_follow = name == "VERIFICARPASTA";
    if (TakesValue(name)) {
      value_of = name;
      continue;
    }
    if (IsFlag(name)) {
      (name == "SILENT" ? result.Silent : name == "JSON" ? result.Json : result.Prometheus) = true;
      continue;
    }
    const auto found = std::find_if(kModes.begin(), kModes.end(),
                                    [&](const auto& entry) { return name == entry.first; });
    if (found == kModes.end()) return Invalid(arg);
    if (result.Mode != TRunMode::Service && result.Mode != found->second) return Invalid(arg);
    result.Mode = found->second;
  }
  if (!value_of.empty()) return Invalid(args.back());
  // The form of a report goes with "/INSTANCIAS", one at a time.
  if ((result.Json || result.Prometheus) &&
      (result.Mode != TRunMode::Instancias || (result.Json && result.Prometheus))) {
    for (const std::string& arg : args) {
      const std::string name = SwitchName(arg);
      if (name == "JSON" || name == "PROMETHEUS") return Invalid(arg);
    }
  }
  return result;
}

std::string NomeDeInstanciaRecusado(const std::string& nome) {
  return "Nome de instância inválido: \"" + nome +
         "\". Um nome tem de 1 a 64 caracteres, cada um uma letra sem acento (a-z, A-Z), um "
         "dígito (0-9), - ou _; por exemplo: --instancia acme_filial-2";
}

TSwitches ParseSwitches(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return ParseSwitches(args);
}

std::string VersionText() { return std::string("QuiradaContabil ") + QUIRADA_VERSION; }

std::string UsageText(const std::string& ini_path, const std::string& log_path) {
  std::string text =
      VersionText() + "\n"
      "Uso: QuiradaContabil [opção] [--pasta <pasta>] [--instancia <nome>]\n" + NoSwitchUsage() +
      "  -INSTALL      instala o serviço\n"
      "  -UNINSTALL    desinstala o serviço\n"
      "  -SILENT       com -INSTALL ou -UNINSTALL: não mostra mensagens\n"
      "  -ONCE         executa um ciclo de envio e termina: estado 0 sem nada no log (ou\n"
      "                interrompido por um pedido de parada), 3 quando documentos ficaram sem\n"
      "                envio (ver o log), 1 quando o ciclo falhou ou a pasta não é confiável,\n"
      "                75 quando outro processo segura a trava da pasta\n"
      "  -PENDING      lista os documentos que o próximo ciclo vai pegar, sem enviar nada\n"
      "  -VERIFICAR    testa a configuração: o INI, o banco do ERP, a plataforma e a pasta\n"
      "  -VERIFICARPASTA [pasta]\n"
      "                diz se a pasta (sem ela, a do programa) é confiável para o serviço:\n"
      "                estado 0 quando é, 1 quando não é (quem mais pode alterá-la e como corrigir)\n"
      "  -INSTANCIAS [--json | --prometheus]\n"
      "                lista as instâncias registradas: nome, pasta, estado do serviço, o último\n"
      "                ciclo, os pendentes e o próximo ciclo; estado 0 quando todas vão bem, 1\n"
      "                quando o último ciclo de alguma falhou ou não houve ciclo em dois períodos\n"
      "  --pasta <pasta>\n"
      "                a pasta da instância (o Morvant.ini, o log, a trava e os XMLs); sem ela,\n"
      "                a pasta do programa\n"
      "  --instancia <nome>\n"
      "                com -INSTALL (e --pasta) ou -UNINSTALL: o serviço da instância <nome>\n"
      "                (letras, dígitos, - e _), ao lado do serviço sem nome; com as outras\n"
      "                opções, a pasta dessa instância registrada\n"
      "  -HELP, -h, /? esta ajuda\n"
      "  -VERSION      a versão\n"
      "As opções também podem ser escritas com \"--\" ou \"/\", em maiúsculas ou minúsculas.\n"
      "Opção inválida: estado 2.\n";
  if (!ini_path.empty()) text += "Arquivo de configuração: " + ini_path + "\n";
  if (!log_path.empty()) text += "Log do serviço: " + log_path + "\n";
  return text;
}

int ShowUsage(const TSwitches& switches, std::ostream& err) {
  if (!switches.Problema.empty()) {
    err << switches.Problema << '\n';
    err.flush();
    return 2;
  }
  err << "Opção inválida: \"" << switches.Invalid << "\"\n" << UsageText();
  err.flush();
  return 2;
}

}  // namespace quirada
