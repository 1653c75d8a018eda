// Gravalog: the optional upload log, one dated line per batch the platform created.
//
// Line: "Data: <dd/mm/yyyy hh:nn:ss> Chave: <file name> ID: <batch id>" (the time left out at exact
// midnight), ISO-8859-1, ended by CR LF. The folder tree of CaminhoArqLOG is created when missing.
// An existing log whose last 128 bytes hold an end-of-file mark (byte 26) is cut at the first one
// before the line is appended.
#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>

#include "base/errors.h"
#include "base/file_io.h"
#include "base/text.h"
#include "platform_client/Quirada.h"
#include "platform_client/io_error.h"
#include "platform_client/path_parts.h"

namespace quirada {
namespace {

constexpr char kEndOfFileMark = 26;
constexpr uint64_t kEndOfFileWindow = 128;
constexpr uint32_t kUploadLogMode = 0644;

// Creates the folder and every missing folder above it.
void ForceDirectories(const std::string& folder) {
  std::string dir = folder;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir.empty() || dir == "/") return;
  // The path is UTF-8 text: given as char8_t it stays so on every system (a plain std::string
  // would be read in the ANSI code page on Windows).
  const std::filesystem::path path(std::u8string(dir.begin(), dir.end()));
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return;
  std::filesystem::create_directories(path, ec);
  if (ec || !std::filesystem::is_directory(path, ec)) throw Exception("Unable to create directory");
}

// Opens an existing log for appending, cut at an end-of-file mark near its end.
File OpenForAppend(const std::string& path) {
  File file = File::OpenForUpdate(path);
  const uint64_t size = file.Info().size;
  const uint64_t start = size > kEndOfFileWindow ? size - kEndOfFileWindow : 0;
  char tail[kEndOfFileWindow];
  const size_t n = file.ReadAt(start, tail, static_cast<size_t>(size - start));
  const char* mark = std::find(tail, tail + n, kEndOfFileMark);
  if (mark != tail + n) {
    file.Truncate(start + static_cast<uint64_t>(mark - tail));
  } else {
    file.SeekToEnd();
  }
  return file;
}

}  // namespace

void TDTQuirada::Gravalog(const std::string& Chave, const std::string& ID) {
  if (!FGravarLog) return;

  const std::string folder = FolderPart(FCaminhoLog);
  if (folder.empty()) throw Exception("Unable to create directory");
  ForceDirectories(LocalPath(folder));

  const std::string NomeArquivo = LocalPath(FCaminhoLog);
  const std::string line =
      Utf8ToAnsi("Data: " + DateTimeToStr(Now()) + " Chave: " + Chave + " ID: " + ID) + "\r\n";
  try {
    const auto info = GetFileInfo(NomeArquivo);
    File Arquivo = info && info->IsRegular() ? OpenForAppend(NomeArquivo)
                                             : File::Create(NomeArquivo, kUploadLogMode);
    Arquivo.Write(line);
    Arquivo.Close();
  } catch (const FileError& e) {
    ThrowInOutError(e.error());
  }
}

}  // namespace quirada
