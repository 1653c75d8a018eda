// Installing and removing the service with the real service control manager (Wine's under the
// cross-build; on Windows the test must run elevated). The test registers "SrvQuirada" itself and
// removes it again; it refuses to start when a "SrvQuirada" is already registered.
#include "service/install.h"

#include <windows.h>

#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "base/text_win32.h"
#include "base/win32_handle_win32.h"
#include "testing/system_text_win32.h"

namespace quirada {
namespace {

using ScHandle = UniqueServiceHandle;

using testing::WindowsSystemText;

// The service's registration as the SCM keeps it; nothing when it is not registered.
struct Registration {
  DWORD type = 0, start = 0, error_control = 0, tag = 0;
  std::wstring binary_path, group, dependencies, account, display_name;
};

std::unique_ptr<Registration> Registered(const wchar_t* name = L"SrvQuirada") {
  const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return nullptr;
  const ScHandle service(OpenServiceW(manager.get(), name, SERVICE_QUERY_CONFIG));
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

// One of the service's QueryServiceConfig2W records; nothing when the service manager does not
// tell it.
template <typename T>
std::optional<T> Config2(DWORD level) {
  const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const ScHandle service(OpenServiceW(manager.get(), L"SrvQuirada", SERVICE_QUERY_CONFIG));
  if (!service) return std::nullopt;
  std::vector<unsigned char> buffer(8192);
  DWORD needed = 0;
  if (!QueryServiceConfig2W(service.get(), level, buffer.data(), static_cast<DWORD>(buffer.size()),
                            &needed))
    return std::nullopt;
  T value;
  std::memcpy(&value, buffer.data(), sizeof value);
  return value;
}

// The recovery actions, kept in `buffer`; nullptr when the service manager does not tell them.
const SERVICE_FAILURE_ACTIONSW* FailureActions(std::vector<unsigned char>& buffer) {
  const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const ScHandle service(OpenServiceW(manager.get(), L"SrvQuirada", SERVICE_QUERY_CONFIG));
  DWORD needed = 0;
  if (!service) return nullptr;
  QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
  if (needed == 0) return nullptr;
  buffer.assign(needed, 0);
  if (!QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(), needed,
                            &needed))
    return nullptr;
  return reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data());
}

std::wstring Description() {
  const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const ScHandle service(OpenServiceW(manager.get(), L"SrvQuirada", SERVICE_QUERY_CONFIG));
  if (!service) return L"(not registered)";
  DWORD needed = 0;
  QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
  std::vector<unsigned char> buffer(needed + sizeof(SERVICE_DESCRIPTIONW));
  if (!QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, buffer.data(),
                            static_cast<DWORD>(buffer.size()), &needed))
    return L"(not told)";
  const auto* text = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer.data());
  return text->lpDescription ? text->lpDescription : L"";
}

// The file the event source "SrvQuirada" takes its messages from.
std::wstring EventMessageFile() {
  wchar_t value[MAX_PATH];
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_LOCAL_MACHINE,
                   L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\SrvQuirada",
                   L"EventMessageFile", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value,
                   &size) != ERROR_SUCCESS)
    return L"(no event source)";
  return value;
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
    if (ours_ && Registered() != nullptr) UninstallService("", true, out, err);
    for (const char* name : {"acme", "beta", "gama", "delta"}) {
      if (ours_ && Registered(Utf8ToWide(std::string("SrvQuirada$") + name).c_str()) != nullptr)
        UninstallService(name, true, out, err);
    }
  }

 private:
  bool ours_ = false;
};

