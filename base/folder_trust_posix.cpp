#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "base/file_io.h"
#include "base/folder_trust.h"

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

class Walk {
 public:
  // What `path`, described by `st`, adds: `above` for a folder that only holds the way to what the
  // program uses (the sticky bit may stand in for its write bits).
  void Check(const std::string& path, const struct stat& st, bool above) {
    if (!seen_.insert(path).second) return;
    const uid_t me = ::geteuid();
    const bool folder = S_ISDIR(st.st_mode);
    if (st.st_uid != 0 && st.st_uid != me) {
      found_.push_back({path,
                        "pertence a " + UserText(st.st_uid) + ", que não é root nem o usuário do "
                        "programa, " + UserText(me),
                        "chown " + (above ? std::string("root") : UserWord(me)) + " " +
                            Quoted(path)});
    }
    // A link's own mode means nothing; a FIFO or a device (a log linked to /dev/null) holds no
    // content anyone could change, and the program refuses to open it as its file anyway.
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
                          " " + Quoted(path)});
  }

  // `path` (resolved, absolute) and every folder above it up to "/"; missing ones are skipped.
  void CheckWayTo(const std::string& path, bool path_is_above) {
    std::string at = path;
    bool above = path_is_above;
    for (;;) {
      struct stat st {};
      if (::lstat(at.c_str(), &st) == 0) Check(at, st, above);
      if (at == "/" || at.empty()) break;
      const size_t slash = at.find_last_of('/');
      at = slash == 0 || slash == std::string::npos ? "/" : at.substr(0, slash);
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
  std::string path = dir;
  try {
    path = ResolvedPath(dir);
  } catch (const FileError&) {
    // Not there (yet): its own words, and what of it is there gets checked.
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::vector<UntrustedPath> FindUntrustedPaths(const std::string& dir,
                                              const std::vector<TrustedFileName>& files) {
  Walk walk;
  const std::string folder = FolderPath(dir);
  walk.CheckWayTo(folder, false);
  for (const TrustedFileName& file : files) {
    const std::string path = (folder == "/" ? "" : folder) + "/" + file.name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) continue;
    walk.Check(path, st, false);
    if (!file.follow_link || !S_ISLNK(st.st_mode)) continue;
    // The file the link leads to, and the folders on its way: whoever may change any of them may
    // make the link lead elsewhere.
    std::string target;
    try {
      target = ResolvedPath(path);
    } catch (const FileError&) {
      // A link to nothing yet: opening it creates the file where it points; that folder's way.
      char buffer[4096];
      const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
      if (n <= 0) continue;
      std::string points(buffer, static_cast<size_t>(n));
      if (points.front() != '/') points = (folder == "/" ? "" : folder) + "/" + points;
      const size_t slash = points.find_last_of('/');
      walk.CheckWayTo(FolderPath(slash == 0 ? "/" : points.substr(0, slash)), true);
      continue;
    }
    struct stat target_st {};
    if (::lstat(target.c_str(), &target_st) == 0) walk.Check(target, target_st, false);
    const size_t slash = target.find_last_of('/');
    walk.CheckWayTo(slash == 0 ? "/" : target.substr(0, slash), true);
  }
  return walk.Found();
}

std::string ForeignOwnerHint(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "";
  const uid_t me = ::geteuid();
  if (st.st_uid == me) return "";
  return "o arquivo " + Quoted(path) + " pertence a " + UserText(st.st_uid) +
         ", e o programa roda como " + UserText(me) + ": corrija com chown " + UserWord(me) + " " +
         Quoted(path);
}

std::optional<UntrustedPath> OthersMayRead(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || (st.st_mode & 044) == 0) return std::nullopt;
  const bool group = (st.st_mode & S_IRGRP) != 0;
  const bool others = (st.st_mode & S_IROTH) != 0;
  std::string who = group && others ? GroupText(st.st_gid) + " e qualquer outro usuário podem lê-lo"
                    : group         ? GroupText(st.st_gid) + " pode lê-lo"
                                    : "qualquer usuário pode lê-lo";
  return UntrustedPath{path, who + " (modo " + ModeText(st.st_mode) + ")", "chmod 600 " + Quoted(path)};
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
