#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "base/file_io.h"
#include "service/install.h"
#include "base/platform.h"
#include "service/service_unit_template.h"

extern char** environ;

namespace quirada {
namespace {

constexpr const char* kExecStartPlaceholder = "@QUIRADA_EXEC_START@";
// The service's folder (the executable's), the one it may write to besides /tmp.
constexpr const char* kHomePlaceholder = "@QUIRADA_HOME@";
// The package's template of named instances has systemd make the instance's folder; a unit
// written here names a folder that is there already.
constexpr const char* kStateDirectoryPlaceholder = "@QUIRADA_STATE_DIRECTORY@";
// "Quirada", or "Quirada (<name>)" for a named instance: what "systemctl status" shows.
constexpr const char* kDescriptionPlaceholder = "@QUIRADA_DESCRIPTION@";

[[noreturn]] void ThrowSystemError(int error) {
  throw std::system_error(error, std::generic_category());
}

// The system's text for errno failures, the message for the others.
std::string ErrorText(const std::exception& e) {
  if (const auto* system = dynamic_cast<const std::system_error*>(&e)) {
    return system->code().message();
  }
  return e.what();
}

std::string UnitPath(const std::string& nome) {
  return ServiceUnitDir() + NomeDoServico(nome) + ".service";
}

// A folder without its trailing separator ("/" stays).
std::string SemBarraFinal(std::string pasta) {
  while (pasta.size() > 1 && pasta.back() == '/') pasta.pop_back();
  return pasta;
}

// systemctl is run only for the system's own unit folder of a running systemd: a folder given in
// QUIRADA_SYSTEMD_DIR is not one systemd reads.
bool ManageSystemd() {
  const char* dir = std::getenv("QUIRADA_SYSTEMD_DIR");
  if (dir != nullptr && *dir != '\0') return false;
  struct stat st{};
  return ::lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

// Runs "systemctl <args>" and returns its wait status. With `output`, its standard output is read
// into it (4 KiB at most) and its standard error goes to /dev/null; else both go to /dev/null with
// `silent`, to the program's own without.
int SpawnSystemctl(const std::vector<std::string>& args, bool silent, std::string* output,
                   size_t max_output = 4096) {
  std::vector<std::string> words = {"systemctl"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  int pipe_fds[2] = {-1, -1};
  if (output != nullptr && ::pipe2(pipe_fds, O_CLOEXEC) != 0) ThrowSystemError(errno);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output != nullptr) {
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  } else if (silent) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  if (output != nullptr || silent)
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, "systemctl", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (output != nullptr) {
    ::close(pipe_fds[1]);
    char buffer[512];
    ssize_t n = 0;
    while (rc == 0 && (n = ::read(pipe_fds[0], buffer, sizeof buffer)) != 0) {
      if (n < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (output->size() < max_output) output->append(buffer, static_cast<size_t>(n));
    }
    ::close(pipe_fds[0]);
  }
  if (rc != 0) ThrowSystemError(rc);

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) ThrowSystemError(errno);
  }
  return status;
}

void RunSystemctl(const std::vector<std::string>& args, bool silent) {
  const int status = SpawnSystemctl(args, silent, nullptr);
  std::string command = "systemctl";
  for (const std::string& arg : args) command += " " + arg;
  if (WIFSIGNALED(status)) {
    throw Exception("\"" + command + "\" terminou pelo sinal " + std::to_string(WTERMSIG(status)));
  }
  if (WEXITSTATUS(status) != 0) {
    throw Exception("\"" + command + "\" terminou com o estado " +
                    std::to_string(WEXITSTATUS(status)));
  }
}

// Creates `path` holding `text`; fails when it exists. A failed write leaves no file behind.
void WriteNewFile(const std::string& path, const std::string& text) {
  try {
    File file = File::CreateNew(path, 0644);
    try {
      file.SetMode(0644);
      file.Write(text);
      file.Sync();
      file.Close();
    } catch (const FileError&) {
      file = File();
      RemoveFile(path);
      throw;
    }
  } catch (const FileError& e) {
    ThrowSystemError(e.error());
  }
}

// Where a unit's word goes: ExecStart= expands "$NAME" and "${NAME}" besides the specifiers.
enum class UnitLine { kExecStart, kPaths };

// A path as one word of a unit file line (ExecStart=, ReadWritePaths=): quoted when it holds a
// blank, '%' doubled (systemd expands specifiers everywhere), '$' doubled in ExecStart= (which
// expands environment variables): the service receives the path as it is written. A path systemd
// cannot be given (CaminhoRecusado) is refused with its sentence; systemd refuses to start an
// executable whose path holds quotes or a backslash, so such a path is refused here already (and
// a folder's too: `what` names which path it is).
std::string UnitPathWord(const std::string& path, UnitLine line,
                         const std::string& what = "do executável") {
  if (const std::string recusado = CaminhoRecusado(path, what); !recusado.empty())
    throw Exception(recusado);
  std::string word;
  bool blank = false;
  for (const char c : path) {
    switch (c) {
      case '\\':
      case '"':
      case '\'':
        throw Exception("O systemd não aceita aspas nem barra invertida no caminho " + what + ": " +
                        path);
      case '%': word += "%%"; break;
      case '$': word += line == UnitLine::kExecStart ? "$$" : "$"; break;
      case ' ': blank = true; word += c; break;
      default: word += c;
    }
  }
  return blank ? "\"" + word + "\"" : word;
}

// The template with every placeholder replaced by its value, in one pass, so that a value that
// happens to hold a placeholder's text stays as it is. Fails when a placeholder is missing.
std::string FillTemplate(const std::string& text,
                         const std::vector<std::pair<std::string, std::string>>& values) {
  std::string filled;
  std::vector<bool> found(values.size(), false);
  size_t at = 0;
  while (at < text.size()) {
    size_t which = 0;
    while (which < values.size() && text.compare(at, values[which].first.size(), values[which].first) != 0) {
      ++which;
    }
    if (which == values.size()) {
      filled += text[at++];
      continue;
    }
    filled += values[which].second;
    at += values[which].first.size();
    found[which] = true;
  }
  for (size_t i = 0; i < values.size(); ++i) {
    if (!found[i]) throw Exception("Modelo da unidade do systemd sem " + values[i].first);
  }
  return filled;
}

// The folders the unit's sandbox hides from the service, as path components below "/".
const std::vector<std::vector<std::string>> kHiddenFolders = {
    {"tmp"}, {"var", "tmp"}, {"home"}, {"root"}, {"run", "user"}};

// The package's unit folders, where the package quirada-contabil installs SrvQuirada.service.
const std::vector<std::string> kPackageUnitDirs = {"/lib/systemd/system/", "/usr/lib/systemd/system/"};

std::string HiddenFolderText() {
  std::string text;
  for (const auto& folder : kHiddenFolders) {
    if (!text.empty()) text += ", ";
    for (const std::string& part : folder) text += "/" + part;
  }
  return text;
}

// Reports a failed install; returns its exit status.
int InstallFailure(const std::string& nome, const std::exception& e, bool silent, std::ostream& err) {
  if (!silent) {
    err << "Falha ao instalar o serviço \"" << NomeDoServico(nome) << "\" com erro: \""
        << ErrorText(e) << "\"" << std::endl;
  }
  return 1;
}

}  // namespace

std::string HiddenExecutableFolder(const std::string& executable_path) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path resolved = fs::weakly_canonical(fs::path(executable_path), error);
  if (error) resolved = fs::path(executable_path).lexically_normal();
  const fs::path folder = resolved.parent_path();

