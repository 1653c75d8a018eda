// Small helpers that tests, benches and the local platform share: whole files, the message of a
// failure, SHA-256.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace quirada::testing {

// Reads a whole file; "" when it does not exist or cannot be read.
std::string ReadFileBytes(const std::filesystem::path& path);

// Creates or replaces a file with exactly `bytes`.
void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes);

// The message of the std::exception that `f` raises, or "no failure".
std::string FailureOf(const std::function<void()>& f);

// A new empty folder under the system's temporary directory (ending with '/'), removed with its
// content when the object goes away.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// SHA-256 of `bytes` in lower-case hex, as the local platform's journal writes it.
std::string Sha256Hex(std::string_view bytes);

}  // namespace quirada::testing
