// The access rules of the program's files and folders on Windows, against the real system (Wine's
// under the cross-build, where a DACL is what the Unix mode gives: the owner, SYSTEM, and Everyone
// for the bits of others; a DACL set is kept as the mode it maps to).
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// <windows.h> names ReplaceFile as a macro of its own; the file interface's is meant here.
#undef ReplaceFile

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/file_io.h"
#include "base/file_lock.h"
#include "base/file_security_win32.h"
#include "base/folder_trust.h"
#include "base/platform.h"
#include "base/text_win32.h"
#include "testing/test_files.h"
#include "testing/under_wine_win32.h"

namespace quirada {
namespace {

namespace fs = std::filesystem;
using testing::WriteFileBytes;

constexpr char kEveryone[] = "S-1-1-0";

// Gives `path` the DACL of `sddl` ("D:P(A;;FA;;;WD)..."), nothing inherited.
void SetRules(const fs::path& path, const wchar_t* sddl) {
  LocalBuffer<PSECURITY_DESCRIPTOR> descriptor;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                   descriptor.put(), nullptr));
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted));
  ASSERT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(path.wstring().c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, dacl, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS));
}

// Every account the DACL of `path` grants something on the file itself (with `write_only`, more
// than reading), as "S-1-..." texts.
std::vector<std::string> Grantees(const fs::path& path, bool write_only = false) {
  LocalBuffer<PSECURITY_DESCRIPTOR> descriptor;
  PACL dacl = nullptr;
  EXPECT_EQ(GetNamedSecurityInfoW(path.wstring().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, &dacl, nullptr, descriptor.put()),
            static_cast<DWORD>(ERROR_SUCCESS));
  std::vector<std::string> sids;
  if (dacl == nullptr) return {kEveryone};
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) continue;
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || (ace->Header.AceFlags & INHERIT_ONLY_ACE))
      continue;
    const ACCESS_MASK reading = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
    if ((write_only ? ace->Mask & ~reading : ace->Mask) != 0) sids.push_back(SidText(&ace->SidStart));
  }
  return sids;
}

// Whether every account `path`'s DACL grants anything (or, with `write_only`, anything but reading)
// to is a trusted one.
bool OnlyTrustedMayOpen(const fs::path& path, bool write_only = false) {
  for (const std::string& text : Grantees(path, write_only)) {
    LocalBuffer<PSID> sid;
    if (!ConvertStringSidToSidW(Utf8ToWide(text).c_str(), sid.put())) return false;
    if (!IsTrustedSid(sid.get())) return false;
  }
  return true;
}

class FileSecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("quirada-security-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    // The folder's own rules: the program's, as an installation under Program Files has them.
    SetRules(dir_, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
  }
  void TearDown() override {
    SetRules(dir_, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)");
    fs::remove_all(dir_);
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Folder() const { return dir_.string() + "\\"; }

  fs::path dir_;
};

// Every file the program makes (the token by a rename, the log by appending, an XML file new, the
// lock) is open to no one but the trusted accounts, even in a folder that lets everyone read what
// it holds; a file made there the ordinary way is not, so the check tells them apart.
TEST_F(FileSecurityTest, TheFilesTheProgramCreatesAreOpenToTheTrustedAccountsOnly) {
  SetRules(dir_, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)");
  UniqueHandle plain(CreateFileW(Utf8ToWide(Path("comum.txt")).c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_NEW, 0, nullptr));
  ASSERT_TRUE(plain);
  plain.reset();
  ASSERT_FALSE(OnlyTrustedMayOpen(Path("comum.txt"))) << "the folder's rules let everyone read";

  ReplaceFile(Path("token.dm"), "access_token=x\r\n", 0600);
  AppendToFile(Path("QuiradaContabil.log"), "linha\r\n", 0640);
  File::CreateNew(Path("35250398765432000110550010000000011000000153.xml"), 0600).Close();
  std::string holder;
  const auto lock = FileLock::TryAcquire(Path("QuiradaContabil.lock"), &holder);
  ASSERT_TRUE(lock.has_value());
  for (const char* name : {"token.dm", "QuiradaContabil.log",
                           "35250398765432000110550010000000011000000153.xml",
                           "QuiradaContabil.lock"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(OnlyTrustedMayOpen(Path(name)));
    EXPECT_FALSE(OthersMayRead(Path(name)).has_value());
  }
}

// A lock anyone may open is a lock anyone may hold: an older one with wider rules is narrowed.
// (Wine, which keeps a file's rules as its Unix mode, takes the write bits of others away but
// leaves their read bit: there only the write is shown gone.)
TEST_F(FileSecurityTest, ALockOthersMayOpenIsNarrowed) {
  WriteFileBytes(dir_ / "QuiradaContabil.lock", "");
  SetRules(dir_ / "QuiradaContabil.lock", L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;WD)");
  const bool write_only = testing::UnderWine();
  ASSERT_FALSE(OnlyTrustedMayOpen(dir_ / "QuiradaContabil.lock", write_only));
  std::string holder;
  ASSERT_TRUE(FileLock::TryAcquire(Path("QuiradaContabil.lock"), &holder).has_value());
  EXPECT_TRUE(OnlyTrustedMayOpen(dir_ / "QuiradaContabil.lock", write_only));
}

// A folder everyone may write, one above that lets everyone take away what it holds, or a file of
// the folder others may write, make it untrusted, each named with who may and the icacls that
// mends it; the same folder left to the trusted accounts is trusted.
TEST_F(FileSecurityTest, WhoMayWriteTheFolderItsFilesOrWhatIsAboveDecidesTrust) {
  const fs::path folder = dir_ / "Quirada Contabil";
  fs::create_directories(folder);
  WriteFileBytes(folder / "Morvant.ini", "[Morvant]\r\n");
  const std::vector<TrustedFileName> files = {{"Morvant.ini", true}, {"QuiradaContabil.log", true}};
  const std::string path = folder.string();
  const std::string ini = (folder / "Morvant.ini").string();
  const struct {
    const char* what;
    const wchar_t* above;   // the rules of dir_
    const wchar_t* folder;  // of the folder itself
    const wchar_t* file;    // of Morvant.ini
    std::string untrusted;  // the path named, "" when trusted
    std::string who;        // a piece of its why
    std::string mend;       // a piece of its mend
  } cases[] = {
      {"left to the trusted accounts", L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)",
       L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)", L"D:P(A;;FA;;;SY)(A;;FA;;;BA)",
       "", "", ""},
      {"a folder everyone may write", L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
       L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)", L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", path,
       "(S-1-1-0) pode gravar nela", "icacls \"" + path + "\" /inheritance:d && icacls \"" + path +
                                         "\" /remove:g *S-1-1-0"},
      {"a file everyone may write", L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
       L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;WD)", ini,
       "(S-1-1-0) pode gravar nele", "/remove:g *S-1-1-0"},
      {"a folder above that lets everyone take what it holds",
       L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;FA;;;WD)", L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
       L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", dir_.string(),
       "(S-1-1-0) pode apagar ou renomear o que ela guarda", "C:\\Program Files\\Quirada Contabil"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetRules(dir_, c.above);
    SetRules(folder, c.folder);
    SetRules(folder / "Morvant.ini", c.file);
    const std::vector<UntrustedPath> found = FindUntrustedPaths(path + "\\", files);
    if (c.untrusted.empty()) {
      EXPECT_TRUE(found.empty()) << found.front().path << ": " << found.front().why;
      continue;
    }
    bool named = false;
    for (const UntrustedPath& u : found) {
      if (u.path != c.untrusted) continue;
      named = true;
      EXPECT_NE(u.why.find(c.who), std::string::npos) << u.why;
      EXPECT_NE(u.mend.find(c.mend), std::string::npos) << u.mend;
    }
    EXPECT_TRUE(named) << "nothing said of " << c.untrusted << "; found " << found.size();
  }
  SetRules(dir_, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
}