  std::vector<std::string> parts;
  for (const fs::path& part : folder.relative_path()) {
    if (!part.empty()) parts.push_back(part.string());
  }
  for (const auto& hidden : kHiddenFolders) {
    if (parts.size() >= hidden.size() && std::equal(hidden.begin(), hidden.end(), parts.begin())) {
      return folder.string();
    }
  }
  return "";
}

std::string PackageUnitPath(const std::string& unit) {
  const char* env = std::getenv("QUIRADA_PACKAGE_UNIT_DIR");
  std::vector<std::string> dirs = kPackageUnitDirs;
  if (env != nullptr && *env != '\0') {
    dirs = {env};
    if (dirs[0].back() != '/') dirs[0] += '/';
  }
  for (const std::string& dir : dirs) {
    const std::string path = dir + unit;
    if (GetFileInfo(path)) return path;
  }
  return "";
}

std::string ServiceUnitDir() {
  const char* env = std::getenv("QUIRADA_SYSTEMD_DIR");
  std::string dir = env != nullptr && *env != '\0' ? env : "/etc/systemd/system";
  if (dir.back() != '/') dir += '/';
  return dir;
}

std::string NomeDoServico(const std::string& nome) {
  return nome.empty() ? std::string(kServiceName) : std::string(kServiceName) + "@" + nome;
}

