#include "service/switches.h"

#include <algorithm>
#include <array>
#include <ostream>
#include <utility>

#include "service/host.h"

namespace quirada {
namespace {

// The switches that choose what the program does; "SILENT" goes with any of them.
constexpr std::array<std::pair<const char*, TRunMode>, 10> kModes = {{
    {"INSTALL", TRunMode::Install},
    {"UNINSTALL", TRunMode::Uninstall},
    {"ONCE", TRunMode::Once},
    {"PENDING", TRunMode::Pending},
    {"VERIFICAR", TRunMode::Verificar},
    {"VERIFICARPASTA", TRunMode::VerificarPasta},
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
  return {TRunMode::Usage, false, arg, ""};
}

bool IsSwitch(const std::string& name) {
  return name == "SILENT" || std::any_of(kModes.begin(), kModes.end(),
                                         [&](const auto& entry) { return name == entry.first; });
}

}  // namespace

TSwitches ParseSwitches(const std::vector<std::string>& args) {
  TSwitches result;
  bool folder_may_follow = false;
  for (const std::string& arg : args) {
    const std::string name = SwitchName(arg);
    // The folder after "VERIFICARPASTA" ("/opt/q" included, which looks like a switch).
    if (folder_may_follow && !IsSwitch(name)) {
      result.Folder = arg;
      folder_may_follow = false;
      continue;
    }
    folder_may_follow = name == "VERIFICARPASTA";
    if (name == "SILENT") {
      result.Silent = true;
      continue;
    }
    const auto found = std::find_if(kModes.begin(), kModes.end(),
                                    [&](const auto& entry) { return name == entry.first; });
    if (found == kModes.end()) return Invalid(arg);
    if (result.Mode != TRunMode::Service && result.Mode != found->second) return Invalid(arg);
    result.Mode = found->second;
  }
  return result;
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
      "Uso: QuiradaContabil [opção]\n" + NoSwitchUsage() +
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
      "  -HELP, -h, /? esta ajuda\n"
      "  -VERSION      a versão\n"
      "As opções também podem ser escritas com \"--\" ou \"/\", em maiúsculas ou minúsculas.\n"
      "Opção inválida: estado 2.\n";
  if (!ini_path.empty()) text += "Arquivo de configuração: " + ini_path + "\n";
  if (!log_path.empty()) text += "Log do serviço: " + log_path + "\n";
  return text;
}

int ShowUsage(const TSwitches& switches, std::ostream& err) {
  err << "Opção inválida: \"" << switches.Invalid << "\"\n" << UsageText();
  err.flush();
  return 2;
}

}  // namespace quirada
