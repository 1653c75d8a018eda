#include <iconv.h>

#include "testing/system_decoder.h"

namespace quirada::testing {

std::optional<std::string> SystemDecodeToUtf8(const std::string& bytes, const std::string& label) {
  iconv_t cd = ::iconv_open("UTF-8", label.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string in = bytes, out(bytes.size() * 4 + 16, '\0');
  char* inp = in.data();
  char* outp = out.data();
  size_t inleft = in.size(), outleft = out.size();
  const size_t rc = ::iconv(cd, &inp, &inleft, &outp, &outleft);
  ::iconv_close(cd);
  if (rc == static_cast<size_t>(-1) || inleft != 0) return std::nullopt;
  out.resize(out.size() - outleft);
  return out;
}

}  // namespace quirada::testing
