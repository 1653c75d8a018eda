// Helpers shared by the fuzz targets: a check that turns a broken promise of a parser into a crash
// that libFuzzer records (with the input that caused it), and a scratch file for parsers that read
// files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quirada::fuzz {

// Prints `what` and aborts when `ok` is false.
void Check(bool ok, std::string_view what);
#define QUIRADA_FUZZ_CHECK(cond) ::quirada::fuzz::Check((cond), #cond)

// A file of its own in the temporary directory ($TMPDIR or /tmp), removed when the process ends
// normally. Write replaces the whole content.
class ScratchFile {
 public:
  explicit ScratchFile(const char* stem);
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const std::string& path() const { return path_; }
  void Write(std::string_view bytes) const;

 private:
  std::string path_;
};

inline std::string_view AsText(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace quirada::fuzz