// The folder judged is held: its own files are made, replaced and locked in it all the same (the
// entries are held sharing reading and writing), while no one renames it or a folder above it
// (they are held without FILE_SHARE_DELETE); once let go, it may be renamed again.
TEST_F(FileSecurityTest, TheFolderJudgedIsHeldAgainstRenamesWhileItIsUsed) {
  const fs::path folder = dir_ / "svc";
  fs::create_directory(folder);
  const fs::path moved = dir_ / "svc-movida";
  {
    const JudgedFolder judged = OpenJudgedFolder(folder.string(), {{"QuiradaContabil.log", true}});
    ASSERT_TRUE(judged.folder.IsOpen()) << judged.unreached;
    EXPECT_TRUE(judged.untrusted.empty()) << judged.untrusted.front().path << ": " << judged.untrusted.front().why;
    EXPECT_EQ(judged.folder.Path(), folder.string() + "\\");
    const HeldFolder& held = judged.folder;
    AppendToFile(held.Reach("QuiradaContabil.log"), "linha\r\n", 0640);
    ReplaceFile(held.Reach("QuiradaContabil.ciclo"), "fim\n", 0600);
    ReplaceFile(held.Reach("QuiradaContabil.ciclo"), "fim de novo\n", 0600);
    std::string holder;
    EXPECT_TRUE(FileLock::TryAcquire(held.Reach("QuiradaContabil.lock"), &holder).has_value());
    EXPECT_EQ(testing::ReadFileBytes(folder / "QuiradaContabil.ciclo"), "fim de novo\n");

    // Wine lets an open folder be renamed whatever its sharing (a folder is a Unix directory to
    // it): only Windows can show the refusal.
    if (!testing::UnderWine()) {
      EXPECT_FALSE(MoveFileExW(folder.wstring().c_str(), moved.wstring().c_str(), 0))
          << "the folder held was renamed";
      const fs::path above_moved = dir_.string() + "-movida";
      EXPECT_FALSE(MoveFileExW(dir_.wstring().c_str(), above_moved.wstring().c_str(), 0))
          << "a folder above the one held was renamed";
    }
  }
  EXPECT_TRUE(MoveFileExW(folder.wstring().c_str(), moved.wstring().c_str(), 0)) << GetLastError();
  EXPECT_TRUE(fs::exists(moved / "QuiradaContabil.log"));
}

// The INI's password warning reads its DACL: others who may read it are named with the icacls
// that leaves it to the system and the administrators.
TEST_F(FileSecurityTest, WhoElseMayReadAFileComesFromItsRules) {
  WriteFileBytes(dir_ / "Morvant.ini", "[Morvant]\r\nSenha=x\r\n");
  SetRules(dir_ / "Morvant.ini", L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;WD)");
  const auto readers = OthersMayRead(Path("Morvant.ini"));
  ASSERT_TRUE(readers.has_value());
  EXPECT_NE(readers->why.find("(S-1-1-0) pode lê-lo"), std::string::npos) << readers->why;
  EXPECT_EQ(readers->mend.rfind("icacls \"" + Path("Morvant.ini") +
                                    "\" /inheritance:r /grant:r *S-1-5-18:F *S-1-5-32-544:F",
                                0),
            0u)
      << readers->mend;
  ReplaceFile(Path("Morvant.ini"), "[Morvant]\r\nSenha=x\r\n", 0600);  // a file of the program's own
  EXPECT_FALSE(OthersMayRead(Path("Morvant.ini")).has_value());
}

}  // namespace
}  // namespace quirada
