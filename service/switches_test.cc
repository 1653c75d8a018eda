#include "service/switches.h"

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace quirada {
namespace {

struct SwitchCase {
  std::vector<std::string> args;
  TRunMode mode;
  bool silent;
  std::string invalid;
};

void PrintTo(const SwitchCase& c, std::ostream* os) {
  for (const std::string& arg : c.args) *os << '[' << arg << ']';
}

class ParseSwitchesTest : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(ParseSwitchesTest, RecognisesSwitchesWithAnyPrefixInAnyCase) {
  const SwitchCase& c = GetParam();
  const TSwitches got = ParseSwitches(c.args);
  EXPECT_EQ(got.Mode, c.mode);
  EXPECT_EQ(got.Silent, c.silent);
  EXPECT_EQ(got.Invalid, c.invalid);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseSwitchesTest,
    ::testing::Values(
        SwitchCase{{}, TRunMode::Service, false, ""},
        SwitchCase{{"-install"}, TRunMode::Install, false, ""},
        SwitchCase{{"/INSTALL"}, TRunMode::Install, false, ""},
        SwitchCase{{"--Install"}, TRunMode::Install, false, ""},
        SwitchCase{{"/install", "-SILENT"}, TRunMode::Install, true, ""},
        SwitchCase{{"/silent", "--uninstall"}, TRunMode::Uninstall, true, ""},
        SwitchCase{{"-UnInstall"}, TRunMode::Uninstall, false, ""},
        SwitchCase{{"/silent"}, TRunMode::Service, true, ""},
        SwitchCase{{"-once"}, TRunMode::Once, false, ""},
        SwitchCase{{"--PENDING"}, TRunMode::Pending, false, ""},
        SwitchCase{{"/Verificar"}, TRunMode::Verificar, false, ""},
        SwitchCase{{"-install", "/INSTALL"}, TRunMode::Install, false, ""},
        SwitchCase{{"--help"}, TRunMode::Help, false, ""},
        SwitchCase{{"-h"}, TRunMode::Help, false, ""},
        SwitchCase{{"/?"}, TRunMode::Help, false, ""},
        SwitchCase{{"/HELP"}, TRunMode::Help, false, ""},
        SwitchCase{{"--version"}, TRunMode::Version, false, ""},
        SwitchCase{{"/VERSION"}, TRunMode::Version, false, ""},
        SwitchCase{{"-bogus"}, TRunMode::Usage, false, "-bogus"},
        SwitchCase{{"install"}, TRunMode::Usage, false, "install"},
        SwitchCase{{"---install"}, TRunMode::Usage, false, "---install"},
        SwitchCase{{"//install"}, TRunMode::Usage, false, "//install"},
        SwitchCase{{"-"}, TRunMode::Usage, false, "-"},
        SwitchCase{{""}, TRunMode::Usage, false, ""},
        SwitchCase{{"-install", "-uninstall"}, TRunMode::Usage, false, "-uninstall"},
        SwitchCase{{"-once", "-silent", "-x"}, TRunMode::Usage, false, "-x"}));

// The folder "/VERIFICARPASTA" judges comes right after it, whatever it looks like (a Linux path
// starts with "/"); a switch there is a switch, and a second word is no folder.
TEST(ParseSwitchesTest, VerificarPastaTakesTheFolderAfterIt) {
  const struct {
    std::vector<std::string> args;
    TRunMode mode;
    std::string folder;
    std::string invalid;
  } cases[] = {
      {{"/VERIFICARPASTA"}, TRunMode::VerificarPasta, "", ""},
      {{"-verificarpasta", "C:\\Users\\Public\\Quirada"}, TRunMode::VerificarPasta,
       "C:\\Users\\Public\\Quirada", ""},
      {{"--VerificarPasta", "/opt/quirada-contabil"}, TRunMode::VerificarPasta, "/opt/quirada-contabil", ""},
      {{"/VERIFICARPASTA", "/silent"}, TRunMode::VerificarPasta, "", ""},
      {{"/VERIFICARPASTA", "a", "b"}, TRunMode::Usage, "", "b"},
      {{"pasta", "/VERIFICARPASTA"}, TRunMode::Usage, "", "pasta"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.size() > 1 ? c.args[1] : c.args[0]);
    const TSwitches got = ParseSwitches(c.args);
    EXPECT_EQ(got.Mode, c.mode);
    EXPECT_EQ(got.Folder, c.folder);
    EXPECT_EQ(got.Invalid, c.invalid);
  }
}

// "PASTA" and "INSTANCIA" go beside any mode, their value in the next word or after '='; a name
// that is no instance's, a value missing or given twice differently is a usage error.
TEST(ParseSwitchesTest, PastaAndInstanciaTakeTheirValueBesideAnyMode) {
  const struct {
    std::vector<std::string> args;
    TRunMode mode;
    std::string pasta;
    std::string instancia;
    std::string invalid;
  } cases[] = {
      {{"--pasta", "/srv/q/acme", "/ONCE"}, TRunMode::Once, "/srv/q/acme", "", ""},
      {{"/ONCE", "/PASTA", "/srv/q/acme"}, TRunMode::Once, "/srv/q/acme", "", ""},
      {{"--pasta=C:\\Quirada\\Acme Ltda", "-pending"}, TRunMode::Pending, "C:\\Quirada\\Acme Ltda", "", ""},
      {{"--PASTA=/srv/Q"}, TRunMode::Service, "/srv/Q", "", ""},
      {{"/INSTALL", "--instancia", "acme-01", "--pasta", "/srv/q"}, TRunMode::Install, "/srv/q", "acme-01", ""},
      {{"/uninstall", "--instancia=Beta_2"}, TRunMode::Uninstall, "", "Beta_2", ""},
      {{"--pasta", "/a", "--pasta", "/a"}, TRunMode::Service, "/a", "", ""},
      {{"--pasta", "/a", "--pasta=/b"}, TRunMode::Usage, "", "", "--pasta=/b"},
      {{"/INSTALL", "--instancia", "acme ltda"}, TRunMode::Usage, "", "", "acme ltda"},
      {{"/INSTALL", "--instancia=ação"}, TRunMode::Usage, "", "", "--instancia=ação"},
      {{"/INSTALL", "--instancia", "../x"}, TRunMode::Usage, "", "", "../x"},
      {{"/ONCE", "--pasta"}, TRunMode::Usage, "", "", "--pasta"},
      {{"--pasta="}, TRunMode::Usage, "", "", "--pasta="},
      {{"--once=1"}, TRunMode::Usage, "", "", "--once=1"},
      {{"/VERIFICARPASTA", "--pasta=/srv/q"}, TRunMode::VerificarPasta, "/srv/q", "", ""},
      {{"/INSTANCIAS"}, TRunMode::Instancias, "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const TSwitches got = ParseSwitches(c.args);
    EXPECT_EQ(got.Mode, c.mode);
    EXPECT_EQ(got.Pasta, c.pasta);
    EXPECT_EQ(got.Instancia, c.instancia);
    EXPECT_EQ(got.Invalid, c.invalid);
  }
}

// A name that is no instance's is told with what a name may hold, not the whole usage; the form
// of a report goes with "/INSTANCIAS" alone, one form at a time.
TEST(ParseSwitchesTest, AnInstanceNameIsRefusedSayingWhatANameMayHoldAndReportFormsGoWithInstancias) {
  const std::string permitido =
      "\". Um nome tem de 1 a 64 caracteres, cada um uma letra sem acento (a-z, A-Z), um dígito "
      "(0-9), - ou _; por exemplo: --instancia acme_filial-2\n";
  const struct {
    std::vector<std::string> args;
    TRunMode mode;
    bool json, prometheus;
    std::string said;  // what ShowUsage writes first
  } cases[] = {
      {{"/INSTALL", "--instancia", "acme ltda", "--pasta", "/srv/q"}, TRunMode::Usage, false, false,
       "Nome de instância inválido: \"acme ltda" + permitido},
      {{"/ONCE", "--instancia=ação"}, TRunMode::Usage, false, false, "Nome de instância inválido: \"ação" + permitido},
      {{"/UNINSTALL", "--instancia", std::string(65, 'a')}, TRunMode::Usage, false, false,
       "Nome de instância inválido: \"" + std::string(65, 'a') + permitido},
      {{"/INSTANCIAS", "--json"}, TRunMode::Instancias, true, false, ""},
      {{"--PROMETHEUS", "-instancias"}, TRunMode::Instancias, false, true, ""},
      {{"/INSTANCIAS", "--json", "--prometheus"}, TRunMode::Usage, false, false, "Opção inválida: \"--json\"\n"},
      {{"/ONCE", "--json"}, TRunMode::Usage, false, false, "Opção inválida: \"--json\"\n"},
      {{"--prometheus"}, TRunMode::Usage, false, false, "Opção inválida: \"--prometheus\"\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const TSwitches got = ParseSwitches(c.args);
    EXPECT_EQ(got.Mode, c.mode);
    EXPECT_EQ(got.Json, c.json);
    EXPECT_EQ(got.Prometheus, c.prometheus);
    if (c.mode != TRunMode::Usage) continue;
    std::ostringstream err;
    EXPECT_EQ(ShowUsage(got, err), 2);
    EXPECT_EQ(err.str().substr(0, c.said.size()), c.said);
    // A refused name is that one sentence alone; anything else is followed by the usage.
    EXPECT_EQ(err.str().size() == c.said.size(), c.said.starts_with("Nome")) << err.str();
  }
}

TEST(ParseSwitchesTest, TakesMainsArgumentsWithoutTheProgramName) {
  const char* argv[] = {"/opt/quirada/QuiradaContabil", "/INSTALL", "-silent", nullptr};
  const TSwitches got = ParseSwitches(3, argv);
  EXPECT_EQ(got.Mode, TRunMode::Install);
  EXPECT_TRUE(got.Silent);
}

TEST(ShowUsageTest, NamesTheBadArgumentListsEverySwitchAndReturnsTwo) {
  std::ostringstream err;
  EXPECT_EQ(ShowUsage(ParseSwitches({"-bogus"}), err), 2);
  const std::string text = err.str();
  EXPECT_EQ(text.find("Opção inválida: \"-bogus\"\n"), 0u) << text;
  for (const char* name :
       {"-INSTALL", "-UNINSTALL", "-SILENT", "-ONCE", "-PENDING", "-VERIFICAR", "-VERIFICARPASTA",
        "-INSTANCIAS", "--pasta", "--instancia"}) {
    EXPECT_NE(text.find(name), std::string::npos) << name;
  }
  EXPECT_EQ(text.substr(text.size() - UsageText().size()), UsageText());
}

}  // namespace
}  // namespace quirada
