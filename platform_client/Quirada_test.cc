#include "platform_client/Quirada.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/platform.h"
#include "testing/https_test_server.h"

namespace quirada {
namespace {

namespace fs = std::filesystem;

TEST(TDTQuiradaTest, AFreshComponentHasEmptyTextsFalseFlagsZeroNumbersAndNoResponse) {
  TDTQuirada q;
  EXPECT_FALSE(q.GravarLog());
  EXPECT_EQ(q.Ambiente(), TAmbiente::aProducao);
  EXPECT_FALSE(q.Status());
  EXPECT_EQ(q.Response(), nullptr);
  for (const std::string* text :
       {&q.CaminhoArqLOG(), &q.ClientSecret(), &q.ClientID(), &q.CaminhoArquivoToken(),
        &q.audience(), &q.IntegrationKey(), &q.KeyContabilidade(), &q.AccessToken(), &q.CAFile()})
    EXPECT_EQ(*text, "");
  EXPECT_EQ(q.DataToken(), 0.0);
  EXPECT_EQ(q.HoraToken(), 0.0);
  EXPECT_EQ(q.Retorno, TRetornoPadrao{});
  EXPECT_EQ(q.KeyCliente, TKeyClient{});
  EXPECT_EQ(q.ApiUrl(), "https://api.quirada.com.br");
  EXPECT_EQ(q.AuthUrl(), "https://auth.quirada.com.br");
  EXPECT_EQ(sizeof(TAmbiente), 1u);
}

TEST(TDTQuiradaTest, EverySetterStoresItsValueAndNothingElse) {
  TDTQuirada q;
  q.setGravarLog(true);
  q.setCaminhoLog("/var/log/q/envios.log");
  q.SetClientSecret("s");
  q.SetClientID("c");
  q.SetAmbiente(TAmbiente::aHomologacao);
  q.setCaminhoArquivoToken("/nonexistent/");
  q.setAuence("aud");
  q.setIntegrationKey("ik");
  q.setKeyContabilidade("kc");
  q.SetDataToken(45000);
  q.SetHoraToken(0.5);
  q.SetAccessToken("tok");
  q.setStatus(true);
  EXPECT_TRUE(q.GravarLog());
  EXPECT_EQ(q.CaminhoArqLOG(), "/var/log/q/envios.log");
  EXPECT_EQ(q.ClientSecret(), "s");
  EXPECT_EQ(q.ClientID(), "c");
  EXPECT_EQ(q.Ambiente(), TAmbiente::aHomologacao);
  EXPECT_EQ(q.CaminhoArquivoToken(), "/nonexistent/");
  EXPECT_EQ(q.TokenFilePath(), "/nonexistent/token.dm");
  EXPECT_EQ(q.audience(), "aud");
  EXPECT_EQ(q.IntegrationKey(), "ik");
  EXPECT_EQ(q.KeyContabilidade(), "kc");
  EXPECT_EQ(q.DataToken(), 45000);
  EXPECT_EQ(q.HoraToken(), 0.5);
  EXPECT_EQ(q.AccessToken(), "tok");
  EXPECT_TRUE(q.Status());
  EXPECT_FALSE(fs::exists("/var/log/q"));
  EXPECT_EQ(q.Retorno, TRetornoPadrao{});
}

TEST(TDTQuiradaTest, OnExecuteRequestReturnsAnEmptyRecordAndTheLastHandlerIsTheOneCalled) {
  const std::string dir =
      (fs::temp_directory_path() / ("quirada-handler-" + std::to_string(CurrentProcessId()))).string();
  fs::create_directories(dir);
  testing::TestHttpsServer server;
  TDTQuirada q;
  q.SetAuthUrl(server.Url());
  q.SetCAFile(server.CaFile());
  q.setCaminhoArquivoToken(dir + "/");
  q.Retorno.Codigo = 7;
  q.Retorno.Mensagem = "before";

  std::vector<std::string> heard;
  EXPECT_EQ(q.onExecuteRequest([&](TRequestType, std::string, int32_t) { heard.push_back("first"); }),
            TRetornoPadrao{});
  EXPECT_EQ(q.onExecuteRequest([&](TRequestType t, std::string text, int32_t status) {
              heard.push_back("second " + std::to_string(static_cast<int>(t)) + " " + text + " " +
                              std::to_string(status));
            }),
            TRetornoPadrao{});
  EXPECT_EQ(q.Retorno.Codigo, 7);
  EXPECT_EQ(q.Retorno.Mensagem, "before");

  server.RespondJson("HTTP/1.1 200 OK", R"({"access_token":"x"})");
  q.GetToken();
  EXPECT_EQ(heard, std::vector<std::string>{"second 1 Token created 200"});
  fs::remove_all(dir);
}

TEST(TDTQuiradaTest, TheEnvironmentChangesNoRequest) {
  const std::string dir =
      (fs::temp_directory_path() / ("quirada-env-" + std::to_string(CurrentProcessId()))).string();
  std::vector<std::string> heads;
  for (TAmbiente ambiente : {TAmbiente::aProducao, TAmbiente::aHomologacao}) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    testing::TestHttpsServer server;
    TDTQuirada q;
    q.SetAmbiente(ambiente);
    q.SetAuthUrl(server.Url());
    q.SetCAFile(server.CaFile());
    q.setCaminhoArquivoToken(dir + "/");
    server.RespondJson("HTTP/1.1 200 OK", R"({"access_token":"x"})");
    q.GetToken();
    ASSERT_EQ(server.RequestCount(), 1u);
    std::string head = server.Requests()[0].Raw();
    const std::string port = std::to_string(server.port());
    head.replace(head.find(port), port.size(), "PORT");
    heads.push_back(head);
  }
  EXPECT_EQ(heads[0], heads[1]);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quirada
