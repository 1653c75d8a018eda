#include "firebird/fb_params.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/errors.h"

namespace quirada {
namespace {

std::vector<std::string> ServiceLines(const std::string& server = "db.local", const std::string& database = "/d/M.FDB") {
  return {"DriverID=FB",         "Pooled=false",           "Database=" + database, "User_Name=SYSDBA",
          "Password=gizmor",     "Protocol=TCPIP",         "Server=" + server,     "Port=3050",
          "SQLDialect=3",        "CharacterSet=UTF8",      "ExtendedMetaData=False", "OpenMode=Open"};
}

TEST(FbParams, TheServiceLinesAttachOverTcpWithDialect3AndUtf8) {
  // The path goes to the client in UTF-8, as given, whatever the connection's character set.
  const FbAttachSettings settings = ParseConnectionParams(ServiceLines("db.local", "/dados/gestão ação.fdb"));
  EXPECT_EQ(settings.connection_string, "db.local/3050:/dados/gestão ação.fdb");
  EXPECT_EQ(settings.user_name, "SYSDBA");
  EXPECT_EQ(settings.password, "gizmor");
  EXPECT_EQ(settings.sql_dialect, 3);
  EXPECT_EQ(settings.character_set, "UTF8");
  EXPECT_EQ(settings.charset, FbCharset::kUtf8);
}

TEST(FbParams, NamesAndKeywordsWithoutRegardToCaseAndIPv6InBrackets) {
  const FbAttachSettings settings = ParseConnectionParams({"driverid=fb", "DATABASE=c:\\x.fdb", "protocol=tcpip",
                                                   "server=::1", "port=3051", "characterset=iso8859_1",
                                                   "openmode=open", "pooled=TRUE"});
  EXPECT_EQ(settings.connection_string, "[::1]/3051:c:\\x.fdb");
  EXPECT_EQ(settings.character_set, "ISO8859_1");
  EXPECT_EQ(settings.charset, FbCharset::kLatin1);
}

TEST(FbParams, TheFirstLineOfANameCounts) {
  auto lines = ServiceLines();
  lines.push_back("Server=other");
  EXPECT_EQ(ParseConnectionParams(lines).connection_string, "db.local/3050:/d/M.FDB");
}

TEST(FbParams, ValuesThisClientCannotHonourAreClearErrors) {
  struct Case {
    const char* what;
    std::string replace_prefix;  // the line starting with this is replaced by `line`
    std::string line;
    std::string message_part;
  };
  const Case cases[] = {
      {"another driver", "DriverID=", "DriverID=IB", "DriverID=IB não é suportado"},
      {"local protocol", "Protocol=", "Protocol=Local", "Protocol=Local não é suportado"},
      {"creating a database", "OpenMode=", "OpenMode=Create", "OpenMode=Create não é suportado"},
      {"open or create", "OpenMode=", "OpenMode=OpenOrCreate", "OpenMode=OpenOrCreate não é suportado"},
      {"another character set", "CharacterSet=", "CharacterSet=WIN1252", "CharacterSet=WIN1252 não é suportado"},
      {"port not a number", "Port=", "Port=abc", "Port=abc não é um valor válido"},
      {"port out of range", "Port=", "Port=70000", "Port=70000 não é um valor válido"},
      {"dialect out of range", "SQLDialect=", "SQLDialect=4", "SQLDialect=4 não é um valor válido"},
      {"pooled not a boolean", "Pooled=", "Pooled=talvez", "Pooled=talvez não é suportado"},
      {"empty server", "Server=", "Server=", "Server não informado"},
      {"unknown parameter", "ExtendedMetaData=", "Senha=segredo", "\"Senha\" não é um parâmetro conhecido"},
      {"line without equals sign", "Port=", "Port 3050", "a linha 8 não tem a forma Nome=Valor"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto lines = ServiceLines();
    for (auto& line : lines)
      if (line.rfind(c.replace_prefix, 0) == 0) line = c.line;
    try {
      ParseConnectionParams(lines);
      ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
      const std::string message = e.what();
      EXPECT_NE(message.find(c.message_part), std::string::npos) << message;
      EXPECT_EQ(message.find("segredo"), std::string::npos) << message;
      EXPECT_EQ(message.find("gizmor"), std::string::npos) << message;
    }
  }
}

TEST(FbParams, AMissingDriverIsAnError) {
  EXPECT_THROW(ParseConnectionParams({"Protocol=TCPIP", "Server=x", "CharacterSet=ISO8859_1"}), Exception);
}

}  // namespace
}  // namespace quirada
