#include "dispatch/document_outcome.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quirada {
namespace {

constexpr std::optional<int32_t> kAnswered = std::nullopt;
constexpr bool kStop = true;
const std::optional<TRetornoStatus> kNotAsked = std::nullopt;

TRetornoStatus Estado(const char* codigo) { return {200, codigo, "m"}; }

TEST(DocumentOutcome, EachDocumentIsDecidedByWhatThePlatformAnsweredIt) {
  const TRetornoEnvio criado{201, "S1", "lote-1", "ok"};
  const struct {
    const char* what;
    bool parada;
    std::optional<int32_t> falha_envio;
    TRetornoEnvio envio;
    std::optional<TRetornoStatus> estado;
    Desfecho desfecho;
  } cases[] = {
      // The upload failed.
      {"400 refuses the document", false, 400, {}, kNotAsked, Desfecho::kRecusado},
      {"404 refuses the document", false, 404, {}, kNotAsked, Desfecho::kRecusado},
      {"422 refuses the document", false, 422, {}, kNotAsked, Desfecho::kRecusado},
      {"499 refuses the document", false, 499, {}, kNotAsked, Desfecho::kRecusado},
      {"401 is the credentials' fault", false, 401, {}, kNotAsked, Desfecho::kFimDoCiclo},
      {"403 is the credentials' fault", false, 403, {}, kNotAsked, Desfecho::kFimDoCiclo},
      {"408 is the network's fault", false, 408, {}, kNotAsked, Desfecho::kFimDoCiclo},
      {"429 is the platform's load", false, 429, {}, kNotAsked, Desfecho::kFimDoCiclo},
      {"500 is the platform's fault", false, 500, {}, kNotAsked, Desfecho::kFimDoCiclo},
      {"302 is no refusal", false, 302, {}, kNotAsked, Desfecho::kFimDoCiclo},
      {"a failure without an answer", false, -1, {}, kNotAsked, Desfecho::kFimDoCiclo},
      {"400 once a stop was requested", kStop, 400, {}, kNotAsked, Desfecho::kFimDoCiclo},
      // The upload was answered.
      {"201 S1 asks for the state", false, kAnswered, criado, kNotAsked, Desfecho::kConsultarEstado},
      {"201 S2 asks for the state", false, kAnswered, {201, "S2", "b", ""}, kNotAsked, Desfecho::kConsultarEstado},
      {"a stop does not change an answered upload", kStop, kAnswered, criado, kNotAsked,
       Desfecho::kConsultarEstado},
      {"200 is not recorded", false, kAnswered, {200, "", "", ""}, kNotAsked, Desfecho::kNaoRegistrado},
      {"202 is not recorded", false, kAnswered, {202, "", "", ""}, kNotAsked, Desfecho::kNaoRegistrado},
      {"200 carrying S1 and an id is not recorded", false, kAnswered, {200, "S1", "b", ""}, kNotAsked,
       Desfecho::kNaoRegistrado},
      {"201 with another code", false, kAnswered, {201, "E1", "b", ""}, kNotAsked, Desfecho::kNaoRegistrado},
      {"201 with s1 in lower case", false, kAnswered, {201, "s1", "b", ""}, kNotAsked, Desfecho::kNaoRegistrado},
      {"201 with S1 and a blank", false, kAnswered, {201, "S1 ", "b", ""}, kNotAsked, Desfecho::kNaoRegistrado},
      {"201 without a code", false, kAnswered, {201, "", "b", ""}, kNotAsked, Desfecho::kNaoRegistrado},
      {"201 with another code and an unusable id", false, kAnswered, {201, "E1", "", ""}, kNotAsked,
       Desfecho::kNaoRegistrado},
      {"an empty batch id", false, kAnswered, {201, "S1", "", ""}, kNotAsked, Desfecho::kLoteInvalido},
      {"batch id .", false, kAnswered, {201, "S1", ".", ""}, kNotAsked, Desfecho::kLoteInvalido},
      {"batch id ..", false, kAnswered, {201, "S2", "..", ""}, kNotAsked, Desfecho::kLoteInvalido},
      {"a batch id with a line feed", false, kAnswered, {201, "S1", "a\nb", ""}, kNotAsked, Desfecho::kLoteInvalido},
      {"a batch id with a byte above ASCII", false, kAnswered, {201, "S1", "lote\xC3\xA7", ""}, kNotAsked,
       Desfecho::kLoteInvalido},
      {"a batch id with DEL", false, kAnswered, {201, "S1", "a\x7F", ""}, kNotAsked, Desfecho::kLoteInvalido},
      {"a batch id with a slash and blanks is asked for", false, kAnswered, {201, "S1", "a/b c", ""}, kNotAsked,
       Desfecho::kConsultarEstado},
      // The state was asked for.
      {"state SA2 records", false, kAnswered, criado, Estado("SA2"), Desfecho::kRegistrado},
      {"state EA10 records", false, kAnswered, criado, Estado("EA10"), Desfecho::kRegistrado},
      {"an empty state records", false, kAnswered, criado, Estado(""), Desfecho::kRegistrado},
      {"state E1 records", false, kAnswered, criado, Estado("E1"), Desfecho::kRegistrado},
      {"state e0 in lower case records", false, kAnswered, criado, Estado("e0"), Desfecho::kRegistrado},
      {"state E0 is not recorded", false, kAnswered, criado, Estado("E0"), Desfecho::kNaoRegistrado},
      {"state EA0 is not recorded", false, kAnswered, criado, Estado("EA0"), Desfecho::kNaoRegistrado},
      {"state EB0 is not recorded", false, kAnswered, criado, Estado("EB0"), Desfecho::kNaoRegistrado},
      {"a query that got no answer is not recorded", false, kAnswered, criado, TRetornoStatus{},
       Desfecho::kNaoRegistrado},
  };
  for (const auto& c : cases) {
    const FatosDocumento fatos{c.parada, c.falha_envio, c.envio, c.estado};
    EXPECT_EQ(DecidirDocumento(fatos), c.desfecho) << c.what;
  }
}

TEST(DocumentOutcome, AnUnusableBatchIdIsNamedForTheMessage) {
  const struct {
    std::string id;
    const char* falha;
  } cases[] = {
      {"", "vazio ou um nome de pasta"},
      {".", "vazio ou um nome de pasta"},
      {"..", "vazio ou um nome de pasta"},
      {"...", ""},
      {"a\tb", "com caracteres fora do ASCII imprimível"},
      {std::string("a\0b", 3), "com caracteres fora do ASCII imprimível"},
      {"\xFF", "com caracteres fora do ASCII imprimível"},
      {" ~lote-1/2 ", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FalhaIdLote(c.id), c.falha) << c.id;
}

}  // namespace
}  // namespace quirada
