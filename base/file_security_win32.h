// For the Windows side of the base only: the access rules (DACLs) of the program's files and
// folders. Who is trusted with them, who else a DACL lets write or read them, and the protected
// DACL every file the program creates gets.
//
// Trusted accounts: SYSTEM, the Administrators, TrustedInstaller, the owner of the system folder
// (TrustedInstaller on Windows; under Wine the one Wine user, who runs every process there, a
// LocalSystem service included, and owns every file) and the service's account
// (SetServiceAccount, folder_trust.h).
#pragma once

#include <windows.h>

#include "base/win32_handle_win32.h"

#include <optional>
#include <string>
#include <vector>

namespace quirada {

// A SID in a buffer of its own.
using Sid = std::vector<unsigned char>;
Sid CopyOfSid(PSID sid);

// "S-1-5-32-545".
std::string SidText(PSID sid);
// "BUILTIN\Users (S-1-5-32-545)", or the SID alone when the system knows no name for it.
std::string AccountText(PSID sid);

bool IsTrustedSid(PSID sid);

// The service's account (SetServiceAccount); empty when none was told.
Sid ServiceAccountSid();

// The owner and the DACL of an open handle (opened with READ_CONTROL).
struct HandleSecurity {
  PSID owner = nullptr;
  bool dacl_present = false;  // false: no DACL at all, anyone may do anything
  PACL dacl = nullptr;
  LocalBuffer<PSECURITY_DESCRIPTOR> descriptor;
};
// Nothing when the rules cannot be read; `error` then receives the system's error code.
std::optional<HandleSecurity> ReadSecurity(HANDLE handle, DWORD* error);

// The accounts that are not trusted and that `security`'s DACL grants any of `rights` on the
// object itself (ACEs only inherited by what the object holds do not count); Everyone for an
// object without a DACL.
std::vector<Sid> UntrustedGrantees(const HandleSecurity& security, ACCESS_MASK rights);

// The security attributes of a new file: a protected DACL (nothing inherited from its folder)
// granting full access to SYSTEM, the Administrators, the service's account and, when this process
// runs as none of them and not as an elevated administrator (a person running the program for
// themself), its own account. Neither copied nor moved: the attributes point into the object.
class PrivateFileSecurity {
 public:
  PrivateFileSecurity();
  PrivateFileSecurity(const PrivateFileSecurity&) = delete;
  PrivateFileSecurity& operator=(const PrivateFileSecurity&) = delete;

  SECURITY_ATTRIBUTES* attributes() { return &attributes_; }
  PACL dacl() { return reinterpret_cast<PACL>(acl_.data()); }

 private:
  std::vector<unsigned char> acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
};

// Gives the file open as `handle` (with WRITE_DAC) the DACL of a new file; returns the system's
// error code, 0 on success.
DWORD MakePrivate(HANDLE handle);

}  // namespace quirada
