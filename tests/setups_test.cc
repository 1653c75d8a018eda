// "/VERIFICAR" is as strict as the cycle: what makes a cycle fail makes it fail, with the same
// words; what leaves a cycle nothing to send makes "/ONCE" say so and "/VERIFICAR" fail with that
// sentence. Grants given to a role count when "Papel" names it, and a grant that is missing is
// told with the user, the role and the GRANT that mends it.
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/text.h"
#include "testing/erp_database.h"
#include "testing/executable_test.h"
#include "testing/local_platform.h"
#include "testing/service_process.h"

namespace quirada::testing {
namespace {

namespace fs = std::filesystem;

bool Has(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

// A server-wide user of the ERP whose grants come through a role of the database, for the
// object's life. `escreve`: the role may also insert and update the register.
class UserWithRole {
 public:
  UserWithRole(ErpDatabase& db, bool escreve)
      : db_(db),
        user_("QUSR" + std::to_string(::getpid())),
        role_("QPAPEL" + std::to_string(::getpid())) {
    db_.Execute("CREATE USER " + user_ + " PASSWORD 'segredo'");
    db_.Execute("CREATE ROLE " + role_);
    for (const char* table : {"PADRAOII", "NOTASENTRADASESAIDAS", "XML_CANCELAMENTO", "QUIRADA_ENVIOS_XML"})
      db_.Execute(std::string("GRANT SELECT ON ") + table + " TO ROLE " + role_);
    if (escreve) db_.Execute("GRANT INSERT, UPDATE ON QUIRADA_ENVIOS_XML TO ROLE " + role_);
    db_.Execute("GRANT " + role_ + " TO " + user_);
  }
  ~UserWithRole() {
    try {
      db_.Execute("DROP ROLE " + role_);
      db_.Execute("DROP USER " + user_);
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
  }
  const std::string& user() const { return user_; }
  const std::string& role() const { return role_; }

 private:
  ErpDatabase& db_;
  std::string user_, role_;
};

class SetupsTest : public ExecutableTest {};

TEST_F(SetupsTest, VerificarAndOnceJudgeEverySetUpAlike) {
  struct Case {
    const char* what;
    std::function<void(std::string& morvant)> prepare;  // may add lines to [Morvant]
    int once_status;
    std::string words;        // in "/ONCE"'s output and "/VERIFICAR"'s FALHOU line
    std::string check;        // the "/VERIFICAR" line that fails with them; "" when all pass
  };
  std::optional<UserWithRole> user;
  const auto as_user = [&](bool escreve, bool papel) {
    return [&, escreve, papel](std::string& morvant) {
      user.emplace(db_, escreve);
      morvant = "Usuario=" + user->user() + "\r\nSenha=segredo\r\n" + (papel ? "Papel=" + user->role() + "\r\n" : "");
    };
  };
  const Case cases[] = {
      {"an integration key outside printable ASCII",
       [&](std::string&) { db_.ExecuteIn("NONE", "UPDATE PADRAOII SET QUIRADA_INTEGRATION_KEY = 'chave \xE9'"); }, 1,
       "A chave de integração (PADRAOII.QUIRADA_INTEGRATION_KEY) tem caracteres fora do ASCII imprimível",
       "Configuração da integração (PADRAOII)"},
      {"no settings row", [&](std::string&) { db_.Execute("DELETE FROM PADRAOII"); }, 0,
       "A tabela PADRAOII não tem nenhuma linha: sem as chaves da integração, nada é enviado.",
       "Configuração da integração (PADRAOII)"},
      {"an empty authorization key",
       [&](std::string&) { db_.Execute("UPDATE PADRAOII SET QUIRADA_AUTORIZATION_KEY = '   '"); }, 0,
       "A chave de autorização (PADRAOII.QUIRADA_AUTORIZATION_KEY) está vazia: nada é enviado enquanto ela faltar.",
       "Configuração da integração (PADRAOII)"},
      {"grants given to a role the connection does not take", as_user(true, false), 1,
       "não tem permissão de SELECT na tabela PADRAOII: conceda-a com GRANT SELECT ON PADRAOII TO QUSR",
       "Configuração da integração (PADRAOII)"},
      {"grants given to the role Papel names", as_user(true, true), 0, "", ""},
      {"a role that may only read the register", as_user(false, true), 1,
       "(com o papel QPAPEL" + std::to_string(::getpid()) +
           ") não pode gravar na tabela QUIRADA_ENVIOS_XML",
       "Registro dos envios (QUIRADA_ENVIOS_XML)"},
      {"a port written after a colon", [&](std::string&) {}, 1,
       "o Firebird escreve a porta depois de uma barra, não de dois-pontos: Servidor=127.0.0.1/3050",
       "Banco de dados"},
      // Last: the table does not come back.
      {"no register table", [&](std::string&) { db_.Execute("DROP TABLE QUIRADA_ENVIOS_XML"); }, 1,
       "A tabela QUIRADA_ENVIOS_XML, onde o serviço registra os documentos enviados, não existe",
       "Registro dos envios (QUIRADA_ENVIOS_XML)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    user.reset();
    db_.ClearTables();
    db_.InsertSettings({});
    AddNotes(1, 1);
    std::string morvant;
    c.prepare(morvant);
    LocalPlatform platform;
    fs::remove(run_.dir() + "Morvant.ini");
    const bool colon = Has(c.words, "dois-pontos");
    db_.WriteIni(run_.dir(), colon ? "127.0.0.1:3050" : kTestServer);
    run_.AppendIni(morvant + platform.IniSection());
    fs::remove(run_.log_path());

    const ProcessResult once = run_.Run({"/ONCE"}, Env());
    EXPECT_EQ(once.exit_status, c.once_status) << once.out << once.err;
    const std::string said = once.out + once.err;
    if (!c.words.empty()) {
      EXPECT_TRUE(Has(said, c.words)) << said;
    }
    if (c.once_status == 0 && !c.words.empty()) {
      EXPECT_TRUE(Has(once.out, "Nada a enviar: " + c.words)) << once.out;
      EXPECT_FALSE(fs::exists(run_.log_path())) << "nothing to send is no failure: nothing logged";
    }

    const ProcessResult check = run_.Run({"/VERIFICAR"}, Env());
    if (c.check.empty()) {
      EXPECT_EQ(check.exit_status, 0) << check.out;
      EXPECT_FALSE(Has(check.out, "FALHOU")) << check.out;
      EXPECT_EQ(db_.RegisterRows().size(), 1u) << "the cycle sent its document";
      continue;
    }
    EXPECT_EQ(check.exit_status, 1) << check.out;
    const size_t line = check.out.find(c.check);
    ASSERT_NE(line, std::string::npos) << check.out;
    const std::string text = check.out.substr(line, check.out.find('\n', line) - line);
    EXPECT_TRUE(Has(text, ": FALHOU: ")) << text;
    EXPECT_TRUE(Has(text, c.words)) << text;
  }
  user.reset();
}

}  // namespace
}  // namespace quirada::testing
