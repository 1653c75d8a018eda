// On Linux the Firebird client library (libfbclient) is linked with the program.
#include <clocale>
#include <string>

#include "firebird/fb_api.h"

namespace quirada {
namespace {

// The Firebird client takes every database path through the character set of the process's
// LC_CTYPE, even a path it is told is UTF-8 (it converts it to that set and back), and it settles
// on that set the first time it converts a path, for the rest of the process's life. A process
// starts in the "C" locale, whose set is ASCII, where a path with "ç" cannot be converted. So
// LC_CTYPE is made UTF-8 (unless it is already) before the client is first used. Classifying
// single bytes (isspace, tolower) is the same in "C" and "C.UTF-8".
void UseUtf8DatabasePaths() {
  const char* current = std::setlocale(LC_CTYPE, nullptr);
  std::string name = current ? current : "";
  for (char& c : name) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  if (name.find("utf-8") != std::string::npos || name.find("utf8") != std::string::npos) return;
  std::setlocale(LC_CTYPE, "C.UTF-8");
}

}  // namespace

Firebird::IMaster* FbMaster() {
  static Firebird::IMaster* master = [] {
    UseUtf8DatabasePaths();
    return Firebird::fb_get_master_interface();
  }();
  return master;
}

}  // namespace quirada