std::string ServiceUnitText(const std::string& executable_path, const TInstanciaServico& instancia) {
  const size_t slash = executable_path.rfind('/');
  if (slash == std::string::npos) ThrowSystemError(EINVAL);
  std::string home = slash == 0 ? "/" : executable_path.substr(0, slash);
  std::string exec_start = UnitPathWord(executable_path, UnitLine::kExecStart);
  if (!instancia.nome.empty()) {
    if (!NomeDeInstanciaValido(instancia.nome) || instancia.pasta.empty() ||
        instancia.pasta[0] != '/')
      ThrowSystemError(EINVAL);
    home = SemBarraFinal(instancia.pasta);
    exec_start += " --pasta " + UnitPathWord(home, UnitLine::kExecStart, "da pasta da instância") +
                  " --instancia " + instancia.nome;
  }
  const std::string description = instancia.nome.empty()
                                      ? std::string(kServiceDisplayName)
                                      : std::string(kServiceDisplayName) + " (" + instancia.nome + ")";
  return FillTemplate(kServiceUnitTemplate, {{kExecStartPlaceholder, exec_start},
                                              {kHomePlaceholder, UnitPathWord(home, UnitLine::kPaths,
                                                                              "da pasta do serviço")},
                                              {kStateDirectoryPlaceholder, ""},
                                              {kDescriptionPlaceholder, description}});
}

int InstallService(const TInstanciaServico& instancia, bool silent, std::ostream& out,
                   std::ostream& err) {
  std::string executable;
  try {
    executable = ExecutablePath();
  } catch (const std::exception& e) {
    return InstallFailure(instancia.nome, e, silent, err);
  }
  return InstallServiceFor(executable, instancia, silent, out, err);
}

int InstallServiceFor(const std::string& executable_path, const TInstanciaServico& instancia,
                      bool silent, std::ostream& out, std::ostream& err) {
  const std::string path = UnitPath(instancia.nome);
  const std::string servico = NomeDoServico(instancia.nome);
  try {
    const std::string hidden = HiddenExecutableFolder(executable_path);
    if (!hidden.empty()) {
      throw Exception("o executável está em " + hidden +
                      ", que o serviço isolado pelo systemd não enxerga (" + HiddenFolderText() +
                      "); copie-o para uma pasta como /opt/quirada-contabil");
    }
    if (!instancia.nome.empty()) {
      const std::string pasta_oculta = HiddenExecutableFolder(SemBarraFinal(instancia.pasta) + "/x");
      if (!pasta_oculta.empty()) {
        throw Exception("a pasta da instância está em " + pasta_oculta +
                        ", que o serviço isolado pelo systemd não enxerga (" + HiddenFolderText() +
                        "); use uma pasta como /var/lib/quirada-contabil/" + instancia.nome);
      }
    }
    if (const std::string conflito =
            RegistroEmConflito(executable_path, instancia, RegisteredInstances());
        !conflito.empty())
      throw Exception(conflito);
    WriteNewFile(path, ServiceUnitText(executable_path, instancia));
    if (ManageSystemd()) {
      try {
        RunSystemctl({"daemon-reload"}, silent);
        RunSystemctl({"enable", servico}, silent);
      } catch (...) {
        ::unlink(path.c_str());
        try {
          RunSystemctl({"daemon-reload"}, true);
        } catch (const std::exception&) {
          // The first failure is the one to report.
        }
        throw;
      }
    }
  } catch (const std::exception& e) {
    return InstallFailure(instancia.nome, e, silent, err);
  }
  if (!silent) {
    out << "Serviço instalado com sucesso" << std::endl;
    if (!instancia.depois.empty()) out << instancia.depois << std::flush;
    const std::string packaged = instancia.nome.empty() ? PackageUnitPath() : "";
    if (!packaged.empty()) {
      out << "Aviso: a unidade " << path << " encobre a do pacote quirada-contabil (" << packaged
          << "); para voltar à do pacote, rode /UNINSTALL" << std::endl;
    }
  }
  return 0;
}