// Named instances beside the unnamed one: each a service of its own, "SrvQuirada$<name>", whose path
// carries its folder and name; listed together; removed one by one, the shared event source going
// with the last.
TEST_F(InstallTest, NamedInstancesAreServicesOfTheirOwnListedAndRemovedOneByOne) {
  const std::string exe = "C:\\Quirada\\QuiradaContabil.exe";
  std::ostringstream out, err;
  ASSERT_EQ(InstallServiceFor(exe, {}, true, out, err), 0) << err.str();
  ASSERT_EQ(InstallServiceFor(exe, {"acme", "D:\\Empresas\\Acme Ltda\\"}, true, out, err), 0) << err.str();
  ASSERT_EQ(InstallServiceFor(exe, {"beta", "C:\\"}, true, out, err), 0) << err.str();

  const auto acme = Registered(L"SrvQuirada$acme");
  ASSERT_NE(acme, nullptr);
  EXPECT_EQ(acme->binary_path,
            L"C:\\Quirada\\QuiradaContabil.exe --pasta \"D:\\Empresas\\Acme Ltda\" --instancia acme");
  EXPECT_EQ(acme->display_name, L"Quirada (acme)");
  EXPECT_EQ(acme->start, static_cast<DWORD>(SERVICE_AUTO_START));
  const auto beta = Registered(L"SrvQuirada$beta");
  ASSERT_NE(beta, nullptr);
  EXPECT_EQ(beta->binary_path, L"C:\\Quirada\\QuiradaContabil.exe --pasta \"C:\\\\\" --instancia beta");

  const auto listed = [] {
    std::vector<std::string> lines;
    for (const TInstanciaRegistrada& i : RegisteredInstances()) lines.push_back(i.nome + "|" + i.servico + "|" + i.pasta);
    return lines;
  };
  EXPECT_EQ(listed(), (std::vector<std::string>{"|SrvQuirada|C:\\Quirada\\",
                                                "acme|SrvQuirada$acme|D:\\Empresas\\Acme Ltda\\",
                                                "beta|SrvQuirada$beta|C:\\"}));
  // The same executable for the same folder is an upgrade; for another folder, another program's.
  EXPECT_EQ(InstallServiceFor(exe, {"acme", "D:\\Empresas\\Acme Ltda"}, true, out, err), 0);
  EXPECT_EQ(InstallServiceFor(exe, {"acme", "D:\\Outra"}, true, out, err), 1);

  ASSERT_EQ(UninstallService("acme", true, out, err), 0);
  EXPECT_EQ(Registered(L"SrvQuirada$acme"), nullptr);
  EXPECT_NE(Registered(), nullptr);
  EXPECT_EQ(listed(), (std::vector<std::string>{"|SrvQuirada|C:\\Quirada\\", "beta|SrvQuirada$beta|C:\\"}));
  ASSERT_EQ(UninstallService("", true, out, err), 0);
  EXPECT_EQ(EventMessageFile(), Utf8ToWide(exe)) << "beta still needs the event source";
  ASSERT_EQ(UninstallService("beta", true, out, err), 0);
  EXPECT_EQ(EventMessageFile(), L"(no event source)");
}

