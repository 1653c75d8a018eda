#include "base/ini_file.h"

#include <cerrno>
#include <optional>

#include "base/errors.h"
#include "base/file_io.h"

namespace quirada {
namespace {

// Far above any configuration written by hand.
constexpr uint64_t kIniMaxBytes = 1024 * 1024;

}  // namespace

IniFileContents ReadIniFile(const std::string& path) {
  IniFileContents contents;
  // A missing file has no entries; anything else that is no plain file of a sane size (a FIFO or
  // a device would never end) fails at once, naming it. What is judged is the file opened.
  const std::string shown = ShownPath(path);
  std::optional<File> file;
  try {
    file = File::OpenForReading(path);
  } catch (const FileError& e) {
    // Missing or unreadable: no entries. A folder in its name is no INI file.
    if (e.error() != EISDIR) return contents;
    throw Exception("O arquivo de configuração \"" + shown + "\" não é um arquivo comum");
  }
  std::string bytes;
  try {
    if (!file->Info().IsRegular())
      throw Exception("O arquivo de configuração \"" + shown + "\" não é um arquivo comum");
    bytes = ReadToEnd(*file, kIniMaxBytes);
  } catch (const FileError& e) {
    if (e.error() == EFBIG)
      throw Exception("O arquivo de configuração \"" + shown + "\" tem mais de " +
                      std::to_string(kIniMaxBytes) + " bytes");
    return contents;  // an unreadable file counts as missing
  }
  IniText text = ParseIni(bytes);
  contents.encoding = text.encoding;
  contents.entries = std::move(text.entries);
  return contents;
}

std::vector<IniEntry> ReadIniEntries(const std::string& path) { return ReadIniFile(path).entries; }

std::string IniFileContents::Value(const std::string& section, const std::string& key,
                                   const std::string& default_value) const {
  return IniValue(entries, section, key, default_value);
}

std::string ReadIniString(const std::string& path, const std::string& section, const std::string& key,
                          const std::string& default_value) {
  return ReadIniFile(path).Value(section, key, default_value);
}

}  // namespace quirada
