// Installing and removing the service with the real service control manager (Wine's under the
// cross-build; on Windows the test must run elevated). The test registers "SrvQuirada" itself and
// removes it again; it refuses to start when a "SrvQuirada" is already registered.
#include "service/install.h"

#include <windows.h>

#include <memory>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "base/text_win32.h"
#include "testing/system_text_win32.h"

namespace quirada {
namespace {

struct ScHandleCloser {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScHandleCloser>;

using testing::WindowsSystemText;

// The service's registration as the SCM keeps it; nothing when it is not registered.
struct Registration {
  DWORD type = 0, start = 0, error_control = 0, tag = 0;
  std::wstring binary_path, group, dependencies, account, display_name;
};

std::unique_ptr<Registration> Registered() {
  const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return nullptr;
  const ScHandle service(OpenServiceW(manager.get(), L"SrvQuirada", SERVICE_QUERY_CONFIG));
  if (!service) return nullptr;
  DWORD needed = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  std::vector<unsigned char> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service.get(), config, needed, &needed)) {
    ADD_FAILURE() << "QueryServiceConfigW failed with error " << GetLastError();
    return nullptr;
  }
  auto text = [](const wchar_t* s) { return std::wstring(s ? s : L""); };
  auto r = std::make_unique<Registration>();
  r->type = config->dwServiceType;
  r->start = config->dwStartType;
  r->error_control = config->dwErrorControl;
  r->tag = config->dwTagId;
  r->binary_path = text(config->lpBinaryPathName);
  r->group = text(config->lpLoadOrderGroup);
  r->dependencies = text(config->lpDependencies);
  r->account = text(config->lpServiceStartName);
  r->display_name = text(config->lpDisplayName);
  return r;
}

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Registered(), nullptr)
        << "a service SrvQuirada is registered already; remove it before running this test";
    ours_ = true;
  }
  // Removes what the test registered; never a service that was there before it.
  void TearDown() override {
    std::ostringstream out, err;
    if (ours_ && Registered() != nullptr) UninstallService(true, out, err);
  }

 private:
  bool ours_ = false;
};

TEST_F(InstallTest, RegistersTheServiceAsTheSystemRunsItAndRemovesIt) {
  std::ostringstream out, err;
  ASSERT_EQ(InstallServiceFor("C:\\Program Files\\Quirada Contabil\\QuiradaContabil.exe", false,
                              out, err),
            0)
      << err.str();
  EXPECT_EQ(out.str(), "Serviço instalado com sucesso\n");
  EXPECT_EQ(err.str(), "");

  const auto r = Registered();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(r->start, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(r->error_control, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(r->binary_path, L"\"C:\\Program Files\\Quirada Contabil\\QuiradaContabil.exe\"");
  EXPECT_EQ(r->display_name, L"Quirada");
  EXPECT_EQ(r->account, L"LocalSystem");
  EXPECT_EQ(r->group, L"");
  EXPECT_EQ(r->dependencies, L"");
  EXPECT_EQ(r->tag, 0u);

  out.str("");
  ASSERT_EQ(UninstallService(false, out, err), 0);
  EXPECT_EQ(out.str(), "Serviço desinstalado com sucesso\n");
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(Registered(), nullptr);
}

TEST_F(InstallTest, APathWithoutBlanksIsNotQuoted) {
  std::ostringstream out, err;
  ASSERT_EQ(InstallServiceFor("C:\\Quirada\\QuiradaContabil.exe", true, out, err), 0) << err.str();
  const auto r = Registered();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->binary_path, L"C:\\Quirada\\QuiradaContabil.exe");
  EXPECT_EQ(out.str() + err.str(), "");
}

TEST_F(InstallTest, InstallingTwiceAndRemovingTwiceFailWithTheSystemsText) {
  std::ostringstream out, err;
  ASSERT_EQ(InstallServiceFor("C:\\Quirada\\QuiradaContabil.exe", false, out, err), 0) << err.str();
  out.str("");
  EXPECT_EQ(InstallServiceFor("C:\\Outra\\QuiradaContabil.exe", false, out, err), 1);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(), "Falha ao instalar o serviço \"SrvQuirada\" com erro: \"" +
                           WindowsSystemText(ERROR_SERVICE_EXISTS) + "\"\n");
  const auto r = Registered();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->binary_path, L"C:\\Quirada\\QuiradaContabil.exe");  // the first one's, untouched

  // Silent: the status alone tells.
  err.str("");
  EXPECT_EQ(InstallServiceFor("C:\\Outra\\QuiradaContabil.exe", true, out, err), 1);
  EXPECT_EQ(err.str(), "");

  ASSERT_EQ(UninstallService(true, out, err), 0);
  EXPECT_EQ(out.str() + err.str(), "");
  EXPECT_EQ(UninstallService(false, out, err), 1);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(), "Falha ao desinstalar o serviço \"SrvQuirada\" com erro: \"" +
                           WindowsSystemText(ERROR_SERVICE_DOES_NOT_EXIST) + "\"\n");
  err.str("");
  EXPECT_EQ(UninstallService(true, out, err), 1);
  EXPECT_EQ(err.str(), "");
}

}  // namespace
}  // namespace quirada
