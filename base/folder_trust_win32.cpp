// On Windows the access rules of the program's folder decide who may change it; they come with its
// installation (Program Files), so nothing is reported here.
#include "base/folder_trust.h"

namespace quirada {

std::vector<UntrustedPath> FindUntrustedPaths(const std::string& /*dir*/,
                                              const std::vector<TrustedFileName>& /*files*/) {
  return {};
}

std::string ForeignOwnerHint(const std::string& /*path*/) { return ""; }

}  // namespace quirada