// A named instance's folder reaches the service as it is written, or is refused with a sentence
// that names its character: the service control manager expands %NAME% in the executable path
// (it would run the service in another folder than the one installed, or never start it), and a
// control character is no part of a folder's name. Names are compared without regard to case, and
// a folder is served by one registration only.
TEST_F(InstallTest, AFolderReachesTheServiceAsWrittenOrIsRefusedNamingWhy) {
  const std::string exe = "C:\\Quirada\\QuiradaContabil.exe";
  std::string long_name;
  for (int i = 0; i < 25; ++i) long_name += "ação";
  const struct {
    std::string nome, pasta;
    std::string refused;  // a piece of the refusal; "" when registered
  } cases[] = {
      {"acme", "C:\\Q\\com espaço\\", ""},
      {"beta", "C:\\Q\\dol${HOME}x\\", ""},
      {"gama", "C:\\Q\\" + long_name + "\\" + long_name + "\\", ""},
      {"delta", "C:\\Q\\x%PROCESSOR_ARCHITECTURE%\\",
       "O caminho da pasta da instância tem o caractere %, depois de \"C:\\Q\\x\": o gerenciador de "
       "serviços do Windows expande %NOME% no caminho do serviço"},
      {"delta", "C:\\Q\\%WINDIR%\\",
       "O caminho da pasta da instância tem o caractere %, depois de \"C:\\Q\\\""},
      {"delta", "C:\\Q\\100%\\",
       "O caminho da pasta da instância tem o caractere %, depois de \"C:\\Q\\100\""},
      {"delta", "C:\\Q\\a\nb\\",
       "O caminho da pasta da instância tem o caractere de controle U+000A (quebra de linha), depois "
       "de \"C:\\Q\\a\""},
      {"ACME", "C:\\Q\\outra\\",
       "já existe a instância \"acme\" (serviço SrvQuirada$acme), e os nomes de instância não "
       "distinguem maiúsculas de minúsculas"},
      {"delta", "C:\\Q\\com espaço\\",
       "a pasta \"C:\\Q\\com espaço\\\" já é servida pela instância \"acme\" (serviço SrvQuirada$acme)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.nome + " " + c.pasta);
    std::ostringstream out, err;
    const int status = InstallServiceFor(exe, {c.nome, c.pasta}, false, out, err);
    const auto registered = Registered(Utf8ToWide("SrvQuirada$" + c.nome).c_str());
    if (c.refused.empty()) {
      ASSERT_EQ(status, 0) << err.str();
      ASSERT_NE(registered, nullptr);
      std::string pasta = c.pasta;
      pasta.pop_back();
      EXPECT_EQ(registered->binary_path, Utf8ToWide(exe + " --pasta \"" + pasta + "\" --instancia " + c.nome));
      continue;
    }
    EXPECT_EQ(status, 1);
    EXPECT_NE(err.str().find("Falha ao instalar o serviço \"SrvQuirada$" + c.nome + "\" com erro: \"" +
                             c.refused),
              std::string::npos) << err.str();
    if (c.nome == "delta") {
      EXPECT_EQ(registered, nullptr) << "no service left behind";
    }
  }
  for (const char* nome : {"beta", "gama"}) {
    std::ostringstream out, err;
    EXPECT_EQ(UninstallService(nome, true, out, err), 0) << nome;
  }
}

TEST_F(InstallTest, RegistersTheServiceAsTheSystemRunsItAndRemovesIt) {
  std::ostringstream out, err;
  ASSERT_EQ(InstallServiceFor("C:\\Program Files\\Quirada Contabil\\QuiradaContabil.exe", {}, false,
                              out, err),
            0)
      << err.str();
  const std::string told = out.str();
  EXPECT_EQ(told.rfind("Serviço instalado com sucesso\n", 0), 0u) << told;
  EXPECT_EQ(err.str(), "");
  // The description; the delayed start and the failure-status setting, or the warning that the
  // service manager refused them (Wine's has neither); the recovery actions where the service
  // manager tells them back (Wine's keeps none).
  EXPECT_EQ(Description(), L"Leva os XMLs fiscais (NF-e, NFC-e, CF-e SAT e cancelamentos) do banco "
                           L"Firebird do ERP para a plataforma contábil Quirada, por HTTPS.");
  const auto delayed = Config2<SERVICE_DELAYED_AUTO_START_INFO>(SERVICE_CONFIG_DELAYED_AUTO_START_INFO);
  if (delayed) {
    EXPECT_TRUE(delayed->fDelayedAutostart);
  } else {
    EXPECT_NE(told.find("\nAviso: o gerenciador de serviços não aceitou a partida automática atrasada"),
              std::string::npos) << told;
  }
  const auto flag = Config2<SERVICE_FAILURE_ACTIONS_FLAG>(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG);
  if (flag) {
    EXPECT_TRUE(flag->fFailureActionsOnNonCrashFailures);
  } else {
    EXPECT_NE(told.find("\nAviso: o gerenciador de serviços não aceitou que uma parada com estado "
                        "de falha conte para a recuperação"),
              std::string::npos) << told;
  }
  std::vector<unsigned char> failure_buffer;
  if (const auto* failure = FailureActions(failure_buffer)) {
    EXPECT_EQ(failure->dwResetPeriod, 86400u);
    ASSERT_EQ(failure->cActions, 3u);
    EXPECT_EQ(failure->lpsaActions[0].Type, SC_ACTION_RESTART);
    EXPECT_EQ(failure->lpsaActions[0].Delay, 60000u);
    EXPECT_EQ(failure->lpsaActions[1].Type, SC_ACTION_RESTART);
    EXPECT_EQ(failure->lpsaActions[1].Delay, 60000u);
    EXPECT_EQ(failure->lpsaActions[2].Type, SC_ACTION_NONE);
  }
  EXPECT_EQ(EventMessageFile(), L"C:\\Program Files\\Quirada Contabil\\QuiradaContabil.exe");

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
  ASSERT_EQ(UninstallService("", false, out, err), 0);
  EXPECT_EQ(out.str(), "Serviço desinstalado com sucesso\n");
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(Registered(), nullptr);
  EXPECT_EQ(EventMessageFile(), L"(no event source)");
}

// Installing the same program again is an upgrade: what the administrator changed in the
// registration stays (here the description and the start type), the event source follows.
TEST_F(InstallTest, InstallingTheSameProgramAgainKeepsTheRegistrationAsTheAdministratorLeftIt) {
  std::ostringstream out, err;
  ASSERT_EQ(InstallServiceFor("C:\\Quirada\\QuiradaContabil.exe", {}, true, out, err), 0) << err.str();
  {
    const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ScHandle service(OpenServiceW(manager.get(), L"SrvQuirada", SERVICE_CHANGE_CONFIG));
    ASSERT_TRUE(service);
    std::wstring custom = L"Descrição do administrador";
    SERVICE_DESCRIPTIONW text{custom.data()};
    ASSERT_TRUE(ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &text));
    ASSERT_TRUE(ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START,
                                     SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr));
  }
  ASSERT_EQ(InstallServiceFor("C:\\QUIRADA\\QuiradaContabil.exe", {}, false, out, err), 0) << err.str();
  EXPECT_EQ(out.str(), "Serviço já instalado para este programa: o registro (conta, início, recuperação, "
                       "descrição) foi mantido como está\n");
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(Description(), L"Descrição do administrador");
  const auto r = Registered();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->start, static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_EQ(EventMessageFile(), L"C:\\QUIRADA\\QuiradaContabil.exe");
}

