// The parameter lines of a Firebird connection ("Name=Value", as the service's connection set-up
// writes them) and what they ask of the Firebird client.
//
// Names are matched without regard to case; the first line of a name counts. Every name the set-up
// writes is understood; a name this client does not know, a value it cannot honour (a driver other
// than "FB", a protocol other than "TCPIP", an open mode other than "Open", a character set other
// than "ISO8859_1" or "NONE") or a malformed value is an Exception with a message that names the parameter.
// Messages never quote the value of "Password".
#pragma once

#include <string>
#include <vector>

namespace quirada {

struct FbAttachSettings {
  std::string connection_string;  // "server/port:database", as the client expects it; the
                                  // database path as the lines give it, in UTF-8
  std::string user_name;
  std::string password;
  int sql_dialect = 3;
  std::string character_set;      // "ISO8859_1"; "NONE" takes texts as the database holds them
};

FbAttachSettings ParseConnectionParams(const std::vector<std::string>& lines);

}  // namespace quirada
