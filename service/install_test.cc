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

#include "service/platform.h"

namespace quirada {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string UnitFor(const std::string& exec_start) {
  return "[Unit]\n"
         "Description=Quirada\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" + exec_start + "\n"
         "Restart=on-failure\n"
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
};

void PrintTo(const ExecStartCase& c, std::ostream* os) { *os << c.path; }

class ServiceUnitTextTest : public ::testing::TestWithParam<ExecStartCase> {};

TEST_P(ServiceUnitTextTest, NamesTheExecutableSoThatSystemdReadsItBack) {
  EXPECT_EQ(ServiceUnitText(GetParam().path), UnitFor(GetParam().exec_start));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ServiceUnitTextTest,
    ::testing::Values(
        ExecStartCase{"/usr/sbin/QuiradaContabil", "/usr/sbin/QuiradaContabil"},
        ExecStartCase{"/opt/Quirada Contabil/QuiradaContabil",
                      "\"/opt/Quirada Contabil/QuiradaContabil\""},
        ExecStartCase{"/opt/100%/QuiradaContabil", "/opt/100%%/QuiradaContabil"},
        ExecStartCase{"/opt/a\\b/QuiradaContabil", "/opt/a\\\\b/QuiradaContabil"},
        ExecStartCase{"/opt/it's/QuiradaContabil", "/opt/it\\'s/QuiradaContabil"},
        ExecStartCase{"/opt/o \"x\"/QuiradaContabil", "\"/opt/o \\\"x\\\"/QuiradaContabil\""},
        ExecStartCase{"/opt/contábil/QuiradaContabil", "/opt/contábil/QuiradaContabil"}));

TEST(ServiceUnitTextTest, RefusesAPathWithALineBreak) {
  EXPECT_THROW(ServiceUnitText("/opt/a\nb/QuiradaContabil"), std::system_error);
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
      EXPECT_EQ(Slurp(unit_), UnitFor(executable));
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
