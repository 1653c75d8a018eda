// On Linux the single-byte code page of the service's files is ISO-8859-1.
#include "base/text.h"

namespace quirada {

std::string AnsiToUtf8(std::string_view ansi) { return Latin1ToUtf8(ansi); }

std::string Utf8ToAnsi(std::string_view utf8) { return Utf8ToLatin1(utf8); }

std::string AnsiCodePageName() { return "ISO-8859-1"; }

}  // namespace quirada