std::string RegisteredServiceAccount(const std::string&) { return ""; }

int RefuseInstall(const std::string& nome, const std::string& why, bool silent, std::ostream& err) {
  return InstallFailure(nome, Exception(why), silent, err);
}

namespace {
std::string SystemctlLine(const std::vector<std::string>& args);
}  // namespace

std::string ComandoDePartida(const std::string& servico) { return "systemctl start " + servico; }

int UninstallService(const std::string& nome, bool silent, std::ostream& out, std::ostream& err) {
  const std::string servico = NomeDoServico(nome);
  bool parado = false;
  try {
    const std::string path = UnitPath(nome);
    struct stat st{};
    const bool unidade = ::lstat(path.c_str(), &st) == 0;
    if (!unidade && errno != ENOENT) ThrowSystemError(errno);
    // An instance of the package's template has no unit of its own: it is registered by systemd's
    // links (enabled), or by running.
    if (!unidade && (nome.empty() || !InstanciaRegistrada(nome))) throw Exception(InstanciaNaoRegistrada(nome));
    const bool manage = ManageSystemd();
    if (manage) {
      // Stopped first, its stop waited for: once its unit is gone, systemd would keep it running
      // (from the package's template, for a named instance) with no registration left.
      if (SystemctlLine({"is-active", servico}) != "inactive") {
        RunSystemctl({"stop", servico}, silent);
        parado = true;
      }
      RunSystemctl({"disable", servico}, silent);
    }
    if (unidade && ::unlink(path.c_str()) != 0) ThrowSystemError(errno);
    if (manage) {
      RunSystemctl({"daemon-reload"}, silent);
      // What failed before stays in systemd's memory as "failed": the unit is gone, so is that.
      (void)SystemctlLine({"reset-failed", servico});
    }
  } catch (const std::exception& e) {
    if (!silent) {
      if (parado) out << "Serviço " << servico << " parado." << std::endl;
      err << "Falha ao desinstalar o serviço \"" << servico << "\" com erro: \""
          << ErrorText(e) << "\"" << std::endl;
    }
    return 1;
  }
  if (!silent) {
    if (parado) out << "Serviço " << servico << " parado." << std::endl;
    out << "Serviço desinstalado com sucesso" << std::endl;
  }
  return 0;
}

namespace {

// What "systemctl <args>" prints on its standard output, its first line; "" when it cannot be run.
std::string SystemctlLine(const std::vector<std::string>& args) {
  std::string text;
  try {
    (void)SpawnSystemctl(args, true, &text);
  } catch (const std::exception&) {
    return "";
  }
  return text.substr(0, text.find('\n'));
}

// The instances of the package's template that systemd runs (or that failed) now, enabled or not.
std::vector<std::string> TemplateInstancesRunning() {
  std::string text;
  try {
    (void)SpawnSystemctl({"list-units", "--plain", "--no-legend", "--no-pager",
                          "--state=active,activating,deactivating,reloading,failed",
                          std::string(kServiceName) + "@*.service"},
                         true, &text, 1024 * 1024);
  } catch (const std::exception&) {
    return {};
  }
  std::vector<std::string> units;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    // The unit is the first word that names one (a mark may come before it).
    const size_t unit = line.find(std::string(kServiceName) + "@");
    if (unit == std::string::npos) continue;
    units.push_back(line.substr(unit, line.find_first_of(" \t", unit) - unit));
  }
  return units;
}

// The words of a unit file line, systemd's quotes taken off.
std::vector<std::string> UnitWords(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size()) break;
    std::string word;
    if (line[i] == '"' || line[i] == '\'') {
      const char quote = line[i++];
      while (i < line.size() && line[i] != quote) word += line[i++];
      ++i;
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') word += line[i++];
    }
    words.push_back(word);
  }
  return words;
}

