// The platform as the dispatch cycle sees it: one upload, one batch status query. The second of the
// cycle's two seams (the first is the document source, document_source.h); quirada_platform.h is
// the accounting platform's, reached through the component TDTQuirada; testing/fake_platform.h one
// in memory.
//
// A platform carries what every request needs (the endpoints, the trusted authorities, the keys,
// the token, the stop request) from its construction on; it keeps nothing of one document for the
// next. Failures raise as TDTQuirada's operations raise them: an answer outside 2xx as
// PlatformError (its HTTP status and body), a call a stop request cut short as Interrupted, any
// other failure a plain Exception with its message.
#pragma once

#include <string>

#include "platform_client/Quirada.h"

namespace quirada {

class TPlataforma {
 public:
  virtual ~TPlataforma() = default;
  // Uploads one document as a new batch: the name of its file (the multipart part's file name)
  // and its bytes. What the answer held (TRetornoEnvio: the HTTP status; for a created batch, its
  // code, id and message).
  virtual TRetornoEnvio Enviar(const std::string& nome_arquivo, const std::string& bytes) = 0;
  // The state of the batch `id` (TRetornoStatus: the HTTP status, the batch's code and message).
  virtual TRetornoStatus Estado(const std::string& id) = 0;
};

}  // namespace quirada
