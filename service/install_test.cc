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
#include "testing/test_files.h"

using quirada::testing::ReadFileBytes;

namespace quirada {
namespace {

namespace fs = std::filesystem;

// The unit as systemd reads it: ExecStart= names the executable, ReadWritePaths= its folder.
// A named instance's unit names it in its description.
std::string UnitFor(const std::string& exec_start, const std::string& home,
                    const std::string& instancia = "") {
  return "[Unit]\n"
         "Description=Quirada" + (instancia.empty() ? "" : " (" + instancia + ")") + "\n"
         "Documentation=file:///usr/share/doc/quirada-contabil/LEIAME.md\n"
         "Wants=network-online.target\n"
         "After=network-online.target\n"
         "# The ERP's Firebird server, when it runs on this machine: up before the service, down after it.\n"
         "After=firebird3.0.service\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" + exec_start + "\n"
         "Restart=on-failure\n"
         "RestartSec=30s\n"
         "# A stop ends the running cycle within seconds; the limit is the service manager's last resort.\n"
         "TimeoutStopSec=15min\n"
         "# Sandbox. The service writes only in its folder (the executable's, or a named instance's: the log,\n"
         "# the lock, the last cycle's state, XML files in transit) and in /tmp (token file), which is private\n"
         "# to it. It reads its INI file, the TLS trust store and the Firebird client's configuration, and\n"
         "# talks TCP to the Firebird server and HTTPS to the platform.\n"
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

// Sets (or, with nullptr, unsets) an environment variable for a scope; unsets it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (value) {
      ::setenv(name_, value, 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ~ScopedEnv() { ::unsetenv(name_); }

 private:
  const char* name_;
};

class ScopedUnitDir : public ScopedEnv {
 public:
  explicit ScopedUnitDir(const char* value) : ScopedEnv("QUIRADA_SYSTEMD_DIR", value) {}
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

// A named instance's folder reaches the service as it is written: ExecStart= holds it with what
// systemd would expand escaped ("%%", "$$"), ReadWritePaths= with its specifiers escaped, and the
// unit reads back (UnitFolder) to the folder itself. What systemd cannot take (bytes that are not
// UTF-8, a control character) is refused with a sentence that names the character.
TEST(ServiceUnitTextTest, AFolderReachesTheServiceAsWrittenOrIsRefusedNamingItsCharacter) {
  std::string longo = "/srv/quirada";
  for (int i = 0; i < 3; ++i) longo += "/" + [] {
    std::string parte;
    for (int j = 0; j < 40; ++j) parte += "ação";  // 6 bytes each: 240 bytes a folder
    return parte;
  }();
  const struct {
    std::string folder;
    std::string exec_word;   // how ExecStart= writes it
    std::string paths_word;  // how ReadWritePaths= writes it
    std::string refused;     // a piece of the refusal, "" when written
  } cases[] = {
      {"/srv/q/com espaço", "\"/srv/q/com espaço\"", "\"/srv/q/com espaço\"", ""},
      {"/srv/q/100%", "/srv/q/100%%", "/srv/q/100%%", ""},
      {"/srv/q/x%i%n", "/srv/q/x%%i%%n", "/srv/q/x%%i%%n", ""},
      {"/srv/q/dol${HOME}x", "/srv/q/dol$${HOME}x", "/srv/q/dol${HOME}x", ""},
      {"/srv/q/$HOME", "/srv/q/$$HOME", "/srv/q/$HOME", ""},
      {"/srv/q/%PROCESSOR_ARCHITECTURE%", "/srv/q/%%PROCESSOR_ARCHITECTURE%%",
       "/srv/q/%%PROCESSOR_ARCHITECTURE%%", ""},
      {longo, longo, longo, ""},
      {"/srv/q/\xE7" "ao", "", "",
       "O caminho da pasta da instância não é texto UTF-8: o byte 0xE7, depois de \"/srv/q/\", não "
       "forma um caractere"},
      {"/srv/q/a\nb", "", "",
       "O caminho da pasta da instância tem o caractere de controle U+000A (quebra de linha), "
       "depois de \"/srv/q/a\""},
      {"/srv/q/a\tb", "", "", "o caractere de controle U+0009 (tabulação), depois de \"/srv/q/a\""},
      {"/srv/q/a\xC2\x85" "b", "", "", "o caractere de controle U+0085, depois de \"/srv/q/a\""},
      {"/srv/q/a\x7F", "", "", "o caractere de controle U+007F, depois de \"/srv/q/a\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    const TInstanciaServico instancia{"acme", c.folder + "/"};
    if (!c.refused.empty()) {
      try {
        (void)ServiceUnitText("/opt/q/QuiradaContabil", instancia);
        ADD_FAILURE() << "written";
      } catch (const Exception& e) {
        EXPECT_NE(std::string(e.what()).find(c.refused), std::string::npos) << e.what();
      }
      continue;
    }
    const std::string text = ServiceUnitText("/opt/q/QuiradaContabil", instancia);
    EXPECT_NE(text.find("\nExecStart=/opt/q/QuiradaContabil --pasta " + c.exec_word +
                        " --instancia acme\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("\nReadWritePaths=" + c.paths_word + " /tmp\n"), std::string::npos) << text;
    EXPECT_EQ(UnitFolder(text, "acme"), c.folder + "/");
  }
  // The executable's own path is held to the same rules.
  try {
    (void)ServiceUnitText("/opt/a\nb/QuiradaContabil");
    ADD_FAILURE() << "a line break in the executable's path was written";
  } catch (const Exception& e) {
    EXPECT_NE(std::string(e.what()).find("O caminho do executável tem o caractere de controle U+000A"),
              std::string::npos) << e.what();
  }
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

TEST(HiddenExecutableFolderTest, NamesTheResolvedFolderOnlyWhenTheSandboxHidesIt) {
  // A folder of this test's with a link into /var/tmp.
  const fs::path dir = fs::temp_directory_path() / ("quirada-hidden-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::create_directory_symlink("/var/tmp", dir / "link");
  struct Case {
    std::string path;
    std::string folder;
  };
  const std::vector<Case> cases = {
      {"/tmp/QuiradaContabil", "/tmp"},
      {"/tmp/quirada/bin/QuiradaContabil", "/tmp/quirada/bin"},
      {"/var/tmp/QuiradaContabil", "/var/tmp"},
      {"/home/ana/QuiradaContabil", "/home/ana"},
      {"/root/QuiradaContabil", "/root"},
      {"/run/user/1000/QuiradaContabil", "/run/user/1000"},
      {"/opt/../home/ana/QuiradaContabil", "/home/ana"},
      {"//home/./ana/QuiradaContabil", "/home/ana"},
      {(dir / "link" / "bin" / "QuiradaContabil").string(), "/var/tmp/bin"},
      {"/opt/quirada-contabil/QuiradaContabil", ""},
      {"/homeless/QuiradaContabil", ""},
      {"/roots/QuiradaContabil", ""},
      {"/tmpfs/QuiradaContabil", ""},
      {"/var/tmpx/QuiradaContabil", ""},
      {"/run/users/QuiradaContabil", ""},
      {"/run/QuiradaContabil", ""},
      {"/opt/home/QuiradaContabil", ""},
      {"/srv/tmp/QuiradaContabil", ""},
      {"/QuiradaContabil", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HiddenExecutableFolder(c.path), c.folder) << c.path;
  }
  fs::remove_all(dir);
}

// ---------------------------------------------------------------------------------------------

// Where the tests install the service from: InstallServiceFor does not need the file to exist.
const std::string kExecutable = "/opt/quirada-contabil/QuiradaContabil";

class InstallServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("quirada-units-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "package");
    env_.emplace(dir_.c_str());
    // The machine's own package unit, if any, plays no part.
    package_env_.emplace("QUIRADA_PACKAGE_UNIT_DIR", (dir_ / "package").c_str());
    unit_ = dir_ / "SrvQuirada.service";
    package_unit_ = dir_ / "package" / "SrvQuirada.service";
  }
  void TearDown() override {
    env_.reset();
    package_env_.reset();
    fs::remove_all(dir_);
  }
  fs::path dir_;
  fs::path unit_;
  fs::path package_unit_;
  std::optional<ScopedUnitDir> env_;
  std::optional<ScopedEnv> package_env_;
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
      "Falha ao desinstalar o serviço \"SrvQuirada\" com erro: \"o serviço SrvQuirada não está "
      "instalado neste computador; QuiradaContabil /INSTANCIAS lista as instâncias registradas\"\n";
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
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    std::ostringstream out, err;
    const int status = step.op == kInstall ? InstallServiceFor(kExecutable, {}, step.silent, out, err)
                                           : UninstallService("", step.silent, out, err);
    SCOPED_TRACE("step " + std::to_string(i));
    EXPECT_EQ(status, step.status);
    EXPECT_EQ(out.str(), step.out);
    EXPECT_EQ(err.str(), step.err);
    EXPECT_EQ(fs::exists(unit_), step.unit_after);
    if (step.unit_after) {
      EXPECT_EQ(ReadFileBytes(unit_), UnitFor(kExecutable, "/opt/quirada-contabil"));
      struct stat st{};
      ASSERT_EQ(::stat(unit_.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0644u);
    }
  }
}

// Named instances beside the unnamed one: each a unit of its own whose ExecStart names its folder,
// listed with the instances of the package's template that systemd was told to enable, and removed
// one by one.
TEST_F(InstallServiceTest, NamedInstancesHaveUnitsOfTheirOwnListedAndRemovedOneByOne) {
  std::ostringstream out, err;
  ASSERT_EQ(InstallServiceFor(kExecutable, {}, true, out, err), 0) << err.str();
  ASSERT_EQ(InstallServiceFor(kExecutable, {"acme", "/srv/q/acme/"}, false, out, err), 0) << err.str();
  ASSERT_EQ(InstallServiceFor(kExecutable, {"beta_2", "/srv/Quirada Beta/"}, true, out, err), 0) << err.str();
  EXPECT_EQ(out.str(), "Serviço instalado com sucesso\n");
  EXPECT_EQ(ReadFileBytes(dir_ / "SrvQuirada@acme.service"),
            UnitFor(std::string(kExecutable) + " --pasta /srv/q/acme --instancia acme", "/srv/q/acme", "acme"));
  EXPECT_EQ(ReadFileBytes(dir_ / "SrvQuirada@beta_2.service"),
            UnitFor(std::string(kExecutable) + " --pasta \"/srv/Quirada Beta\" --instancia beta_2",
                    "\"/srv/Quirada Beta\"", "beta_2"));
  EXPECT_EQ(InstallServiceFor(kExecutable, {"acme", "/srv/outra/"}, false, out, err), 1);
  EXPECT_EQ(err.str(),
            "Falha ao instalar o serviço \"SrvQuirada@acme\" com erro: \"" + SystemText(EEXIST) + "\"\n");

  // An instance of the package's template, enabled by the administrator.
  std::string template_text = ServiceUnitText(kExecutable, {"x", "/var/lib/quirada-contabil/x"});
  for (const std::string from : {"/var/lib/quirada-contabil/x", "--instancia x"}) {
    const std::string to = from.starts_with("--") ? "--instancia %i" : "/var/lib/quirada-contabil/%i";
    for (size_t at; (at = template_text.find(from)) != std::string::npos;) template_text.replace(at, from.size(), to);
  }
  std::ofstream(dir_ / "package" / "SrvQuirada@.service") << template_text;
  fs::create_directories(dir_ / "multi-user.target.wants");
  fs::create_symlink(dir_ / "package" / "SrvQuirada@.service",
                     dir_ / "multi-user.target.wants" / "SrvQuirada@gama.service");

  const auto listed = [] {
    std::vector<std::string> lines;
    for (const TInstanciaRegistrada& i : RegisteredInstances())
      lines.push_back(i.nome + "|" + i.servico + "|" + i.pasta + "|" + i.estado);
    return lines;
  };
  EXPECT_EQ(listed(), (std::vector<std::string>{
                          "|SrvQuirada|/opt/quirada-contabil/|desconhecido",
                          "acme|SrvQuirada@acme|/srv/q/acme/|desconhecido",
                          "beta_2|SrvQuirada@beta_2|/srv/Quirada Beta/|desconhecido",
                          "gama|SrvQuirada@gama|/var/lib/quirada-contabil/gama/|desconhecido",
                      }));

  // A name no instance has is told as such, pointing to the list; nothing is removed.
  std::ostringstream unknown_out, unknown_err;
  EXPECT_EQ(UninstallService("delta", false, unknown_out, unknown_err), 1);
  EXPECT_EQ(unknown_out.str(), "");
  EXPECT_EQ(unknown_err.str(),
            "Falha ao desinstalar o serviço \"SrvQuirada@delta\" com erro: \"a instância \"delta\" não "
            "está registrada neste computador; QuiradaContabil /INSTANCIAS lista as instâncias "
            "registradas\"\n");
  EXPECT_EQ(listed().size(), 4u);

  ASSERT_EQ(UninstallService("acme", true, out, err), 0);
  EXPECT_FALSE(fs::exists(dir_ / "SrvQuirada@acme.service"));
  EXPECT_TRUE(fs::exists(unit_));
  EXPECT_EQ(listed(), (std::vector<std::string>{
                          "|SrvQuirada|/opt/quirada-contabil/|desconhecido",
                          "beta_2|SrvQuirada@beta_2|/srv/Quirada Beta/|desconhecido",
                          "gama|SrvQuirada@gama|/var/lib/quirada-contabil/gama/|desconhecido",
                      }));
}

TEST_F(InstallServiceTest, InstallingIntoAMissingFolderFailsWithTheSystemText) {
  ScopedUnitDir missing((dir_ / "missing").c_str());
  std::ostringstream out, err;
  EXPECT_EQ(InstallServiceFor(kExecutable, {}, false, out, err), 1);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(),
            "Falha ao instalar o serviço \"SrvQuirada\" com erro: \"" + SystemText(ENOENT) + "\"\n");
}

TEST_F(InstallServiceTest, RefusesAnExecutableInAFolderTheSandboxHidesAndWritesNoUnit) {
  const auto refusal = [](const std::string& folder) {
    return "Falha ao instalar o serviço \"SrvQuirada\" com erro: \"o executável está em " + folder +
           ", que o serviço isolado pelo systemd não enxerga (/tmp, /var/tmp, /home, /root, "
           "/run/user); copie-o para uma pasta como /opt/quirada-contabil\"\n";
  };
  struct Case {
    std::string path;
    bool silent;
    int status;
    std::string out;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"/tmp/QuiradaContabil", false, 1, "", refusal("/tmp")},
      {"/var/tmp/quirada/QuiradaContabil", false, 1, "", refusal("/var/tmp/quirada")},
      {"/home/ana/bin/QuiradaContabil", false, 1, "", refusal("/home/ana/bin")},
      {"/opt/../root/QuiradaContabil", false, 1, "", refusal("/root")},
      {"/run/user/0/QuiradaContabil", true, 1, "", ""},
      {"/homeless/QuiradaContabil", false, 0, "Serviço instalado com sucesso\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::ostringstream out, err;
    EXPECT_EQ(InstallServiceFor(c.path, {}, c.silent, out, err), c.status);
    EXPECT_EQ(out.str(), c.out);
    EXPECT_EQ(err.str(), c.err);
    EXPECT_EQ(fs::exists(unit_), c.status == 0);
    if (c.status == 0) {
      EXPECT_EQ(ReadFileBytes(unit_), UnitFor(c.path, fs::path(c.path).parent_path().string()));
      fs::remove(unit_);
    }
  }
}

TEST_F(InstallServiceTest, WarnsThatTheUnitOverridesThePackagesOwn) {
  const std::string installed = "Serviço instalado com sucesso\n";
  const std::string warning = "Aviso: a unidade " + unit_.string() +
                              " encobre a do pacote quirada-contabil (" + package_unit_.string() +
                              "); para voltar à do pacote, rode /UNINSTALL\n";
  struct Case {
    bool packaged;
    bool silent;
    std::string out;
  };
  const std::vector<Case> cases = {
      {false, false, installed},
      {true, false, installed + warning},
      {true, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.packaged ? "package unit" : "no package unit") +
                 (c.silent ? ", silent" : ""));
    if (c.packaged) {
      std::ofstream(package_unit_) << "[Unit]\n";
    } else {
      fs::remove(package_unit_);
    }
    std::ostringstream out, err;
    EXPECT_EQ(InstallServiceFor(kExecutable, {}, c.silent, out, err), 0);
    EXPECT_EQ(out.str(), c.out);
    EXPECT_EQ(err.str(), "");
    EXPECT_TRUE(fs::remove(unit_));
  }
}

}  // namespace
}  // namespace quirada