// `word` of an ExecStart= line with what systemd expands in it read: "%i" the instance, "%%" a
// '%', "$$" a '$'.
std::string Specifiers(const std::string& word, const std::string& nome) {
  std::string read;
  for (size_t i = 0; i < word.size(); ++i) {
    const char next = i + 1 < word.size() ? word[i + 1] : '\0';
    if (word[i] == '%' && (next == 'i' || next == '%')) {
      read += next == 'i' ? nome : "%";
      ++i;
    } else if (word[i] == '$' && next == '$') {
      read += '$';
      ++i;
    } else {
      read += word[i];
    }
  }
  return read;
}

std::string TextOfUnit(const std::string& path) {
  try {
    return ReadWholeFile(path, 1024 * 1024);
  } catch (const std::exception&) {
    return "";
  }
}

}  // namespace

std::string UnitFolder(const std::string& unit_text, const std::string& nome) {
  size_t at = 0;
  while (at < unit_text.size()) {
    size_t end = unit_text.find('\n', at);
    if (end == std::string::npos) end = unit_text.size();
    const std::string line = unit_text.substr(at, end - at);
    at = end + 1;
    if (!line.starts_with("ExecStart=")) continue;
    const std::vector<std::string> words = UnitWords(line.substr(10));
    if (words.empty()) return "";
    for (size_t i = 1; i + 1 < words.size(); ++i) {
      if (words[i] == "--pasta") return SemBarraFinal(Specifiers(words[i + 1], nome)) + "/";
    }
    const std::string exe = Specifiers(words[0], nome);
    return exe.substr(0, exe.rfind('/') + 1);
  }
  return "";
}

std::vector<TInstanciaRegistrada> RegisteredInstances() {
  namespace fs = std::filesystem;
  const std::string dir = ServiceUnitDir();
  const bool manage = ManageSystemd();
  const auto estado = [&](const std::string& servico) {
    const std::string line = manage ? SystemctlLine({"is-active", servico}) : "";
    return line.empty() ? std::string("desconhecido") : line;
  };
  std::vector<TInstanciaRegistrada> lista;

  // The unnamed instance: the unit "/INSTALL" wrote, or the package's.
  std::string unidade = dir + kServiceName + ".service";
  if (!GetFileInfo(unidade)) unidade = PackageUnitPath();
  if (!unidade.empty()) {
    lista.push_back({"", kServiceName, UnitFolder(TextOfUnit(unidade), ""), estado(kServiceName)});
  }

  // Named ones: units "/INSTALL" wrote, and instances of the package's template enabled with
  // "systemctl enable SrvQuirada@<name>" (links in the unit folder's .wants folders).
  const std::string prefixo = std::string(kServiceName) + "@";
  std::vector<std::string> nomes;
  const auto anotar = [&](const fs::path& entry) {
    const std::string file = entry.filename().string();
    if (!file.starts_with(prefixo) || !file.ends_with(".service")) return;
    const std::string nome = file.substr(prefixo.size(), file.size() - prefixo.size() - 8);
    if (NomeDeInstanciaValido(nome) &&
        std::find(nomes.begin(), nomes.end(), nome) == nomes.end())
      nomes.push_back(nome);
  };
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) {
    std::error_code e;
    if (entry.is_directory(e) && entry.path().extension() == ".wants") {
      for (const auto& wanted : fs::directory_iterator(entry.path(), e)) anotar(wanted.path());
    } else {
      anotar(entry.path());
    }
  }
  if (manage) {
    for (const std::string& unit : TemplateInstancesRunning()) anotar(fs::path(unit));
  }
  std::sort(nomes.begin(), nomes.end());
  for (const std::string& nome : nomes) {
    const std::string servico = NomeDoServico(nome);
    std::string texto = TextOfUnit(dir + servico + ".service");
    if (texto.empty()) texto = TextOfUnit(dir + prefixo + ".service");
    if (texto.empty()) texto = TextOfUnit(PackageUnitPath(prefixo + ".service"));
    lista.push_back({nome, servico, UnitFolder(texto, nome), estado(servico)});
  }
  return lista;
}

}  // namespace quirada
