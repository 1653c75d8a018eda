// The rule that decides what becomes of one document from what the platform answered it.
//
// The cycle asks after the upload and again after the status query; the rule looks only at what it
// is given (no server, no database, no clock):
//  - an upload that failed with an answer 4xx other than 401, 403, 408 and 429 is a refusal of
//    this one document by the platform (kRecusado), unless a stop was requested; any other failure
//    of the upload ends the cycle (kFimDoCiclo);
//  - an upload answered with a status other than 201, or 201 with a code other than exactly "S1"
//    or "S2", leaves the document not recorded, without a status query (kNaoRegistrado);
//  - a batch created with a code "S1"/"S2" whose id is no plain name (FalhaIdLote) is a fault of
//    the platform that ends the cycle (kLoteInvalido); any other is asked for (kConsultarEstado);
//  - a status query answered "E0", "EA0" or "EB0", or one that got no answer in 2xx (the empty
//    record a query whose failure went to a request handler returns), leaves the document not
//    recorded; any other code records it (kRegistrado).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform_client/Quirada.h"

namespace quirada {

// What the cycle knows of one document's exchange with the platform.
struct FatosDocumento {
  bool parada = false;                  // a stop request has arrived
  std::optional<int32_t> falha_envio;   // the upload failed: the HTTP status of the platform's
                                        // answer outside 2xx (PlatformError), -1 for any other failure
  TRetornoEnvio envio;                  // what the upload got, when it did not fail
  std::optional<TRetornoStatus> estado; // what the status query got, once it answered
};

enum class Desfecho {
  kRecusado,         // refused by the platform: logged with its key, skipped, its file deleted
  kFimDoCiclo,       // the failure ends the cycle
  kLoteInvalido,     // the batch's id is unusable: a fault of the platform, the cycle ends
  kConsultarEstado,  // ask for the state of the batch the upload created
  kNaoRegistrado,    // not recorded: offered again in the next cycle
  kRegistrado,       // the send is recorded in the register
};

Desfecho DecidirDocumento(const FatosDocumento& fatos);

// Why a batch id from the platform is no plain name in the status query's path, for the message;
// "" when it is sound (not empty, not "." or "..", printable ASCII only).
std::string FalhaIdLote(const std::string& id);

}  // namespace quirada
