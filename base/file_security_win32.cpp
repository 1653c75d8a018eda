#include "base/file_security_win32.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <mutex>

#include "base/folder_trust.h"
#include "base/text_win32.h"

namespace quirada {
namespace {

// NT SERVICE\TrustedInstaller, which owns the system's own files.
constexpr wchar_t kTrustedInstaller[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

Sid WellKnown(WELL_KNOWN_SID_TYPE type) {
  Sid sid(SECURITY_MAX_SID_SIZE);
  DWORD size = static_cast<DWORD>(sid.size());
  if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
  sid.resize(size);
  return sid;
}

Sid FromText(const wchar_t* text) {
  LocalBuffer<PSID> sid;
  if (!ConvertStringSidToSidW(text, sid.put())) return {};
  return CopyOfSid(sid.get());
}

// The owner of the system folder (C:\Windows\System32).
Sid SystemFolderOwner() {
  wchar_t folder[MAX_PATH];
  const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  PSID owner = nullptr;
  LocalBuffer<PSECURITY_DESCRIPTOR> descriptor;
  if (GetNamedSecurityInfoW(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                            nullptr, nullptr, descriptor.put()) != ERROR_SUCCESS)
    return {};
  return owner != nullptr && IsValidSid(owner) ? CopyOfSid(owner) : Sid{};
}

// The accounts trusted whatever the service's account.
const std::vector<Sid>& FixedTrusted() {
  static const std::vector<Sid> sids = [] {
    std::vector<Sid> all = {WellKnown(WinLocalSystemSid), WellKnown(WinBuiltinAdministratorsSid),
                            FromText(kTrustedInstaller), SystemFolderOwner()};
    std::erase_if(all, [](const Sid& s) { return s.empty(); });
    return all;
  }();
  return sids;
}

std::mutex service_account_mutex;
Sid service_account;  // empty: the system's own account

bool Same(const Sid& a, PSID b) { return !a.empty() && EqualSid(const_cast<unsigned char*>(a.data()), b); }

// The account this process runs as.
Sid ProcessUser() {
  UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> data(size);
  if (size == 0 || !GetTokenInformation(token.get(), TokenUser, data.data(), size, &size)) return {};
  return CopyOfSid(reinterpret_cast<TOKEN_USER*>(data.data())->User.Sid);
}

// Whether this process has the Administrators group enabled (an elevated administrator, SYSTEM).
bool ElevatedAdministrator() {
  Sid administrators = WellKnown(WinBuiltinAdministratorsSid);
  BOOL member = FALSE;
  return !administrators.empty() &&
         CheckTokenMembership(nullptr, administrators.data(), &member) && member;
}

PSID AceSid(ACE_HEADER* ace) {
  return &reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
}

}  // namespace

Sid CopyOfSid(PSID sid) {
  const auto* first = static_cast<const unsigned char*>(sid);
  return Sid(first, first + GetLengthSid(sid));
}

std::string SidText(PSID sid) {
  LocalBuffer<wchar_t*> text;
  if (!ConvertSidToStringSidW(sid, text.put())) return "?";
  return WideToUtf8(text.get());
}

std::string AccountText(PSID sid) {
  wchar_t name[256], domain[256];
  DWORD name_size = 256, domain_size = 256;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use))
    return SidText(sid);
  const std::string who = domain_size > 0 && domain[0] != L'\0'
                              ? WideToUtf8(domain) + "\\" + WideToUtf8(name)
                              : WideToUtf8(name);
  return who + " (" + SidText(sid) + ")";
}

Sid ServiceAccountSid() {
  std::lock_guard lock(service_account_mutex);
  return service_account;
}

bool IsTrustedSid(PSID sid) {
  for (const Sid& trusted : FixedTrusted())
    if (Same(trusted, sid)) return true;
  return Same(ServiceAccountSid(), sid);
}

