// The failure classes of the system.
//
// Every failure is an exception that carries a message; callers tell failures apart by the message,
// save for two kinds they may catch by type: Interrupted below, and the platform client's
// PlatformError (an answer of the platform outside 2xx, platform_client/Quirada.h). `Exception` is
// the general class: the dispatch cycle and the platform client raise it with the message of
// whatever they caught. The Portuguese and English texts of the messages are the
// system's own and are matched exactly by peers and operators.
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
