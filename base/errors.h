// The failure classes of the system.
//
// Every failure is an exception that carries a message; callers tell failures apart by the message
// only. `Exception` is the general class: the dispatch cycle and the platform client raise it with
// the message of whatever they caught. The Portuguese and English texts of the messages are the
// system's own and are matched exactly by peers and operators.
#pragma once

#include <stdexcept>
#include <string>

namespace quirada {

class Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace quirada