void SetServiceAccount(const std::string& account) {
  Sid sid;
  std::wstring name = Utf8ToWide(account);
  if (name.rfind(L".\\", 0) == 0) name.erase(0, 2);  // the service manager's "this machine"
  if (name.empty()) {
    // The system's own account: trusted anyway.
  } else if (CompareStringOrdinal(name.c_str(), -1, L"LocalSystem", -1, TRUE) == CSTR_EQUAL) {
    sid = WellKnown(WinLocalSystemSid);
  } else {
    std::vector<unsigned char> buffer(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(buffer.size());
    wchar_t domain[256];
    DWORD domain_size = 256;
    SID_NAME_USE use;
    if (LookupAccountNameW(nullptr, name.c_str(), buffer.data(), &size, domain, &domain_size, &use))
      sid = CopyOfSid(buffer.data());
  }
  std::lock_guard lock(service_account_mutex);
  service_account = std::move(sid);
}

std::optional<HandleSecurity> ReadSecurity(HANDLE handle, DWORD* error) {
  HandleSecurity security;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD rc = GetSecurityInfo(handle, SE_FILE_OBJECT,
                                   OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                   &security.owner, nullptr, &security.dacl, nullptr, &descriptor);
  if (rc != ERROR_SUCCESS) {
    if (error != nullptr) *error = rc;
    return std::nullopt;
  }
  security.descriptor.reset(descriptor);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  security.dacl_present = present && dacl != nullptr;
  return security;
}

std::vector<Sid> UntrustedGrantees(const HandleSecurity& security, ACCESS_MASK rights) {
  std::vector<Sid> found;
  if (!security.dacl_present) {
    found.push_back(WellKnown(WinWorldSid));
    return found;
  }
  // OWNER RIGHTS stands for the owner, who is judged as the owner.
  const Sid owner_rights = WellKnown(WinCreatorOwnerRightsSid);
  for (DWORD i = 0; i < security.dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(security.dacl, i, &entry)) continue;
    auto* ace = static_cast<ACE_HEADER*>(entry);
    if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE && ace->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE)
      continue;
    if ((ace->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    if ((reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask & rights) == 0) continue;
    const PSID sid = AceSid(ace);
    if (IsTrustedSid(sid) || Same(owner_rights, sid)) continue;
    if (std::none_of(found.begin(), found.end(), [&](const Sid& s) { return Same(s, sid); }))
      found.push_back(CopyOfSid(sid));
  }
  return found;
}

PrivateFileSecurity::PrivateFileSecurity() {
  std::vector<Sid> grantees = {WellKnown(WinLocalSystemSid), WellKnown(WinBuiltinAdministratorsSid),
                               ServiceAccountSid()};
  if (!ElevatedAdministrator()) grantees.push_back(ProcessUser());
  std::vector<Sid> unique;
  for (Sid& sid : grantees) {
    if (sid.empty()) continue;
    if (std::none_of(unique.begin(), unique.end(), [&](const Sid& s) { return Same(s, sid.data()); }))
      unique.push_back(std::move(sid));
  }
  DWORD size = sizeof(ACL);
  for (const Sid& sid : unique)
    size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + static_cast<DWORD>(sid.size());
  acl_.assign(size, 0);
  InitializeAcl(dacl(), size, ACL_REVISION);
  for (Sid& sid : unique) AddAccessAllowedAce(dacl(), ACL_REVISION, FILE_ALL_ACCESS, sid.data());
  InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor_, TRUE, dacl(), FALSE);
  SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  attributes_.nLength = sizeof attributes_;
  attributes_.lpSecurityDescriptor = &descriptor_;
  attributes_.bInheritHandle = FALSE;
}

DWORD MakePrivate(HANDLE handle) {
  PrivateFileSecurity security;
  return SetSecurityInfo(handle, SE_FILE_OBJECT,
                         DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                         nullptr, security.dacl(), nullptr);
}

}  // namespace quirada
