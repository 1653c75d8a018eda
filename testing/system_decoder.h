// The system's own converter of encoded text, for tests that check bytes the program wrote without
// reading them with the program's own code.
#pragma once

#include <optional>
#include <string>

namespace quirada::testing {

// `bytes` in the encoding `label` (UTF-8, windows-1252, ISO-8859-1, US-ASCII...) as UTF-8, by the
// C library's iconv on Linux and MultiByteToWideChar on Windows; nothing when they are not text of
// that encoding or the label is not known.
std::optional<std::string> SystemDecodeToUtf8(const std::string& bytes, const std::string& label);

}  // namespace quirada::testing
