#include "dispatch/xml_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <optional>

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

bool IsAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Where the value of the encoding pseudo-attribute of a leading XML declaration stands in `text`
// (ASCII-compatible bytes); nothing when there is no declaration or it names no encoding.
struct DeclaredEncoding {
  size_t at = 0;
  size_t size = 0;
};

std::optional<DeclaredEncoding> FindDeclaredEncoding(const std::string& text) {
  size_t start = 0;
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) start = 3;
  while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
  if (text.compare(start, 5, "<?xml") != 0) return std::nullopt;
  const size_t end = text.find("?>", start);
  if (end == std::string::npos) return std::nullopt;
  const size_t at = text.find("encoding", start);
  if (at == std::string::npos || at > end) return std::nullopt;
  const size_t open = text.find_first_of("\"'", at);
  if (open == std::string::npos || open > end) return std::nullopt;
  const size_t close = text.find(text[open], open + 1);
  if (close == std::string::npos || close > end) return std::nullopt;
  return DeclaredEncoding{open + 1, close - open - 1};
}

enum class Encoding { kUtf8, kLatin1, kWindows1252, kAscii, kOther };

Encoding EncodingOfLabel(const std::string& label) {
  const std::string l = Lower(label);
  if (l == "utf-8" || l == "utf8" || l == "unicode-1-1-utf-8") return Encoding::kUtf8;
  if (l == "iso-8859-1" || l == "iso8859-1" || l == "iso_8859-1" || l == "latin1" || l == "l1" ||
      l == "iso-ir-100" || l == "cp819" || l == "ibm819" || l == "csisolatin1")
    return Encoding::kLatin1;
  if (l == "windows-1252" || l == "cp1252" || l == "x-cp1252") return Encoding::kWindows1252;
  if (l == "us-ascii" || l == "ascii" || l == "iso646-us") return Encoding::kAscii;
  return Encoding::kOther;
}

// The single byte of `cp` in `encoding`, or -1 when it has none.
int ByteOf(uint32_t cp, Encoding encoding) {
  switch (encoding) {
    case Encoding::kLatin1:
      return cp <= 0xFF ? static_cast<int>(cp) : -1;
    case Encoding::kWindows1252:
      return Windows1252Byte(cp);
    case Encoding::kAscii:
      return cp < 0x80 ? static_cast<int>(cp) : -1;
    default:
      return -1;
  }
}

// `utf8` (valid) in the single-byte `encoding`, or nothing when a character does not fit it.
std::optional<std::string> Encode(const std::string& utf8, Encoding encoding) {
  std::string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    uint32_t cp = 0;
    if (!DecodeUtf8At(utf8, i, cp)) return std::nullopt;
    const int b = ByteOf(cp, encoding);
    if (b < 0) return std::nullopt;
    out += static_cast<char>(b);
  }
  return out;
}

// The bytes `utf8` would have been in a single-byte column (ISO-8859-1 or Windows-1252), when
// they spell UTF-8 with at least one character beyond ASCII: the ERP kept UTF-8 bytes there.
std::optional<std::string> Utf8KeptInSingleBytes(const std::string& utf8) {
  std::string bytes;
  bytes.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    uint32_t cp = 0;
    if (!DecodeUtf8At(utf8, i, cp)) return std::nullopt;
    const int b = cp <= 0xFF ? static_cast<int>(cp) : Windows1252Byte(cp);
    if (b < 0) return std::nullopt;
    bytes += static_cast<char>(b);
  }
  if (!IsValidUtf8(bytes)) return std::nullopt;
  return bytes;
}

// Every C1 control of `utf8` made the Windows-1252 character of its byte; the reason when one has
// none.
std::string WithoutC1Controls(std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    const size_t start = i;
    uint32_t cp = 0;
    if (!DecodeUtf8At(utf8, i, cp)) return "o texto não é UTF-8 válido";
    if (cp >= 0x80 && cp <= 0x9F) {
      const uint32_t mapped = Windows1252High(static_cast<unsigned char>(cp));
      if (mapped == 0) {
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(cp));
        return std::string("o texto tem o caractere de controle ") + code +
               ", que nenhum caractere de windows-1252 explica; gravá-lo mudaria o documento";
      }
      AppendUtf8(out, mapped);
    } else {
      out.append(utf8, start, i - start);
    }
  }
  utf8 = std::move(out);
  return "";
}

}  // namespace

XmlFileContent XmlFileBytes(const FbText& text) {
  std::string chars;
  if (text.raw)
    chars = IsValidUtf8(text.bytes) ? text.bytes : Windows1252ToUtf8(text.bytes);
  else
    chars = text.bytes;

  if (!IsAscii(chars)) {
    if (!text.raw) {
      if (std::optional<std::string> kept = Utf8KeptInSingleBytes(chars)) chars = std::move(*kept);
    }
    if (std::string failure = WithoutC1Controls(chars); !failure.empty())
      return XmlFileContent{"", std::move(failure)};
  }

  const std::optional<DeclaredEncoding> declared = FindDeclaredEncoding(chars);
  if (declared) {
    const Encoding encoding = EncodingOfLabel(chars.substr(declared->at, declared->size));
    if (encoding != Encoding::kUtf8 && encoding != Encoding::kOther) {
      if (std::optional<std::string> bytes = Encode(chars, encoding))
        return XmlFileContent{std::move(*bytes) + "\r\n", ""};
    }
    if (encoding != Encoding::kUtf8) chars.replace(declared->at, declared->size, "UTF-8");
  }
  return XmlFileContent{std::move(chars) + "\r\n", ""};
}

void RemoveStaleXmlFile(const std::string& path) {
  const auto there = GetFileInfo(path, false);
  if (!there) return;
  if (there->kind != FileInfo::Kind::kRegular && there->kind != FileInfo::Kind::kSymlink)
    throw FileError(NotRegularFileMessage(path, there->kind), EINVAL);
  // A failure to remove it shows when the new file cannot be created in its place.
  RemoveFile(path);
}

void SaveXmlFile(const std::string& path, const std::string& bytes) {
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
