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

std::string UnitPath() { return ServiceUnitDir() + kServiceName + ".service"; }

// systemctl is run only for the system's own unit folder of a running systemd: a folder given in
// QUIRADA_SYSTEMD_DIR is not one systemd reads.
bool ManageSystemd() {
  const char* dir = std::getenv("QUIRADA_SYSTEMD_DIR");
  if (dir != nullptr && *dir != '\0') return false;
  struct stat st{};
  return ::lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

void RunSystemctl(const std::vector<std::string>& args, bool silent) {
  std::vector<std::string> words = {"systemctl"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (silent) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, "systemctl", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) ThrowSystemError(rc);

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) ThrowSystemError(errno);
  }
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

// A path as one word of a unit file line (ExecStart=, ReadWritePaths=): quoted when it holds a
// blank, '%' doubled (systemd expands specifiers everywhere). systemd refuses to start an
// executable whose path holds quotes or a backslash, so such a path is refused here already.
std::string UnitPathWord(const std::string& path) {
  std::string word;
  bool blank = false;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) ThrowSystemError(EINVAL);
    switch (c) {
      case '\\':
      case '"':
      case '\'':
        throw Exception("O systemd não aceita aspas nem barra invertida no caminho do executável: " +
                        path);
      case '%': word += "%%"; break;
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
int InstallFailure(const std::exception& e, bool silent, std::ostream& err) {
  if (!silent) {
    err << "Falha ao instalar o serviço \"" << kServiceName << "\" com erro: \"" << ErrorText(e)
        << "\"" << std::endl;
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

std::string PackageUnitPath() {
  const char* env = std::getenv("QUIRADA_PACKAGE_UNIT_DIR");
  std::vector<std::string> dirs = kPackageUnitDirs;
  if (env != nullptr && *env != '\0') {
    dirs = {env};
    if (dirs[0].back() != '/') dirs[0] += '/';
  }
  for (const std::string& dir : dirs) {
    const std::string path = dir + kServiceName + ".service";
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

std::string ServiceUnitText(const std::string& executable_path) {
  const size_t slash = executable_path.rfind('/');
  if (slash == std::string::npos) ThrowSystemError(EINVAL);
  const std::string home = slash == 0 ? "/" : executable_path.substr(0, slash);

  return FillTemplate(kServiceUnitTemplate, {{kExecStartPlaceholder, UnitPathWord(executable_path)},
                                              {kHomePlaceholder, UnitPathWord(home)}});
}

int InstallService(bool silent, std::ostream& out, std::ostream& err) {
  std::string executable;
  try {
    executable = ExecutablePath();
  } catch (const std::exception& e) {
    return InstallFailure(e, silent, err);
  }
  return InstallServiceFor(executable, silent, out, err);
}

int InstallServiceFor(const std::string& executable_path, bool silent, std::ostream& out,
                      std::ostream& err) {
  const std::string path = UnitPath();
  try {
    const std::string hidden = HiddenExecutableFolder(executable_path);
    if (!hidden.empty()) {
      throw Exception("o executável está em " + hidden +
                      ", que o serviço isolado pelo systemd não enxerga (" + HiddenFolderText() +
                      "); copie-o para uma pasta como /opt/quirada-contabil");
    }
    WriteNewFile(path, ServiceUnitText(executable_path));
    if (ManageSystemd()) {
      try {
        RunSystemctl({"daemon-reload"}, silent);
        RunSystemctl({"enable", kServiceName}, silent);
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
    return InstallFailure(e, silent, err);
  }
  if (!silent) {
    out << "Serviço instalado com sucesso" << std::endl;
    const std::string packaged = PackageUnitPath();
    if (!packaged.empty()) {
      out << "Aviso: a unidade " << path << " encobre a do pacote quirada-contabil (" << packaged
          << "); para voltar à do pacote, rode /UNINSTALL" << std::endl;
    }
  }
  return 0;
}

std::string RegisteredServiceAccount() { return ""; }

int RefuseInstall(const std::string& why, bool silent, std::ostream& err) {
  return InstallFailure(Exception(why), silent, err);
}

int UninstallService(bool silent, std::ostream& out, std::ostream& err) {
  try {
    const std::string path = UnitPath();
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) ThrowSystemError(errno);
    const bool manage = ManageSystemd();
    if (manage) RunSystemctl({"disable", kServiceName}, silent);
    if (::unlink(path.c_str()) != 0) ThrowSystemError(errno);
    if (manage) RunSystemctl({"daemon-reload"}, silent);
  } catch (const std::exception& e) {
    if (!silent) {
      err << "Falha ao desinstalar o serviço \"" << kServiceName << "\" com erro: \""
          << ErrorText(e) << "\"" << std::endl;
    }
    return 1;
  }
  if (!silent) out << "Serviço desinstalado com sucesso" << std::endl;
  return 0;
}

}  // namespace quirada
