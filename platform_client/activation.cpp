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

  const ExchangeGuard exchange = BeginExchange();

  int status = -1;
  std::string status_line;
  TRetornoPadrao result;
  try {
    HttpRequest request;
    request.method = "POST";
    request.endpoint = ParseEndpoint(FApiUrl);
    request.target = kActivationEnablePath;
    request.version = HttpVersion::kHttp10;
    request.ca_file = FCAFile;
    StringBodySource empty_body("");
    request.body = &empty_body;
    ApiHeaderValues headers;
    headers.content_type = "*/*; charset=utf-8";
    headers.content_length = empty_body.Size();
    headers.integration_key = FKeyContabilidade;
    headers.accept_encoding = "gzip, deflate, br";
    request.headers = ApiHeaders(headers, request.endpoint);

    const HttpResponse response = FHTTP->Send(request);
    status = response.status;
    status_line = response.status_line;

    FResponse =
        JsonDocument::Parse(DecodeBody(response.body, response.charset, DefaultCharset::kLatin1));
    RequireObjectRoot(FResponse.get());
    const rapidjson::Value* key =
        FResponse ? FindMember(FResponse->Root(), "integrationKey") : nullptr;
    if (key == nullptr) throw Exception("Value 'integrationKey' not found");
    FIntegrationKey = MemberValueText(*FResponse, *key);

    Retorno.Codigo = status;
    Retorno.Mensagem = status_line;
    result = Retorno;
  } catch (const HttpProtocolError& e) {
    DiscardRejectedToken(e.status());
    // The platform's error body is the message.
    const std::string text =
        DecodeBody(e.error_text(), e.response().charset, DefaultCharset::kLatin1);
    Retorno.Codigo = e.status();
    Retorno.Mensagem = text;
    throw Exception(text);
  } catch (const HttpTransportError& e) {
    Retorno.Codigo = e.status();
    Retorno.Mensagem = e.status_line();
    throw Exception(e.what());
  } catch (const std::exception& e) {
    Retorno.Codigo = status;
    Retorno.Mensagem = status_line;
    throw Exception(e.what());
  }
  FHTTP.reset();

  // Only after a successful exchange: load the token file with all its keys (a token that has
  // expired meanwhile is renewed). Its failure is the failure of the whole call.
  GetToken();
  return result;
}

TKeyClient TDTQuirada::VerificarKeyCliente() {
  VerificarValidadeToken();

  const ExchangeGuard exchange = BeginExchange();

  int status = -1;
  try {
    const HttpResponse response = FHTTP->Send(ApiQuery(kActivationInfoPath, FKeyContabilidade));
    status = response.status;
    const std::string text = DecodeBody(response.body, response.charset, DefaultCharset::kUtf8);
    FResponse = JsonDocument::Parse(text);
    RequireObjectRoot(FResponse.get());

    // Each field takes its value as soon as it has been read: a failure further on leaves the
    // fields read before it updated.
    KeyCliente.CNPJContabilidade = LookupText(FResponse.get(), "accountantOfficeNationalIdentity");
    KeyCliente.NomeContabilidade = LookupText(FResponse.get(), "accountantOfficeName");
    KeyCliente.CNPJCliente = LookupText(FResponse.get(), "clientNationalIdentity");
    KeyCliente.NomeCliente = LookupText(FResponse.get(), "clientName");

    // A failure of the handler here is a failure of the exchange, reported below.
    Report(TRequestType::rtKeyClient, text, status);
    KeyCliente.Retorno.Codigo = status;
    KeyCliente.Retorno.Mensagem = text;
    return KeyCliente;
  } catch (const std::exception&) {
    FailQuery(TRequestType::rtKeyClient, status);
    return TKeyClient{};
  }
}

}  // namespace quirada
