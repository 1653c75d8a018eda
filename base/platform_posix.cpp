#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <string>

#include "base/errors.h"
#include "base/platform.h"
#include "base/text.h"

namespace quirada {

std::string ExecutablePath() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) throw Exception("Não foi possível localizar o executável (/proc/self/exe)");
  return std::string(buf, static_cast<size_t>(n));
}

std::string ExecutableDir() {
  const std::string path = ExecutablePath();
  return path.substr(0, path.rfind('/') + 1);
}

std::string TempDir() {
  const char* env = std::getenv("TMPDIR");
  std::string dir = env && *env ? env : "/tmp";
  if (dir.back() != '/') dir += '/';
  return dir;
}

std::string SystemErrorText(int error) { return std::strerror(error); }

long CurrentProcessId() { return static_cast<long>(::getpid()); }

bool ProcessIsRunning(long pid) {
  // kill(0) and kill(-n) would name process groups: only a plain id is asked about.
  if (pid <= 0 || pid > 0x3FFFFFFF) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

std::string CurrentUserName() { return std::to_string(::geteuid()); }

namespace {

// `dir` made (mode 0700) when missing, then checked to be this user's private folder.
std::string PrivateFolder(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    throw Exception("Não foi possível criar a pasta privada \"" + dir + "\": " +
                    SystemErrorText(errno));
  }
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    throw Exception("Não foi possível examinar a pasta privada \"" + dir + "\": " +
                    SystemErrorText(errno));
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    throw Exception("A pasta \"" + dir + "\" não é uma pasta privada deste usuário (uid " +
                    CurrentUserName() +
                    ", sem permissões para grupo e outros); remova-a ou corrija-a");
  }
  return dir + "/";
}

}  // namespace

std::string PrivateTempDir() { return PrivateFolder(TempDir() + "quirada-" + CurrentUserName()); }

std::string PrivateTempDir(const std::string& sub) {
  const std::string dir = PrivateTempDir();
  return sub.empty() ? dir : PrivateFolder(dir + sub);
}

std::string RandomName() {
  unsigned char bytes[8];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw Exception("O gerador de números aleatórios do sistema falhou: " + SystemErrorText(errno));
    got += static_cast<size_t>(n);
  }
  return LowerHex(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

}  // namespace quirada
