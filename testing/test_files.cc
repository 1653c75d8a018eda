#include "testing/test_files.h"

#include <openssl/evp.h>

#include <atomic>
#include <exception>
#include <fstream>
#include <random>
#include <sstream>

#include "base/errors.h"
#include "base/platform.h"

namespace quirada::testing {

std::string ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string FailureOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no failure";
}

std::string Sha256Hex(std::string_view bytes) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_sha256(), nullptr);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < len; ++i) {
    out += hex[md[i] >> 4];
    out += hex[md[i] & 15];
  }
  return out;
}

TempFolder::TempFolder() {
  static std::atomic<int> counter{0};
  std::random_device random;
  for (;;) {
    const std::string candidate = TempDir() + "quirada-test-" + std::to_string(CurrentProcessId()) + "-" +
                                  std::to_string(counter++) + "-" + std::to_string(random() % 1000000);
    std::error_code ec;
    if (std::filesystem::create_directory(candidate, ec)) {
      // Whatever the umask: no one but its owner may change it (the program refuses a folder of
      // its own, or one its log leads to, that others may change).
      std::filesystem::permissions(candidate, std::filesystem::perms(0755), ec);
      path_ = candidate + "/";
      return;
    }
    if (ec) throw Exception("Não foi possível criar " + candidate + ": " + ec.message());
  }
}

TempFolder::~TempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace quirada::testing
