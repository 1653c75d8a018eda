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

// The bytes a single-byte column of character set `id` holds for the characters `utf8` (valid),
// for the two sets whose bytes the program knows (ISO8859_1, WIN1252); nothing for another set.
std::optional<std::string> StoredSingleBytes(const std::string& utf8, unsigned id) {
  if (id != kFbCsIso8859_1 && id != kFbCsWin1252) return std::nullopt;
  std::string bytes;
  bytes.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    uint32_t cp = 0;
    if (!DecodeUtf8At(utf8, i, cp)) return std::nullopt;
    const int b = id == kFbCsIso8859_1 ? (cp <= 0xFF ? static_cast<int>(cp) : -1) : Windows1252Byte(cp);
    if (b < 0) return std::nullopt;
    bytes += static_cast<char>(b);
  }
  return bytes;
}

// Whether XML 1.0 admits `cp` in a document (its Char production): no C0 control but TAB, LF
// and CR, no U+FFFE or U+FFFF (surrogates are no UTF-8).
bool XmlAdmits(uint32_t cp) {
  if (cp < 0x20) return cp == '\t' || cp == '\n' || cp == '\r';
  return cp != 0xFFFE && cp != 0xFFFF;
}

std::string CodePoint(uint32_t cp) {
  char code[16];
  std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(cp));
  return code;
}

// Checks every character of `utf8` for the file, positions counted as the stored text counts them
// (its characters; the bytes of a column without character set, one character each here). When
// `single_byte` (the text of a single-byte column or bytes read as Windows-1252), a C1 control is
// the Windows-1252 character of its byte, which a Windows ERP wrote: fiscal XML never holds C1
// controls. Returns why the file cannot hold the text unchanged, or "".
std::string CheckCharacters(std::string& utf8, bool single_byte, const FbCharacterSet& charset) {
  const std::string guardado =
      charset.Known() ? "o texto guardado (" + charset.name + ")" : std::string("o texto guardado");
  std::string mapped;  // the text with its C1 controls mapped, once one is met
  bool mapping = false;
  size_t i = 0, position = 0;
  while (i < utf8.size()) {
    // Printable ASCII, the bulk of a document, a run at a time.
    size_t run = i;
    while (run < utf8.size() && static_cast<unsigned char>(utf8[run]) - 0x20u < 0x60u) ++run;
    if (run > i) {
      if (mapping) mapped.append(utf8, i, run - i);
      position += run - i;
      i = run;
      continue;
    }
    const size_t start = i;
    ++position;
    const auto b = static_cast<unsigned char>(utf8[i]);
    uint32_t cp = b;
    if (b < 0x80) {
      ++i;
    } else if (!DecodeUtf8At(utf8, i, cp)) {
      return "o texto não é UTF-8 válido";
    }
    if (!XmlAdmits(cp)) {
      std::string reason = guardado + " tem, na posição " + std::to_string(position) + ", o caractere " +
                           CodePoint(cp) + ", que o XML não admite";
      if (cp == 0 && charset.id == kFbCsWin1252)
        reason += " (numa coluna WIN1252, o servidor dá U+0000 também aos bytes 0x81, 0x8D, 0x8F, 0x90 e "
                  "0x9D, que o windows-1252 não define)";
      return reason;
    }
    if (single_byte && cp >= 0x80 && cp <= 0x9F) {
      const uint32_t windows = Windows1252High(static_cast<unsigned char>(cp));
      if (windows == 0)
        return guardado + " tem, na posição " + std::to_string(position) + ", o caractere de controle " +
               CodePoint(cp) + ", que nenhum caractere de windows-1252 explica; gravá-lo mudaria o documento";
      if (!mapping) {
        mapped.reserve(utf8.size() + 8);
        mapped.assign(utf8, 0, start);
        mapping = true;
      }
      AppendUtf8(mapped, windows);
    } else if (mapping) {
      mapped.append(utf8, start, i - start);
    }
  }
  if (mapping) utf8 = std::move(mapped);
  return "";
}

}  // namespace

XmlFileContent XmlFileBytes(const FbText& text) {
  // Bytes are read as UTF-8 only in a document that declares UTF-8 or no encoding.
  const std::optional<DeclaredEncoding> stored_declaration = FindDeclaredEncoding(text.bytes);
  const bool declares_utf8_or_nothing =
      !stored_declaration ||
      EncodingOfLabel(text.bytes.substr(stored_declaration->at, stored_declaration->size)) == Encoding::kUtf8;

  std::string chars;
  if (text.raw) {
    // Bytes whose meaning nobody declared: UTF-8 when they spell a text of the Windows-1252
    // repertoire, else Windows-1252.
    chars = declares_utf8_or_nothing && IsUtf8OfWindows1252Text(text.bytes) ? text.bytes
                                                                            : Windows1252ToUtf8(text.bytes);
  } else {
    chars = text.bytes;
    // A single-byte column holding UTF-8 bytes (an ERP that kept a document's UTF-8 there); text
    // of ASCII alone spells nothing else.
    if (declares_utf8_or_nothing && text.charset.SingleByte() &&
        std::any_of(chars.begin(), chars.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
      std::optional<std::string> stored = StoredSingleBytes(chars, text.charset.id);
      if (stored && IsUtf8OfWindows1252Text(*stored)) chars = std::move(*stored);
    }
  }
  if (std::string failure = CheckCharacters(chars, text.raw || text.charset.SingleByte(), text.charset);
      !failure.empty())
    return XmlFileContent{"", std::move(failure)};

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
