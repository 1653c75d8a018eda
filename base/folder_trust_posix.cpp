#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "base/file_io.h"
#include "base/folder_trust.h"
#include "base/unique_fd_posix.h"

namespace quirada {
namespace {

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// "maria (uid 1000)", or "uid 1000" when the system knows no name for it.
std::string UserText(uid_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
    return std::string(found->pw_name) + " (uid " + std::to_string(uid) + ")";
  return "uid " + std::to_string(uid);
}

// The name `chown` takes for a user: its name, else its number.
std::string UserWord(uid_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
    return found->pw_name;
  return std::to_string(uid);
}

std::string GroupText(gid_t gid) {
  group entry{};
  group* found = nullptr;
  char buffer[4096];
  if (::getgrgid_r(gid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
    return "o grupo " + std::string(found->gr_name) + " (gid " + std::to_string(gid) + ")";
  return "o grupo gid " + std::to_string(gid);
}

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

constexpr int kMaxLinks = 40;  // as the kernel's own limit

class Walk {
 public:
  // What `path`, described by `st`, adds: `above` for a folder that only holds the way to what the
  // program uses (the sticky bit may stand in for its write bits). `file`: the file of the folder
  // it is, or leads to.
  void Check(const std::string& path, const struct stat& st, bool above, const std::string& file) {
    if (!seen_.insert(path).second) return;
    const uid_t me = ::geteuid();
    const bool folder = S_ISDIR(st.st_mode);
    const bool link = S_ISLNK(st.st_mode);
    if (st.st_uid != 0 && st.st_uid != me) {
      found_.push_back({path,
                        "pertence a " + UserText(st.st_uid) + ", que não é root nem o usuário do "
                        "programa, " + UserText(me),
                        std::string("chown ") + (link ? "-h " : "") +
                            (above ? std::string("root") : UserWord(me)) + " " + Quoted(path),
                        file});
    }
    // A link's own mode means nothing (whoever may change its folder may change it); a FIFO or a
    // device (a log linked to /dev/null) holds no content anyone could change, and the program
    // refuses to open it as its file anyway.
    if (!folder && !S_ISREG(st.st_mode)) return;
    const bool group = (st.st_mode & S_IWGRP) != 0;
    const bool others = (st.st_mode & S_IWOTH) != 0;
    if (!group && !others) return;
    if (above && folder && (st.st_mode & S_ISVTX) != 0) return;
    const std::string it = folder ? "nela" : "nele";
    std::string who = group && others ? GroupText(st.st_gid) + " e qualquer outro usuário podem "
                                        "gravar " + it
                      : group         ? GroupText(st.st_gid) + " pode gravar " + it
                                      : "qualquer usuário pode gravar " + it;
    found_.push_back({path, who + " (modo " + ModeText(st.st_mode) + ")",
                      std::string("chmod ") + (group && others ? "go-w" : group ? "g-w" : "o-w") +
                          " " + Quoted(path),
                      file});
  }

  std::vector<UntrustedPath> Found() { return std::move(found_); }

 private:
  std::set<std::string> seen_;
  std::vector<UntrustedPath> found_;
};

// `folder` (a resolved path) and `name` joined.
std::string Join(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

// The folder above a resolved path ("/" above itself).
std::string Parent(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// The words of `path` between its separators.
std::deque<std::string> Components(const std::string& path) {
  std::deque<std::string> words;
  size_t at = 0;
  while (at <= path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    if (slash > at) words.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  return words;
}

int OpenEntry(int at, const char* name) {
  int fd;
  do {
    fd = ::openat(at, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// What the link open as `fd` holds; "" when it cannot be read.
std::string LinkText(int fd) {
  std::string text(4096, '\0');
  const ssize_t n = ::readlinkat(fd, "", text.data(), text.size());
  if (n <= 0 || static_cast<size_t>(n) >= text.size()) return "";
  text.resize(static_cast<size_t>(n));
  return text;
}

// The end of a walk: the entry reached, held open (O_PATH), and its path with every link resolved.
struct Reached {
  UniqueFd fd;
  std::string path;
  std::string unreached;  // why nothing was reached, when `fd` is not valid
};

// Walks `target` one entry at a time, judging each as it is met, from `start` (a folder held open,
// at the resolved path `start_path`) or from the root for an absolute target. Every entry before
// the last is a folder on the way (`above`); the last is judged as `file` (a folder of the program
// when `file` is ""). A link is judged as its folder's entry, then what it leads to is walked.
Reached WalkTo(Walk& walk, UniqueFd start, std::string start_path, const std::string& target,
               const std::string& file) {
  Reached r;
  UniqueFd at = std::move(start);
  std::string at_path = std::move(start_path);
  std::deque<std::string> rest = Components(target);
  int links = 0;
  const auto from_root = [&]() -> bool {
    at = UniqueFd(OpenEntry(AT_FDCWD, "/"));
    at_path = "/";
    if (!at.Valid()) {
      r.unreached = "a raiz não pôde ser aberta: " + std::string(std::strerror(errno));
      return false;
    }
    struct stat st {};
    if (::fstat(at.Get(), &st) == 0) walk.Check("/", st, !rest.empty(), rest.empty() ? file : "");
    return true;
  };
  if ((target.empty() || target[0] == '/') && !from_root()) return r;
  while (!rest.empty()) {
    const std::string name = rest.front();
    rest.pop_front();
    if (name == ".") continue;
    if (name == "..") {
      // The folder above one that was reached is on its way, judged already.
      UniqueFd up(::openat(at.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
      if (!up.Valid()) {
        r.unreached = Quoted(at_path) + ": " + std::strerror(errno);
        return r;
      }
      at = std::move(up);
      at_path = Parent(at_path);
      continue;
    }
    const std::string path = Join(at_path, name);
    UniqueFd entry(OpenEntry(at.Get(), name.c_str()));
    struct stat st {};
    if (!entry.Valid() || ::fstat(entry.Get(), &st) != 0) {
      r.unreached = errno == ENOENT ? Quoted(path) + " não existe"
                                    : Quoted(path) + ": " + std::strerror(errno);
      return r;
    }
    const bool last = rest.empty();
    if (S_ISLNK(st.st_mode)) {
      walk.Check(path, st, true, "");
      if (++links > kMaxLinks) {
        r.unreached = Quoted(path) + ": links demais no caminho (mais de " +
                      std::to_string(kMaxLinks) + ")";
        return r;
      }
      const std::string leads_to = LinkText(entry.Get());
      if (leads_to.empty()) {
        r.unreached = "o link " + Quoted(path) + " não pôde ser lido";
        return r;
      }
      std::deque<std::string> words = Components(leads_to);
      rest.insert(rest.begin(), words.begin(), words.end());
      if (leads_to[0] == '/' && !from_root()) return r;
      continue;
    }
    if (!last && !S_ISDIR(st.st_mode)) {
      r.unreached = Quoted(path) + " não é uma pasta";
      return r;
    }
    walk.Check(path, st, !last, last ? file : "");
    at = std::move(entry);
    at_path = path;
  }
  r.fd = std::move(at);
  r.path = std::move(at_path);
  return r;
}

}  // namespace

JudgedFolder OpenJudgedFolder(const std::string& dir, const std::vector<TrustedFileName>& files) {
  Walk walk;
  JudgedFolder judged;
  // A relative folder is the working folder's.
  std::string absolute = dir;
  if (absolute.empty() || absolute[0] != '/') {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
      judged.unreached = "a pasta de trabalho não pôde ser lida: " + std::string(std::strerror(errno));
      return judged;
    }
    absolute = Join(cwd, dir);
  }
  Reached folder = WalkTo(walk, UniqueFd(), "/", absolute, "");
  struct stat st {};
  if (folder.fd.Valid() && (::fstat(folder.fd.Get(), &st) != 0 || !S_ISDIR(st.st_mode))) {
    folder.unreached = Quoted(folder.path) + " não é uma pasta";
    folder.fd = UniqueFd();
  }
  if (!folder.fd.Valid()) {
    judged.untrusted = walk.Found();
    judged.unreached = folder.unreached;
    return judged;
  }
  for (const TrustedFileName& file : files) {
    const std::string path = Join(folder.path, file.name);
    struct stat entry {};
    if (::fstatat(folder.fd.Get(), file.name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) continue;
    walk.Check(path, entry, false, file.name);
    if (!file.follow_link || !S_ISLNK(entry.st_mode)) continue;
    // The file the link leads to, and the folders on its way: whoever may change any of them may
    // make the link lead elsewhere. A link to nothing yet creates the file where it points when
    // it is opened: that folder's way is judged.
    UniqueFd link(OpenEntry(folder.fd.Get(), file.name.c_str()));
    const std::string leads_to = link.Valid() ? LinkText(link.Get()) : "";
    if (leads_to.empty()) continue;
    UniqueFd from(::fcntl(folder.fd.Get(), F_DUPFD_CLOEXEC, 0));
    if (from.Valid()) (void)WalkTo(walk, std::move(from), folder.path, leads_to, file.name);
  }
  judged.untrusted = walk.Found();
  // The files are reached through /proc/self/fd: without it (a chroot without /proc) nothing of
  // the folder could be, and the program says why instead of failing at every file.
  struct stat through {};
  const std::string proc = "/proc/self/fd/" + std::to_string(folder.fd.Get());
  if (::stat(proc.c_str(), &through) != 0 || through.st_dev != st.st_dev || through.st_ino != st.st_ino) {
    judged.unreached = "a pasta " + Quoted(folder.path) + " foi aberta, mas não pode ser usada por " +
                       proc + ": o /proc não está montado";
    return judged;
  }
  std::string held = folder.path;
  if (held.back() != '/') held += '/';
  judged.folder = HeldFolder(held, {folder.fd.Release()});
  return judged;
}

std::vector<UntrustedPath> FindUntrustedPaths(const std::string& dir,
                                              const std::vector<TrustedFileName>& files) {
  return OpenJudgedFolder(dir, files).untrusted;
}

std::string ForeignOwnerHint(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "";
  const uid_t me = ::geteuid();
  if (st.st_uid == me) return "";
  const std::string shown = Quoted(ShownPath(path));
  return "o arquivo " + shown + " pertence a " + UserText(st.st_uid) + ", e o programa roda como " +
         UserText(me) + ": corrija com chown " + UserWord(me) + " " + shown;
}

std::optional<UntrustedPath> OthersMayRead(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || (st.st_mode & 044) == 0) return std::nullopt;
  const bool group = (st.st_mode & S_IRGRP) != 0;
  const bool others = (st.st_mode & S_IROTH) != 0;
  std::string who = group && others ? GroupText(st.st_gid) + " e qualquer outro usuário podem lê-lo"
                    : group         ? GroupText(st.st_gid) + " pode lê-lo"
                                    : "qualquer usuário pode lê-lo";
  return UntrustedPath{ShownPath(path), who + " (modo " + ModeText(st.st_mode) + ")",
                       "chmod 600 " + Quoted(ShownPath(path)), ""};
}

void SetServiceAccount(const std::string& /*account*/) {}

std::string TrustedWriters() { return "root e o usuário do programa"; }

std::string TrustRule() {
  return "Só root e o usuário do programa podem gravar na pasta do serviço, nas pastas acima dela "
         "(a não ser as que têm o bit sticky, como /tmp) e nos arquivos que o programa guarda nela; "
         "senão outro usuário pode trocar o log, a trava ou um XML por um link e fazer o programa "
         "gravar em outro arquivo.";
}

}  // namespace quirada
