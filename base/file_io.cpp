// The parts of the file interface that need no system call of their own.
#include <cerrno>

#include "base/file_io.h"

namespace quirada {

std::string ReadWholeFile(const std::string& path, uint64_t max_bytes) {
  File file = File::OpenForReading(path);
  return ReadToEnd(file, max_bytes);
}

std::string ReadToEnd(File& file, uint64_t max_bytes) {
  const std::string& path = file.path();
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

std::string NotRegularFileMessage(const std::string& held_path, FileInfo::Kind kind) {
  const std::string path = ShownPath(held_path);
  const char* what = "um arquivo especial";
  switch (kind) {
    case FileInfo::Kind::kDirectory:
      what = "uma pasta";
      break;
    case FileInfo::Kind::kSymlink:
      return "O arquivo \"" + path + "\" é um link simbólico, e o programa não segue links neste "
             "nome: remova o link.";
    case FileInfo::Kind::kFifo:
      what = "uma FIFO";
      break;
    case FileInfo::Kind::kDevice:
      what = "um dispositivo";
      break;
    case FileInfo::Kind::kSocket:
      what = "um socket";
      break;
    case FileInfo::Kind::kRegular:
    case FileInfo::Kind::kOther:
      break;
  }
  return "O arquivo \"" + path + "\" é " + what + ", não um arquivo comum: o programa não o abre. "
         "Remova-o (o programa cria um arquivo comum no lugar).";
}

void AppendToFile(const std::string& path, std::string_view bytes, uint32_t create_mode) {
  File file = File::OpenForAppend(path, create_mode);
  file.Write(bytes);
  file.Close();
}

}  // namespace quirada
