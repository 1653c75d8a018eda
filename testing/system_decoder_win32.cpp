#include <windows.h>

#include <algorithm>
#include <cctype>

#include "testing/system_decoder.h"

namespace quirada::testing {
namespace {

// The Windows code page of an encoding's label; 0 when none is known here.
UINT CodePageOf(std::string label) {
  std::transform(label.begin(), label.end(), label.begin(), [](unsigned char c) { return std::tolower(c); });
  if (label == "utf-8" || label == "utf8") return CP_UTF8;
  if (label == "windows-1252" || label == "cp1252") return 1252;
  if (label == "iso-8859-1" || label == "latin1") return 28591;
  if (label == "us-ascii" || label == "ascii") return 20127;
  return 0;
}

}  // namespace

std::optional<std::string> SystemDecodeToUtf8(const std::string& bytes, const std::string& label) {
  const UINT code_page = CodePageOf(label);
  if (code_page == 0) return std::nullopt;
  if (bytes.empty()) return std::string();
  // Only UTF-8 refuses what is no text of it; a single-byte code page gives every byte a character.
  const DWORD flags = code_page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
  const int n = MultiByteToWideChar(code_page, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(code_page, flags, bytes.data(), static_cast<int>(bytes.size()), wide.data(), n);
  const int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(m), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, out.data(), m, nullptr, nullptr);
  return out;
}

}  // namespace quirada::testing
