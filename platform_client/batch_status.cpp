// StatusFile: the state of an uploaded batch, read from the platform into Retorno and Status.
#include "platform_client/Quirada.h"
#include "platform_client/charset.h"
#include "platform_client/encodings.h"
#include "platform_client/json_access.h"
#include "base/errors.h"

namespace quirada {

TRetornoStatus TDTQuirada::StatusFile(const std::string& aFileID) {
  VerificarValidadeToken();

  TRetornoStatus resultado;
  const auto on_answer = [&](const HttpResponse& response) {
    FResponse = JsonDocument::Parse(DecodeBody(response.body, response.charset, DefaultCharset::kUtf8));
    RequireObjectRoot(FResponse.get());

    // The status object: the first file's "apiStatus", or the top-level "status" when the batch
    // lists no files.
    const rapidjson::Value& files = LookupArray(FResponse.get(), "filesExpanded");
    const rapidjson::Value* status_object = nullptr;
    if (files.Size() > 0) {
      if (!files[0].IsObject()) throw Exception("Invalid class typecast");
      status_object = &LookupObject(*FResponse, files[0], "apiStatus");
    } else {
      status_object = &LookupObject(FResponse.get(), "status");
    }

    Report(TRequestType::rtReadStatusFile, Retorno.Status, response.status);
    Retorno.Codigo = response.status;
    Retorno.CodRetorno = LookupText(*FResponse, *status_object, "code");
    Retorno.Mensagem = LookupText(*FResponse, *status_object, "message");
    Fstatus = Retorno.CodRetorno == "EA10" || Retorno.CodRetorno == "SA2";
    resultado = {Retorno.Codigo, Retorno.CodRetorno, Retorno.Mensagem};
  };
  // The id is one segment of the path, whatever the platform put in it.
  const bool answered = Exchange(
      true, [&] { return ApiQuery(kBatchStatusPath + PathSegmentEncode(aFileID), FIntegrationKey); },
      on_answer,
      [this](const ExchangeFailure& failure) {
        if (failure.http_error && !FonExecuteRequest)
          throw PlatformError(failure.message, failure.status, failure.error_body);
        FailQuery(TRequestType::rtReadStatusFile, failure);
      },
      true);
  return answered ? resultado : TRetornoStatus{};
}

}  // namespace quirada
