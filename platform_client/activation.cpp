// The two activation operations of an accountant office's key: GetKeyIntegracao, which exchanges
// the office's key (KeyContabilidade) for the client's integration key, and VerificarKeyCliente,
// which reads the office and the client that the key's activation belongs to into KeyCliente.
#include "platform_client/Quirada.h"
#include "platform_client/charset.h"
#include "platform_client/json_access.h"
#include "base/errors.h"

namespace quirada {

TRetornoPadrao TDTQuirada::GetKeyIntegracao() {
  VerificarValidadeToken();

  StringBodySource empty_body("");
  const auto make_request = [&] {
    HttpRequest request = NewRequest("POST", FApiUrl, kActivationEnablePath, HttpVersion::kHttp10);
    request.body = &empty_body;
    ApiHeaderValues headers;
    headers.content_type = "*/*; charset=utf-8";
    headers.content_length = empty_body.Size();
    headers.integration_key = FKeyContabilidade;
    headers.accept_encoding = "gzip, deflate, br";
    request.headers = ApiHeaders(headers, request.endpoint);
    return request;
  };
  TRetornoPadrao result;
  const auto on_answer = [&](const HttpResponse& response) {
    FResponse =
        JsonDocument::Parse(DecodeBody(response.body, response.charset, DefaultCharset::kLatin1));
    RequireObjectRoot(FResponse.get());
    const rapidjson::Value* key =
        FResponse ? FindMember(FResponse->Root(), "integrationKey") : nullptr;
    if (key == nullptr) throw Exception("Value 'integrationKey' not found");
    FIntegrationKey = MemberValueText(*FResponse, *key);

    Retorno.Codigo = response.status;
    Retorno.Mensagem = response.status_line;
    result = Retorno;
  };
  Exchange(true, make_request, on_answer, [this](const ExchangeFailure& failure) {
    // The platform's error body is the message of an error answer.
    Retorno.Codigo = failure.status;
    Retorno.Mensagem = failure.http_error ? failure.error_body : failure.status_line;
    throw Exception(failure.http_error ? failure.error_body : failure.message);
  });

  // Only after a successful exchange: load the token file with all its keys (a token that has
  // expired meanwhile is renewed). Its failure is the failure of the whole call.
  GetToken();
  return result;
}

TKeyClient TDTQuirada::VerificarKeyCliente() {
  VerificarValidadeToken();

  const auto on_answer = [&](const HttpResponse& response) {
    const std::string text = DecodeBody(response.body, response.charset, DefaultCharset::kUtf8);
    FResponse = JsonDocument::Parse(text);
    RequireObjectRoot(FResponse.get());

    // Each field takes its value as soon as it has been read: a failure further on leaves the
    // fields read before it updated.
    KeyCliente.CNPJContabilidade = LookupText(FResponse.get(), "accountantOfficeNationalIdentity");
    KeyCliente.NomeContabilidade = LookupText(FResponse.get(), "accountantOfficeName");
    KeyCliente.CNPJCliente = LookupText(FResponse.get(), "clientNationalIdentity");
    KeyCliente.NomeCliente = LookupText(FResponse.get(), "clientName");

    // A failure of the handler here is a failure of the exchange.
    Report(TRequestType::rtKeyClient, text, response.status);
    KeyCliente.Retorno.Codigo = response.status;
    KeyCliente.Retorno.Mensagem = text;
  };
  const bool answered = Exchange(
      true, [&] { return ApiQuery(kActivationInfoPath, FKeyContabilidade); }, on_answer,
      [this](const ExchangeFailure& failure) { FailQuery(TRequestType::rtKeyClient, failure); });
  return answered ? KeyCliente : TKeyClient{};
}

}  // namespace quirada
