// For tests: collects what the process writes to standard error (file descriptor 2) while it lives.
#pragma once

#include <stdio.h>
#include <unistd.h>

#include <string>

namespace quirada {

class StderrCapture {
 public:
  StderrCapture() : saved_(::dup(STDERR_FILENO)), file_(::tmpfile()) {
    ::fflush(stderr);
    ::dup2(::fileno(file_), STDERR_FILENO);
  }
  ~StderrCapture() { Finish(); }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Restores standard error and returns what was written meanwhile.
  std::string Finish() {
    if (saved_ < 0) return text_;
    ::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    saved_ = -1;
    ::rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = ::fread(buf, 1, sizeof buf, file_)) > 0) text_.append(buf, n);
    ::fclose(file_);
    return text_;
  }

 private:
  int saved_;
  FILE* file_;
  std::string text_;
};

}  // namespace quirada
