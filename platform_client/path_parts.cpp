#include "platform_client/path_parts.h"

#include <algorithm>

namespace quirada {
namespace {

size_t AfterLastSeparator(std::string_view path) {
  const size_t at = path.find_last_of("/\\:");
  return at == std::string_view::npos ? 0 : at + 1;
}

}  // namespace

std::string LastPathComponent(std::string_view path) {
  return std::string(path.substr(AfterLastSeparator(path)));
}

std::string FolderPart(std::string_view path) {
  return std::string(path.substr(0, AfterLastSeparator(path)));
}

std::string LocalPath(std::string_view path) {
  std::string out(path);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

}  // namespace quirada
