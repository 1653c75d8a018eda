// The failure classes of the system.
//
// Every failure is an exception that carries a message a person can act on; `Exception` is the
// general class, raised with the message of whatever was caught. Callers that only pass a failure
// on or log it catch std::exception and use the message. Callers that must act differently on a
// kind of failure catch it by its class, and these are the only ones:
// - Interrupted (below): a call a stop request cut short;
// - FileError (base/file_io.h): a disk operation, with the system's error number (a full disk
//   ends a cycle, a bad file name only skips its document);
// - DatabaseError (firebird/fb_api.h): a database call, with what the server said (a lock
//   conflict, a missing grant, a cancelled call);
// - HttpTransportError and HttpProtocolError (platform_client/http_client.h): a request that got
//   no usable answer, and an answer that broke the protocol;
// - PlatformError (platform_client/Quirada.h): an answer of the platform outside 2xx, with its
//   status and body;
// - FalhaDoRegistro (dispatch/document_source.h): a register row that could not be written after
//   the platform accepted its document.
// No caller tells failures apart by their messages. The Portuguese and English texts of the
// messages are the system's own and are matched exactly by peers and operators.
#pragma once

#include <stdexcept>
#include <string>

namespace quirada {

class Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A call cut short by a stop request (a transfer to the platform, a database call): not a failure
// of what was called. Whoever runs the call lets it through unchanged; the dispatch cycle then ends
// as after a stop between two documents, and nothing is logged.
class Interrupted : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace quirada
