// Messages of the input/output failures of the platform client's files (token file, upload log).
//
// A failing system call is reported by a name of its error number: "File not found", "File access denied", "Disk full", "Too many open files",
// "Invalid filename", and "I/O error <number>" for every other number. The number is the errno of
// this machine.
#pragma once

#include <string>

namespace quirada {

std::string InOutErrorMessage(int error_number);

// Raises Exception with InOutErrorMessage(error_number).
[[noreturn]] void ThrowInOutError(int error_number);

}  // namespace quirada
