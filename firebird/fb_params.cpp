#include "firebird/fb_params.h"

#include <algorithm>
#include <map>
#include <optional>

#include "base/errors.h"

namespace quirada {
namespace {

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
  return s;
}

// Every name the client understands, upper case, with how it is spelt in messages.
const std::map<std::string, std::string>& KnownNames() {
  static const std::map<std::string, std::string> names = {
      {"DRIVERID", "DriverID"},         {"POOLED", "Pooled"},
      {"DATABASE", "Database"},         {"USER_NAME", "User_Name"},
      {"PASSWORD", "Password"},         {"PROTOCOL", "Protocol"},
      {"SERVER", "Server"},             {"PORT", "Port"},
      {"SQLDIALECT", "SQLDialect"},     {"CHARACTERSET", "CharacterSet"},
      {"EXTENDEDMETADATA", "ExtendedMetaData"}, {"OPENMODE", "OpenMode"},
      {"ROLENAME", "RoleName"},
  };
  return names;
}

[[noreturn]] void Fail(const std::string& message) {
  throw Exception("Parâmetro de conexão inválido: " + message);
}

class Lines {
 public:
  explicit Lines(const std::vector<std::string>& lines) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::string& line = lines[i];
      if (line.empty()) continue;
      const std::size_t eq = line.find('=');
      if (eq == std::string::npos) Fail("a linha " + std::to_string(i + 1) + " não tem a forma Nome=Valor");
      const std::string name = Upper(line.substr(0, eq));
      if (!KnownNames().count(name)) {
        // Built by appending: GCC 12 warns falsely (-Wrestrict) on "literal" + string + "literal".
        std::string message = line.substr(0, eq);
        message.insert(0, 1, '"');
        message += "\" não é um parâmetro conhecido";
        Fail(message);
      }
      values_.emplace(name, line.substr(eq + 1));  // the first line of a name counts
    }
  }

  std::optional<std::string> Get(const std::string& name) const {
    auto it = values_.find(name);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }

 private:
  std::map<std::string, std::string> values_;
};

// A parameter whose only honoured values are the ones listed (compared without regard to case).
std::string OneOf(const Lines& lines, const std::string& name, const std::string& absent,
                  const std::vector<std::string>& accepted) {
  const std::string value = lines.Get(name).value_or(absent);
  for (const auto& a : accepted)
    if (Upper(value) == Upper(a)) return a;
  Fail(KnownNames().at(name) + "=" + value + " não é suportado por esta conexão");
}

int Number(const Lines& lines, const std::string& name, int absent, int min, int max) {
  const auto text = lines.Get(name);
  if (!text) return absent;
  int value = 0;
  bool ok = !text->empty() && text->size() <= 9;
  for (char c : *text) {
    if (c < '0' || c > '9') {
      ok = false;
      break;
    }
    value = value * 10 + (c - '0');
  }
  if (!ok || value < min || value > max) Fail(KnownNames().at(name) + "=" + *text + " não é um valor válido");
  return value;
}

}  // namespace

FbAttachSettings ParseConnectionParams(const std::vector<std::string>& param_lines) {
  const Lines lines(param_lines);
  OneOf(lines, "DRIVERID", "", {"FB"});
  // No pooling and no extra metadata queries are ever made, whichever way these two are set.
  OneOf(lines, "POOLED", "False", {"False", "True"});
  OneOf(lines, "EXTENDEDMETADATA", "False", {"False", "True"});
  // Only an existing database is attached; this client never creates one.
  OneOf(lines, "OPENMODE", "Open", {"Open"});
  OneOf(lines, "PROTOCOL", "Local", {"TCPIP"});

  FbAttachSettings settings;
  settings.character_set = OneOf(lines, "CHARACTERSET", "", {"UTF8", "ISO8859_1", "NONE"});
  settings.charset = settings.character_set == "UTF8"        ? FbCharset::kUtf8
                     : settings.character_set == "ISO8859_1" ? FbCharset::kLatin1
                                                             : FbCharset::kNone;
  settings.sql_dialect = Number(lines, "SQLDIALECT", 3, 1, 3);
  const int port = Number(lines, "PORT", 3050, 1, 65535);
  std::string server = lines.Get("SERVER").value_or("");
  if (server.empty()) Fail("Server não informado; o protocolo TCPIP precisa do nome ou endereço do servidor");
  if (server.find(':') != std::string::npos && server.front() != '[') server = "[" + server + "]";  // IPv6
  settings.connection_string = server + "/" + std::to_string(port) + ":" + lines.Get("DATABASE").value_or("");
  settings.user_name = lines.Get("USER_NAME").value_or("");
  settings.password = lines.Get("PASSWORD").value_or("");
  settings.role = lines.Get("ROLENAME").value_or("");
  return settings;
}

}  // namespace quirada
