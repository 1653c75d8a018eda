// The trusted folder on Windows: decided by the owners and the DACLs of the folder, the folders
// above it and the files named in it.
#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <optional>
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

class Walk {
 public:
  // What `path`, open as `handle` (with READ_CONTROL), adds: `above` for a folder that only holds
  // the way to what the program uses; `file` the file of the folder it is, or leads to.
  void Check(const std::string& path, HANDLE handle, DWORD attributes, bool above,
             const std::string& file) {
    if (!seen_.insert(path).second) return;
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    DWORD error = 0;
    const std::optional<HandleSecurity> security = ReadSecurity(handle, &error);
    if (!security) {
      found_.push_back({path, "suas regras de acesso não puderam ser lidas: " + WindowsErrorText(error),
                        "icacls " + Quoted(path) + " (para vê-las)", file});
      return;
    }
    if (security->owner != nullptr && !IsTrustedSid(security->owner)) {
      found_.push_back({path,
                        "pertence a " + AccountText(security->owner) + ", que não é " +
                            TrustedWriters(),
                        "icacls " + Quoted(path) + " /setowner " + kAdministrators + (link ? " /L" : ""),
                        file});
    }
    const std::vector<Sid> writers = UntrustedGrantees(*security, above ? kAboveRights : kWriteRights);
    if (writers.empty()) return;
    const std::string can = writers.size() > 1 ? " podem " : " pode ";
    if (above) {
      found_.push_back({path, Names(writers) + can + "apagar ou renomear o que ela guarda, ou mudar suas regras",
                        "deixe o programa numa pasta só dos administradores, como "
                        "C:\\Program Files\\Quirada Contabil",
                        file});
    } else {
      found_.push_back({path, Names(writers) + can + "gravar " + (folder ? "nela" : "nele"),
                        "icacls " + Quoted(path) + " /inheritance:d && icacls " + Quoted(path) +
                            " /remove:g " + SidList(writers),
                        file});
    }
  }

  std::vector<UntrustedPath> Found() { return std::move(found_); }

 private:
  std::set<std::string> seen_;
  std::vector<UntrustedPath> found_;
};

constexpr int kMaxLinks = 40;  // as the kernel's own limit on Linux; Windows stops at 63

// `path` made absolute and normal the way Windows reads a path ("." and ".." taken out by their
// words, "/" made "\"); "" when it cannot be.
std::wstring FullPath(const std::wstring& path) {
  wchar_t buffer[32768];
  const DWORD n = GetFullPathNameW(path.c_str(), 32768, buffer, nullptr);
  if (n == 0 || n >= 32768) return L"";
  return std::wstring(buffer, n);
}

// The root of a full path ("C:\", "\\server\share\") and the words after it.
bool SplitPath(const std::wstring& full, std::wstring& root, std::vector<std::wstring>& words) {
  size_t at = 0;
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') {
    at = 3;
  } else if (full.rfind(L"\\\\", 0) == 0) {
    const size_t server = full.find(L'\\', 2);
    if (server == std::wstring::npos) return false;
    const size_t share = full.find(L'\\', server + 1);
    at = share == std::wstring::npos ? full.size() : share + 1;
  } else {
    return false;
  }
  root = full.substr(0, at);
  if (root.back() != L'\\') root += L'\\';
  words.clear();
  while (at < full.size()) {
    size_t next = full.find(L'\\', at);
    if (next == std::wstring::npos) next = full.size();
    if (next > at) words.push_back(full.substr(at, next - at));
    at = next + 1;
  }
  return true;
}

