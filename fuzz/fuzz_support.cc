#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quirada::fuzz {

void Check(bool ok, std::string_view what) {
  if (ok) return;
  std::fprintf(stderr, "\n==== broken promise: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

ScratchFile::ScratchFile(const char* stem) {
  const char* dir = std::getenv("TMPDIR");
  path_ = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/" + stem + ".XXXXXX";
  const int fd = ::mkstemp(path_.data());
  if (fd < 0) {
    std::fprintf(stderr, "cannot create %s: %s\n", path_.c_str(), std::strerror(errno));
    std::abort();
  }
  ::close(fd);
}

ScratchFile::~ScratchFile() { ::unlink(path_.c_str()); }

void ScratchFile::Write(std::string_view bytes) const {
  const int fd = ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "cannot open %s: %s\n", path_.c_str(), std::strerror(errno));
    std::abort();
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::fprintf(stderr, "cannot write %s: %s\n", path_.c_str(), std::strerror(errno));
      std::abort();
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

}  // namespace quirada::fuzz