TEST_F(InstallTest, APathWithoutBlanksIsNotQuoted) {
  std::ostringstream out, err;
  ASSERT_EQ(InstallServiceFor("C:\\Quirada\\QuiradaContabil.exe", {}, true, out, err), 0) << err.str();
  const auto r = Registered();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->binary_path, L"C:\\Quirada\\QuiradaContabil.exe");
  EXPECT_EQ(out.str() + err.str(), "");
}

TEST_F(InstallTest, InstallingTwiceFailsWithTheSystemsTextAndRemovingTwiceSaysItIsNotInstalled) {
  std::ostringstream out, err;
  ASSERT_EQ(InstallServiceFor("C:\\Quirada\\QuiradaContabil.exe", {}, false, out, err), 0) << err.str();
  out.str("");
  EXPECT_EQ(InstallServiceFor("C:\\Outra\\QuiradaContabil.exe", {}, false, out, err), 1);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(), "Falha ao instalar o serviço \"SrvQuirada\" com erro: \"" +
                           WindowsSystemText(ERROR_SERVICE_EXISTS) + "\"\n");
  const auto r = Registered();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->binary_path, L"C:\\Quirada\\QuiradaContabil.exe");  // the first one's, untouched

  // Silent: the status alone tells.
  err.str("");
  EXPECT_EQ(InstallServiceFor("C:\\Outra\\QuiradaContabil.exe", {}, true, out, err), 1);
  EXPECT_EQ(err.str(), "");

  ASSERT_EQ(UninstallService("", true, out, err), 0);
  EXPECT_EQ(out.str() + err.str(), "");
  EXPECT_EQ(UninstallService("", false, out, err), 1);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(),
            "Falha ao desinstalar o serviço \"SrvQuirada\" com erro: \"o serviço SrvQuirada não está "
            "instalado neste computador; QuiradaContabil /INSTANCIAS lista as instâncias "
            "registradas\"\n");
  err.str("");
  EXPECT_EQ(UninstallService("", true, out, err), 1);
  EXPECT_EQ(err.str(), "");
}

}  // namespace
}  // namespace quirada
