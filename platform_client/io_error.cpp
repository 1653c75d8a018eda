#include "platform_client/io_error.h"

#include <cerrno>

#include "base/errors.h"

namespace quirada {

std::string InOutErrorMessage(int error_number) {
  switch (error_number) {
    case ENOENT:
    case ENOTDIR:
      return "File not found";
    case EACCES:
    case EPERM:
    case EROFS:
      return "File access denied";
    case ENOSPC:
#ifdef EDQUOT  // a quota: not on every system
    case EDQUOT:
#endif
      return "Disk full";
    case EMFILE:
    case ENFILE:
      return "Too many open files";
    case ENAMETOOLONG:
      return "Invalid filename";
    default:
      return "I/O error " + std::to_string(error_number);
  }
}

void ThrowInOutError(int error_number) { throw Exception(InOutErrorMessage(error_number)); }

}  // namespace quirada
