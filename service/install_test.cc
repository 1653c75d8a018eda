#include "service/install.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "base/errors.h"
#include "base/platform.h"
#include "testing/test_files.h"

using quirada::testing::ReadFileBytes;

namespace quirada {
namespace {

namespace fs = std::filesystem;

// The unit as systemd reads it: ExecStart= names the executable, ReadWritePaths= its folder.
std::string UnitFor(const std::string& exec_start, const std::string& home) {
  return "[Unit]\n"
         "Description=Quirada\n"
         "Wants=network-online.target\n"
         "After=network-online.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" + exec_start + "\n"
         "Restart=on-failure\n"
         "RestartSec=30s\n"
         "# A stop waits for the running cycle: one HTTP request alone may take up to 10 minutes.\n"
         "TimeoutStopSec=15min\n"
         "# Sandbox. The service writes only beside its executable (log, XML files) and in /tmp (token\n"
         "# file), which is private to it. It reads its INI file, the TLS trust store and the Firebird\n"
         "# client's configuration, and talks TCP to the Firebird server and HTTPS to the platform.\n"
         "UMask=0077\n"
         "ProtectSystem=strict\n"
         "ReadWritePaths=" + home + " /tmp\n"
         "PrivateTmp=yes\n"
         "ProtectHome=yes\n"
         "PrivateDevices=yes\n"
         "NoNewPrivileges=yes\n"
         "CapabilityBoundingSet=\n"
         "ProtectKernelTunables=yes\n"
         "ProtectKernelModules=yes\n"
         "ProtectKernelLogs=yes\n"
         "ProtectControlGroups=yes\n"
         "ProtectClock=yes\n"
         "ProtectHostname=yes\n"
         "ProtectProc=invisible\n"
         "ProcSubset=pid\n"
         "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n"
         "RestrictNamespaces=yes\n"
         "RestrictRealtime=yes\n"
         "RestrictSUIDSGID=yes\n"
         "LockPersonality=yes\n"
         "MemoryDenyWriteExecute=yes\n"
         "RemoveIPC=yes\n"
         "SystemCallArchitectures=native\n"
         "SystemCallFilter=@system-service\n"
         "SystemCallFilter=~@privileged @resources\n"
         "SystemCallErrorNumber=EPERM\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

class ScopedUnitDir {
 public:
  explicit ScopedUnitDir(const char* value) {
    if (value) {
      ::setenv("QUIRADA_SYSTEMD_DIR", value, 1);
    } else {
      ::unsetenv("QUIRADA_SYSTEMD_DIR");
    }
  }
  ~ScopedUnitDir() { ::unsetenv("QUIRADA_SYSTEMD_DIR"); }
};

struct ExecStartCase {
  std::string path;
  std::string exec_start;
  std::string home;
};

void PrintTo(const ExecStartCase& c, std::ostream* os) { *os << c.path; }

class ServiceUnitTextTest : public ::testing::TestWithParam<ExecStartCase> {};

TEST_P(ServiceUnitTextTest, NamesTheExecutableAndItsFolderSoThatSystemdReadsThemBack) {
  EXPECT_EQ(ServiceUnitText(GetParam().path), UnitFor(GetParam().exec_start, GetParam().home));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ServiceUnitTextTest,
    ::testing::Values(
        ExecStartCase{"/usr/sbin/QuiradaContabil", "/usr/sbin/QuiradaContabil", "/usr/sbin"},
        ExecStartCase{"/opt/Quirada Contabil/QuiradaContabil",
                      "\"/opt/Quirada Contabil/QuiradaContabil\"", "\"/opt/Quirada Contabil\""},
        ExecStartCase{"/opt/100%/QuiradaContabil", "/opt/100%%/QuiradaContabil", "/opt/100%%"},
        ExecStartCase{"/opt/contábil/QuiradaContabil", "/opt/contábil/QuiradaContabil",
                      "/opt/contábil"},
        ExecStartCase{"/opt/@QUIRADA_HOME@/QuiradaContabil", "/opt/@QUIRADA_HOME@/QuiradaContabil",
                      "/opt/@QUIRADA_HOME@"},
        ExecStartCase{"/QuiradaContabil", "/QuiradaContabil", "/"}));

TEST(ServiceUnitTextTest, RefusesAPathWithALineBreak) {
  EXPECT_THROW(ServiceUnitText("/opt/a\nb/QuiradaContabil"), std::system_error);
}

TEST(ServiceUnitTextTest, RefusesAPathThatSystemdWouldNotRun) {
  for (const std::string path : {"/opt/a\\b/QuiradaContabil", "/opt/it's/QuiradaContabil",
                                 "/opt/o \"x\"/QuiradaContabil"}) {
    try {
      ServiceUnitText(path);
      ADD_FAILURE() << "accepted " << path;
    } catch (const Exception& e) {
      EXPECT_EQ(std::string(e.what()),
                "O systemd não aceita aspas nem barra invertida no caminho do executável: " + path);
    }
  }
}

TEST(ServiceUnitDirTest, IsTheSystemFolderUnlessTheEnvironmentNamesAnother) {
  struct Case {
    const char* env;
    std::string dir;
  };
  for (const Case& c : {Case{nullptr, "/etc/systemd/system/"}, Case{"", "/etc/systemd/system/"},
                        Case{"/tmp/units", "/tmp/units/"}, Case{"/tmp/units/", "/tmp/units/"}}) {
    ScopedUnitDir env(c.env);
    EXPECT_EQ(ServiceUnitDir(), c.dir) << (c.env ? c.env : "(unset)");
  }
}

// ---------------------------------------------------------------------------------------------

class InstallServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("quirada-units-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    env_.emplace(dir_.c_str());
    unit_ = dir_ / "SrvQuirada.service";
  }
  void TearDown() override {
    env_.reset();
    fs::remove_all(dir_);
  }
  fs::path dir_;
  fs::path unit_;
  std::optional<ScopedUnitDir> env_;
};

std::string SystemText(int error) { return std::system_category().message(error); }

TEST_F(InstallServiceTest, InstallsAndUninstallsOnceEachWithTheirMessages) {
  enum Op { kInstall, kUninstall };
  struct Step {
    Op op;
    bool silent;
    int status;
    std::string out;
    std::string err;
    bool unit_after;
  };
  const std::string install_failure =
      "Falha ao instalar o serviço \"SrvQuirada\" com erro: \"" + SystemText(EEXIST) + "\"\n";
  const std::string uninstall_failure =
      "Falha ao desinstalar o serviço \"SrvQuirada\" com erro: \"" + SystemText(ENOENT) + "\"\n";
  const std::vector<Step> steps = {
      {kInstall, false, 0, "Serviço instalado com sucesso\n", "", true},
      {kInstall, false, 1, "", install_failure, true},
      {kInstall, true, 1, "", "", true},
      {kUninstall, false, 0, "Serviço desinstalado com sucesso\n", "", false},
      {kUninstall, false, 1, "", uninstall_failure, false},
      {kUninstall, true, 1, "", "", false},
      {kInstall, true, 0, "", "", true},
      {kUninstall, true, 0, "", "", false},
  };
  const std::string executable = ExecutablePath();
  ASSERT_EQ(executable.find_first_of(" %\\\"'"), std::string::npos) << executable;

  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    std::ostringstream out, err;
    const int status = step.op == kInstall ? InstallService(step.silent, out, err)
                                           : UninstallService(step.silent, out, err);
    SCOPED_TRACE("step " + std::to_string(i));
    EXPECT_EQ(status, step.status);
    EXPECT_EQ(out.str(), step.out);
    EXPECT_EQ(err.str(), step.err);
    EXPECT_EQ(fs::exists(unit_), step.unit_after);
    if (step.unit_after) {
      EXPECT_EQ(ReadFileBytes(unit_), UnitFor(executable, fs::path(executable).parent_path().string()));
      struct stat st{};
      ASSERT_EQ(::stat(unit_.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0644u);
    }
  }
}

TEST_F(InstallServiceTest, InstallingIntoAMissingFolderFailsWithTheSystemText) {
  ScopedUnitDir missing((dir_ / "missing").c_str());
  std::ostringstream out, err;
  EXPECT_EQ(InstallService(false, out, err), 1);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(),
            "Falha ao instalar o serviço \"SrvQuirada\" com erro: \"" + SystemText(ENOENT) + "\"\n");
}

}  // namespace
}  // namespace quirada
