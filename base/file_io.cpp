// The parts of the file interface that need no system call of their own.
#include <cerrno>

#include "base/file_io.h"

namespace quirada {

std::string ReadWholeFile(const std::string& path, uint64_t max_bytes) {
  File file = File::OpenForReading(path);
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const size_t n = file.Read(buffer, sizeof buffer);
    if (n == 0) break;
    if (bytes.size() + n > max_bytes) {
      throw FileError("File \"" + path + "\" is larger than " + std::to_string(max_bytes) + " bytes",
                      EFBIG);
    }
    bytes.append(buffer, n);
  }
  return bytes;
}

void AppendToFile(const std::string& path, std::string_view bytes, uint32_t create_mode) {
  File file = File::OpenForAppend(path, create_mode);
  file.Write(bytes);
  file.Close();
}

}  // namespace quirada
