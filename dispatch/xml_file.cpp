#include "dispatch/xml_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "base/file_io.h"
#include "base/text.h"

namespace quirada {
namespace {

// Fiscal data: readable by the service's user only, whatever the umask leaves.
constexpr uint32_t kXmlFileMode = 0600;

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// The value of the encoding pseudo-attribute of a leading XML declaration, lower case, or "" when
// there is no declaration or it names no encoding.
std::string DeclaredEncoding(const std::string& bytes) {
  size_t start = 0;
  if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) start = 3;
  while (start < bytes.size() && std::isspace(static_cast<unsigned char>(bytes[start]))) ++start;
  if (bytes.compare(start, 5, "<?xml") != 0) return "";
  const size_t end = bytes.find("?>", start);
  if (end == std::string::npos) return "";
  const std::string decl = bytes.substr(start, end - start);
  const size_t at = decl.find("encoding");
  if (at == std::string::npos) return "";
  size_t q = decl.find_first_of("\"'", at);
  if (q == std::string::npos) return "";
  const size_t close = decl.find(decl[q], q + 1);
  if (close == std::string::npos) return "";
  return Lower(decl.substr(q + 1, close - q - 1));
}

}  // namespace

std::string XmlFileBytes(const std::string& db_bytes) {
  if (!IsValidUtf8(db_bytes)) {
    const std::string enc = DeclaredEncoding(db_bytes);
    if (enc.empty() || enc == "utf-8" || enc == "utf8") return Latin1ToUtf8(db_bytes) + "\r\n";
  }
  return db_bytes + "\r\n";
}

void RemoveStaleXmlFile(const std::string& path) {
  const auto there = GetFileInfo(path, false);
  if (!there) return;
  if (there->kind != FileInfo::Kind::kRegular && there->kind != FileInfo::Kind::kSymlink)
    throw FileError(NotRegularFileMessage(path, there->kind), EINVAL);
  // A failure to remove it shows when the new file cannot be created in its place.
  RemoveFile(path);
}

void SaveXmlFile(const std::string& path, const std::string& db_bytes) {
  const std::string bytes = XmlFileBytes(db_bytes);
  RemoveStaleXmlFile(path);
  File file = File::CreateNew(path, kXmlFileMode);
  try {
    file.SetMode(kXmlFileMode);  // whatever the umask left
    file.Write(bytes);
    file.Close();
  } catch (const FileError&) {
    try {
      file.Close();  // closed before it is removed (an open file cannot be removed everywhere)
    } catch (const FileError&) {
    }
    // A file cut short is no document; on a full disk it would also hold the last free blocks,
    // which the service log needs to tell of the failure.
    RemoveFile(path);
    throw;
  }
}

std::string ExtraiNumero(const std::string& texto) {
  std::string digits;
  for (char c : texto)
    if (c >= '0' && c <= '9') digits += c;
  return digits;
}

}  // namespace quirada
