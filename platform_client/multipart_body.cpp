#include "platform_client/multipart_body.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/errors.h"

namespace quirada {

std::string MultipartBoundary(TDateTime now) {
  const DateTimeParts p = DecodeDateTime(now);
  char digits[32];
  std::snprintf(digits, sizeof digits, "%02d%02d%02d%02d%02d%02d%03d", p.month, p.day, p.year % 100,
                p.hour, p.minute, p.second, p.millisecond);
  return std::string("--------") + digits;
}

std::string FilenameParameter(const std::string& file_name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : file_name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || c == '"') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += ch;
    }
  }
  return out;
}

MultipartUploadBody::MultipartUploadBody(const std::string& path, const std::string& file_name,
                                         TDateTime now)
    : MultipartUploadBody(File::OpenForReading(path), {}, 0, file_name, now) {}

MultipartUploadBody::MultipartUploadBody(std::string_view bytes, const std::string& file_name,
                                         TDateTime now)
    : MultipartUploadBody(std::nullopt, bytes, bytes.size(), file_name, now) {}

MultipartUploadBody::MultipartUploadBody(std::optional<File> file, std::string_view bytes,
                                         uint64_t size, const std::string& file_name, TDateTime now)
    : file_(std::move(file)),
      bytes_(bytes),
      boundary_(MultipartBoundary(now)),
      file_size_(file_ ? file_->Info().size : size) {

  head_ = "--" + boundary_ + "\r\n" +
          "Content-Disposition: form-data; name=\"file[]\"; filename=\"" +
          FilenameParameter(file_name) + "\"\r\n" +
          "Content-Type: application/xml\r\n"
          "Content-Transfer-Encoding: binary\r\n"
          "\r\n";
  tail_ = "\r\n--" + boundary_ + "\r\n" +
          "Content-Disposition: form-data; name=\"query\"\r\n"
          "Content-Type: application/json; charset=\"UTF-8\"\r\n"
          "Content-Transfer-Encoding: quoted-printable\r\n"
          "\r\n"
          "{\"boxe/File\": true}\r\n"
          "--" + boundary_ + "--\r\n";
}

std::string MultipartUploadBody::ContentType() const {
  return "multipart/form-data; boundary=" + boundary_;
}

uint64_t MultipartUploadBody::Size() const { return head_.size() + file_size_ + tail_.size(); }

size_t MultipartUploadBody::Read(char* buffer, size_t max) {
  size_t copied = 0;
  while (copied < max && pos_ < Size()) {
    if (pos_ < head_.size()) {
      const size_t n = std::min<uint64_t>(max - copied, head_.size() - pos_);
      std::memcpy(buffer + copied, head_.data() + pos_, n);
      copied += n;
      pos_ += n;
    } else if (pos_ < head_.size() + file_size_) {
      const uint64_t left = head_.size() + file_size_ - pos_;
      const size_t wanted = std::min<uint64_t>(max - copied, left);
      size_t n = 0;
      if (file_) {
        n = file_->Read(buffer + copied, wanted);
        if (n == 0) throw Exception("The file \"" + file_->path() + "\" shrank while it was being sent");
      } else {
        n = wanted;
        std::memcpy(buffer + copied, bytes_.data() + (pos_ - head_.size()), n);
      }
      copied += n;
      pos_ += n;
    } else {
      const size_t at = pos_ - head_.size() - file_size_;
      const size_t n = std::min<uint64_t>(max - copied, tail_.size() - at);
      std::memcpy(buffer + copied, tail_.data() + at, n);
      copied += n;
      pos_ += n;
    }
  }
  return copied;
}

}  // namespace quirada
