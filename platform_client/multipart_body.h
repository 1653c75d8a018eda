// The body of a batch upload: a multipart form with the XML file and a fixed JSON query, streamed
// while it is sent from the open file (never loaded whole), or from the document's bytes in memory.
//
// Layout, every line ended by CR LF (B is the boundary):
//   --B
//   Content-Disposition: form-data; name="file[]"; filename="<file name>"
//   Content-Type: application/xml
//   Content-Transfer-Encoding: binary
//   <empty line>
//   <the file's bytes as stored>
//   --B
//   Content-Disposition: form-data; name="query"
//   Content-Type: application/json; charset="UTF-8"
//   Content-Transfer-Encoding: quoted-printable
//   <empty line>
//   {"boxe/File": true}
//   --B--
//
// The boundary is eight hyphens and fifteen digits from the local clock when the body is made:
// month, day, two-digit year, hour, minute, second (two digits each) and millisecond (three).
// The file is opened when the body is made and stays open until the body is destroyed; the size
// is taken then, and a file that shrinks while it is sent fails the transfer. Bytes given in memory
// must outlive the body.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/datetime.h"
#include "base/file_io.h"
#include "platform_client/http_client.h"

namespace quirada {

// "--------" followed by MMDDYYHHNNSSZZZ of `now`.
std::string MultipartBoundary(TDateTime now);

// The file name as it goes into the filename parameter: control characters and double quotes,
// which would break the part's header line, are written as "%" and two hexadecimal digits.
std::string FilenameParameter(const std::string& file_name);

class MultipartUploadBody : public HttpBodySource {
 public:
  // Opens `path` for reading. Raises Exception "Cannot open file "<path>". <system error text>"
  // when it cannot be opened.
  MultipartUploadBody(const std::string& path, const std::string& file_name, TDateTime now);
  // The file's bytes from memory: `bytes`, under `file_name`.
  MultipartUploadBody(std::string_view bytes, const std::string& file_name, TDateTime now);
  MultipartUploadBody(const MultipartUploadBody&) = delete;
  MultipartUploadBody& operator=(const MultipartUploadBody&) = delete;

  const std::string& boundary() const { return boundary_; }
  // "multipart/form-data; boundary=<B>".
  std::string ContentType() const;

  uint64_t Size() const override;
  size_t Read(char* buffer, size_t max) override;

 private:
  MultipartUploadBody(std::optional<File> file, std::string_view bytes, uint64_t size,
                      const std::string& file_name, TDateTime now);

  std::optional<File> file_;  // the file streamed, or none for bytes in memory
  std::string_view bytes_;
  std::string boundary_;
  std::string head_;  // from the first delimiter to the file's bytes
  std::string tail_;  // from the CR LF after the file's bytes to the closing delimiter
  uint64_t file_size_ = 0;
  uint64_t pos_ = 0;
};

}  // namespace quirada
