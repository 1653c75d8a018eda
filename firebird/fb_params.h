// The parameter lines of a Firebird connection ("Name=Value", as the service's connection set-up
// writes them) and what they ask of the Firebird client.
//
// Names are matched without regard to case; the first line of a name counts. Every name the set-up
// writes is understood; a name this client does not know, a value it cannot honour (a driver other
// than "FB", a protocol other than "TCPIP", an open mode other than "Open", a character set other
// than "UTF8", "ISO8859_1" or "NONE") or a malformed value is an Exception with a message that
// names the parameter. Messages never quote the value of "Password".
//
// "RoleName" (optional) is the SQL role the attachment takes, whose grants then count beside the
// user's own.
//
// "SQLDialect" is the highest dialect the connection speaks: a database of a lower dialect is
// spoken to in its own (fb_connection.h).
#pragma once

#include <string>
#include <vector>

namespace quirada {

// The connection character set: the one in which text travels between program and server.
//  - kUtf8: the server puts every text of a column with a character set into UTF-8 and back
//    without loss; text of a column without one (NONE, OCTETS) travels as stored;
//  - kLatin1: ISO-8859-1 both ways ('?' for what it cannot hold);
//  - kNone: every text travels as the bytes the database holds (or the program gives).
enum class FbCharset { kUtf8, kLatin1, kNone };

struct FbAttachSettings {
  std::string connection_string;  // "server/port:database", as the client expects it; the
                                  // database path as the lines give it, in UTF-8
  std::string user_name;
  std::string password;
  std::string role;  // the SQL role the attachment takes ("RoleName"); none when empty
  int sql_dialect = 3;
  std::string character_set = "UTF8";  // the name the server knows it by
  FbCharset charset = FbCharset::kUtf8;
};

FbAttachSettings ParseConnectionParams(const std::vector<std::string>& lines);

}  // namespace quirada
