#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/errors.h"
#include "base/platform.h"

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

}  // namespace quirada
