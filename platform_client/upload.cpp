// EnviaXML: the upload of one XML document as a new batch of the platform.
#include <optional>

#include "platform_client/Quirada.h"
#include "platform_client/charset.h"
#include "platform_client/json_access.h"
#include "platform_client/multipart_body.h"
#include "platform_client/path_parts.h"
#include "base/errors.h"

namespace quirada {
namespace {

// The value text of a member looked up by name; a missing member fails the upload.
std::string MemberText(const JsonDocument& doc, const rapidjson::Value& object, const char* name) {
  const rapidjson::Value* member = FindMember(object, name);
  if (member == nullptr) throw Exception(std::string("Value '") + name + "' not found");
  return MemberValueText(doc, *member);
}

}  // namespace

TRetornoEnvio TDTQuirada::EnviaXML(const std::string& CaminhoXML) {
  const std::string file_name = LastPathComponent(CaminhoXML);
  return EnviarLote(file_name, [&](std::optional<MultipartUploadBody>& body) {
    body.emplace(CaminhoXML, file_name, Now());
  });
}

TRetornoEnvio TDTQuirada::EnviaDocumento(const std::string& NomeArquivo, const std::string& Conteudo) {
  return EnviarLote(NomeArquivo, [&](std::optional<MultipartUploadBody>& body) {
    body.emplace(std::string_view(Conteudo), NomeArquivo, Now());
  });
}

TRetornoEnvio TDTQuirada::EnviarLote(
    const std::string& file_name,
    const std::function<void(std::optional<MultipartUploadBody>&)>& make_body) {
  VerificarValidadeToken();

  // The boundary is fixed and the file opened before any connection; a file that cannot be opened
  // fails the upload with its own message. The body closes the file when it goes, after the HTTP
  // client is released.
  std::optional<MultipartUploadBody> FPostFileStream;
  const auto make_request = [&] {
    make_body(FPostFileStream);
    HttpRequest request = NewRequest("POST", FApiUrl, kBatchesPath, HttpVersion::kHttp10);
    request.body = &*FPostFileStream;
    ApiHeaderValues headers;
    headers.content_type = FPostFileStream->ContentType() + "; charset=utf-8";
    headers.content_length = FPostFileStream->Size();
    headers.integration_key = FIntegrationKey;
    headers.accept = "*/*";
    // The upload's client lets the server answer unencoded as well, and says so.
    headers.accept_encoding = "gzip, deflate, br, identity";
    request.headers = ApiHeaders(headers, request.endpoint);
    return request;
  };
  TRetornoEnvio resultado;
  const auto on_answer = [&](const HttpResponse& response) {
    resultado = TRetornoEnvio{};
    resultado.Codigo = response.status;
    const std::string aResult = DecodeBody(response.body, response.charset, DefaultCharset::kLatin1);
    FResponse = JsonDocument::Parse(aResult);
    RequireObjectRoot(FResponse.get());
    const rapidjson::Value& stat = LookupObject(FResponse.get(), "status");

    // Only a created batch (201) is recorded; any other 2xx answer changes nothing.
    if (response.status == 201) {
      const std::string FileId = MemberText(*FResponse, FResponse->Root(), "id");
      Retorno.Id = FileId;
      Retorno.Codigo = response.status;
      Retorno.CodRetorno = MemberText(*FResponse, stat, "code");
      Retorno.Mensagem = MemberText(*FResponse, stat, "message");
      resultado.CodRetorno = Retorno.CodRetorno;
      resultado.Id = FileId;
      resultado.Mensagem = Retorno.Mensagem;
      Gravalog(file_name, FileId);
      Fstatus = true;
    }
  };
  Exchange(
      true, make_request, on_answer,
      [this](const ExchangeFailure& failure) {
        if (!failure.http_error) throw Exception(failure.message);
        // The platform's error body is the message.
        Retorno.Mensagem = failure.error_body;
        throw PlatformError(failure.error_body, failure.status, failure.error_body);
      },
      true);
  return resultado;
}

}  // namespace quirada
