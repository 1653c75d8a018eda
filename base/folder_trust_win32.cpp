// The trusted folder on Windows: decided by the owners and the DACLs of the folder, the folders
// above it and the files named in it.
#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "base/file_io.h"
#include "base/file_security_win32.h"
#include "base/folder_trust.h"
#include "base/text_win32.h"
#include "base/win32_handle_win32.h"

namespace quirada {
namespace {

// What lets someone change a file, or what a folder holds: write or append data (add files or
// folders), delete, delete what it holds, change its rules or its owner.
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD |
                                     DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// What lets someone take away or rename a folder below: adding files of their own beside it
// (C:\ lets every user make folders) changes nothing of it.
constexpr ACCESS_MASK kAboveRights = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
constexpr ACCESS_MASK kReadRights = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;

constexpr char kAdministrators[] = "*S-1-5-32-544";

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// The file or folder itself, for its rules: never what a link leads to.
UniqueHandle OpenForRules(const std::string& path) {
  return UniqueHandle(CreateFileW(Utf8ToWide(path).c_str(), READ_CONTROL,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
}

// "BUILTIN\Users (S-1-5-32-545) e Everyone (S-1-1-0)".
std::string Names(const std::vector<Sid>& sids) {
  std::string text;
  for (size_t i = 0; i < sids.size(); ++i) {
    text += i == 0 ? "" : i + 1 == sids.size() ? " e " : ", ";
    text += AccountText(const_cast<unsigned char*>(sids[i].data()));
  }
  return text;
}

// "*S-1-5-32-545 *S-1-1-0", as icacls takes them.
std::string SidList(const std::vector<Sid>& sids) {
  std::string text;
  for (const Sid& sid : sids)
    text += (text.empty() ? "*" : " *") + SidText(const_cast<unsigned char*>(sid.data()));
  return text;
}

// `path` without its trailing separators, a drive's root ("C:\") kept whole.
std::string WithoutSeparator(std::string path) {
  while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path;
}

// The folder above `path`; "" at the top.
std::string Above(const std::string& path) {
  const size_t at = path.find_last_of("\\/");
  if (at == std::string::npos || path.size() <= 3) return "";
  if (at == 2 && path[1] == ':') return path.substr(0, 3);
  if (at < 2) return "";
  return path.substr(0, at);
}

class Walk {
 public:
  // What `path` adds: `above` for a folder that only holds the way to what the program uses.
  void Check(const std::string& path, bool above) {
    if (!seen_.insert(path).second) return;
    const DWORD attributes = GetFileAttributesW(Utf8ToWide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;  // not there
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const UniqueHandle handle = OpenForRules(path);
    DWORD error = handle ? 0 : GetLastError();
    std::optional<HandleSecurity> security;
    if (handle) security = ReadSecurity(handle.get(), &error);
    if (!security) {
      found_.push_back({path, "suas regras de acesso não puderam ser lidas: " + WindowsErrorText(error),
                        "icacls " + Quoted(path) + " (para vê-las)"});
      return;
    }
    if (security->owner != nullptr && !IsTrustedSid(security->owner)) {
      found_.push_back({path,
                        "pertence a " + AccountText(security->owner) + ", que não é " +
                            TrustedWriters(),
                        "icacls " + Quoted(path) + " /setowner " + kAdministrators});
    }
    const std::vector<Sid> writers = UntrustedGrantees(*security, above ? kAboveRights : kWriteRights);
    if (writers.empty()) return;
    const std::string can = writers.size() > 1 ? " podem " : " pode ";
    if (above) {
      found_.push_back({path, Names(writers) + can + "apagar ou renomear o que ela guarda, ou mudar suas regras",
                        "deixe o programa numa pasta só dos administradores, como "
                        "C:\\Program Files\\Quirada Contabil"});
    } else {
      found_.push_back({path, Names(writers) + can + "gravar " + (folder ? "nela" : "nele"),
                        "icacls " + Quoted(path) + " /inheritance:d && icacls " + Quoted(path) +
                            " /remove:g " + SidList(writers)});
    }
  }

  // `path` and every folder above it up to the drive's root.
  void CheckWayTo(const std::string& path, bool path_is_above) {
    bool above = path_is_above;
    for (std::string at = WithoutSeparator(path); !at.empty(); at = Above(at)) {
      Check(at, above);
      above = true;
    }
  }

  std::vector<UntrustedPath> Found() { return std::move(found_); }

 private:
  std::set<std::string> seen_;
  std::vector<UntrustedPath> found_;
};

// `dir` without its trailing separators, its links followed when it is there.
std::string FolderPath(const std::string& dir) {
  try {
    return WithoutSeparator(ResolvedPath(dir));
  } catch (const FileError&) {
    return WithoutSeparator(dir);  // not there (yet): what of its way is there gets checked
  }
}

}  // namespace

std::vector<UntrustedPath> FindUntrustedPaths(const std::string& dir,
                                              const std::vector<TrustedFileName>& files) {
  Walk walk;
  const std::string folder = FolderPath(dir);
  walk.CheckWayTo(folder, false);
  for (const TrustedFileName& file : files) {
    const std::string path = folder + (folder.back() == '\\' ? "" : "\\") + file.name;
    walk.Check(path, false);
    const DWORD attributes = GetFileAttributesW(Utf8ToWide(path).c_str());
    if (!file.follow_link || attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
      continue;
    // What the link leads to, and the folders on its way: whoever may change any of them may make
    // the link lead elsewhere.
    try {
      const std::string target = ResolvedPath(path);
      walk.Check(target, false);
      if (const std::string up = Above(target); !up.empty()) walk.CheckWayTo(up, true);
    } catch (const FileError&) {
      // A link to nothing: nothing to read there, and the link itself was checked.
    }
  }
  return walk.Found();
}

std::optional<UntrustedPath> OthersMayRead(const std::string& path) {
  const UniqueHandle handle = OpenForRules(path);
  if (!handle) return std::nullopt;
  const std::optional<HandleSecurity> security = ReadSecurity(handle.get(), nullptr);
  if (!security) return std::nullopt;
  const std::vector<Sid> readers = UntrustedGrantees(*security, kReadRights);
  if (readers.empty()) return std::nullopt;
  std::string grants = "*S-1-5-18:F *S-1-5-32-544:F";
  // The service's own account keeps reading it when it is not the system's.
  if (Sid account = ServiceAccountSid(); !account.empty()) {
    const std::string sid = SidText(account.data());
    if (sid != "S-1-5-18") grants += " *" + sid + ":R";
  }
  return UntrustedPath{path, Names(readers) + (readers.size() > 1 ? " podem lê-lo" : " pode lê-lo"),
                       "icacls " + Quoted(path) + " /inheritance:r /grant:r " + grants +
                           " && icacls " + Quoted(path) + " /remove:g " + SidList(readers)};
}

std::string TrustedWriters() {
  return "SYSTEM, os Administradores, o TrustedInstaller e a conta do serviço";
}

std::string TrustRule() {
  return "Só SYSTEM, os Administradores, o TrustedInstaller e a conta do serviço podem gravar na "
         "pasta do serviço e nos arquivos que o programa guarda nela, e só eles podem apagar ou "
         "renomear o que as pastas acima dela guardam; senão outro usuário pode trocar o programa, "
         "o fbclient.dll, o Morvant.ini ou o log, e o serviço, que roda como LocalSystem, "
         "executaria ou leria o que ele quisesse.";
}

std::string ForeignOwnerHint(const std::string& /*path*/) { return ""; }

}  // namespace quirada