// An entry itself (never what a reparse point leads to), held so that no one renames, removes or
// replaces it meanwhile: no FILE_SHARE_DELETE.
UniqueHandle OpenEntry(const std::wstring& path) {
  return UniqueHandle(CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Where the symbolic link or junction open as `handle` leads: an absolute path, or one relative
// to the link's folder (`relative`). Nothing for another kind of reparse point (`other`), or when
// it cannot be read.
std::optional<std::wstring> LinkTarget(HANDLE handle, bool& relative, bool& other) {
  relative = other = false;
  std::vector<unsigned char> data(16 * 1024);
  DWORD got = 0;
  if (!DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                       static_cast<DWORD>(data.size()), &got, nullptr) ||
      got < 16)
    return std::nullopt;
  DWORD tag = 0;
  std::memcpy(&tag, data.data(), 4);
  size_t names = 0;  // where the names' buffer starts
  if (tag == IO_REPARSE_TAG_SYMLINK) {
    ULONG flags = 0;
    std::memcpy(&flags, data.data() + 16, 4);
    relative = (flags & 1) != 0;  // SYMLINK_FLAG_RELATIVE
    names = 20;
  } else if (tag == IO_REPARSE_TAG_MOUNT_POINT) {
    names = 16;
  } else {
    other = true;
    return std::nullopt;
  }
  WORD offset = 0, length = 0;
  std::memcpy(&offset, data.data() + 8, 2);
  std::memcpy(&length, data.data() + 10, 2);
  if (names + offset + length > got) return std::nullopt;
  std::wstring target(length / sizeof(wchar_t), L'\0');
  std::memcpy(target.data(), data.data() + names + offset, length);
  if (target.rfind(L"\\??\\UNC\\", 0) == 0) return L"\\\\" + target.substr(8);
  if (target.rfind(L"\\??\\", 0) == 0) target.erase(0, 4);
  if (!relative && !(target.size() >= 3 && target[1] == L':')) return std::nullopt;  // a volume's GUID
  return target;
}

// The end of a walk: the handles held on the way (the last entry's last), its path with every link
// resolved and whether it is a folder.
struct Reached {
  std::vector<UniqueHandle> held;
  std::string path;
  bool folder = false;
  std::string unreached;  // why nothing was reached, when `held` is empty
};

// Walks `target` from its root one entry at a time, judging each as it is met. Every entry before
// the last is a folder on the way (`above`); the last is judged as `file` (a folder of the program
// when `file` is ""). A symbolic link or a junction is judged as its folder's entry, then what it
// leads to is walked from its root.
Reached WalkTo(Walk& walk, const std::wstring& target, const std::string& file) {
  Reached r;
  std::wstring full = FullPath(target);
  int links = 0;
restart:
  std::wstring at;
  std::vector<std::wstring> words;
  if (full.empty() || !SplitPath(full, at, words)) {
    r.unreached = Quoted(WideToUtf8(target)) + " não é um caminho completo";
    r.held.clear();
    return r;
  }
  {
    UniqueHandle root = OpenEntry(at);
    if (!root) {
      r.unreached = Quoted(WideToUtf8(at)) + ": " + WindowsErrorText(GetLastError());
      r.held.clear();
      return r;
    }
    walk.Check(WithoutSeparator(WideToUtf8(at)), root.get(), FILE_ATTRIBUTE_DIRECTORY,
               !words.empty(), words.empty() ? file : "");
    r.held.push_back(std::move(root));
  }
  for (size_t i = 0; i < words.size(); ++i) {
    const std::wstring path = at + (at.back() == L'\\' ? L"" : L"\\") + words[i];
    const std::string shown = WideToUtf8(path);
    UniqueHandle entry = OpenEntry(path);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!entry || !GetFileInformationByHandle(entry.get(), &info)) {
      const DWORD error = GetLastError();
      r.unreached = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                        ? Quoted(shown) + " não existe"
                        : Quoted(shown) + ": " + WindowsErrorText(error);
      r.held.clear();
      return r;
    }
    const bool last = i + 1 == words.size();
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      bool relative = false, other = false;
      const std::optional<std::wstring> leads_to = LinkTarget(entry.get(), relative, other);
      if (!other) {
        walk.Check(shown, entry.get(), info.dwFileAttributes, true, "");
        r.held.push_back(std::move(entry));
        if (++links > kMaxLinks) {
          r.unreached = Quoted(shown) + ": links demais no caminho (mais de " +
                        std::to_string(kMaxLinks) + ")";
          r.held.clear();
          return r;
        }
        if (!leads_to) {
          r.unreached = "o link " + Quoted(shown) + " não pôde ser lido";
          r.held.clear();
          return r;
        }
        std::wstring next = relative ? at + (at.back() == L'\\' ? L"" : L"\\") + *leads_to : *leads_to;
        for (size_t j = i + 1; j < words.size(); ++j) next += L"\\" + words[j];
        full = FullPath(next);
        goto restart;
      }
      // Another kind of reparse point (a file kept in the cloud, a deduplicated one) is what the
      // system makes of it.
    }
    const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!last && !folder) {
      r.unreached = Quoted(shown) + " não é uma pasta";
      r.held.clear();
      return r;
    }
    walk.Check(shown, entry.get(), info.dwFileAttributes, !last, last ? file : "");
    r.held.push_back(std::move(entry));
    at = path;
    r.folder = folder;
  }
  if (words.empty()) r.folder = true;
  r.path = WideToUtf8(at);
  return r;
}

}  // namespace

JudgedFolder OpenJudgedFolder(const std::string& dir, const std::vector<TrustedFileName>& files) {
  Walk walk;
  JudgedFolder judged;
  Reached folder = WalkTo(walk, Utf8ToWide(dir), "");
  if (!folder.held.empty() && !folder.folder) {
    folder.unreached = Quoted(folder.path) + " não é uma pasta";
    folder.held.clear();
  }
  if (folder.held.empty()) {
    judged.untrusted = walk.Found();
    judged.unreached = folder.unreached;
    return judged;
  }
  const std::string base = folder.path + (folder.path.back() == '\\' ? "" : "\\");
  for (const TrustedFileName& file : files) {
    const std::string path = base + file.name;
    const UniqueHandle entry = OpenEntry(Utf8ToWide(path));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!entry || !GetFileInformationByHandle(entry.get(), &info)) continue;
    walk.Check(path, entry.get(), info.dwFileAttributes, false, file.name);
    if (!file.follow_link || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) continue;
    // What the link leads to, and the folders on its way: whoever may change any of them may make
    // the link lead elsewhere.
    bool relative = false, other = false;
    const std::optional<std::wstring> leads_to = LinkTarget(entry.get(), relative, other);
    if (!leads_to) continue;
    (void)WalkTo(walk, relative ? Utf8ToWide(base) + *leads_to : *leads_to, file.name);
  }
  judged.untrusted = walk.Found();
  std::vector<intptr_t> handles;
  for (UniqueHandle& h : folder.held) handles.push_back(reinterpret_cast<intptr_t>(h.release()));
  judged.folder = HeldFolder(base, std::move(handles));
  return judged;
}

std::vector<UntrustedPath> FindUntrustedPaths(const std::string& dir,
                                              const std::vector<TrustedFileName>& files) {
  return OpenJudgedFolder(dir, files).untrusted;
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
                           " && icacls " + Quoted(path) + " /remove:g " + SidList(readers),
                       ""};
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
