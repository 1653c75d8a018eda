#include "service/UQuirada.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "testing/test_files.h"

namespace quirada {
namespace {

namespace fs = std::filesystem;

// A tick whose INI file cannot be read fails (the loop's handler logs that), yet the timer stays
// armed with the default period of one hour: the service cycles again once the INI is mended.
TEST(SrvQuiradaTest, ATickWhoseIniCannotBeReadLeavesTheTimerArmedWithTheDefaultPeriod) {
  const fs::path dir = fs::temp_directory_path() / "quirada-module-unreadable-ini";
  fs::remove_all(dir);
  fs::create_directories(dir / "Morvant.ini");  // a folder where the INI should be

  TEventLoop loop;
  {
    TSrvQuirada module(loop, dir.string() + std::string(1, fs::path::preferred_separator));
    module.Timer1.SetInterval(1000);
    module.Timer1.SetEnabled(true);
    const std::string failure = testing::FailureOf([&] { module.Timer1Timer(); });
    EXPECT_NE(failure.find("Morvant.ini"), std::string::npos) << failure;
    EXPECT_TRUE(module.Timer1.Enabled());
    EXPECT_EQ(module.Timer1.Interval(), 3'600'000u);
  }
  fs::remove_all(dir);
}

// The unnamed instance starts after 1 s; named ones at an offset of their own within the
// first five minutes (or the period, when shorter), the same at every start, spread over those
// minutes rather than bunched at their start.
TEST(SrvQuiradaTest, NamedInstancesTakeTheirFirstCycleWithinFiveMinutesAtAStableOffset) {
  EXPECT_EQ(InicioDoPrimeiroCiclo("", 3'600'000), 1000u);
  EXPECT_EQ(InicioDoPrimeiroCiclo("acme", 3'600'000), InicioDoPrimeiroCiclo("acme", 3'600'000));
  EXPECT_NE(InicioDoPrimeiroCiclo("acme", 3'600'000), InicioDoPrimeiroCiclo("acme2", 3'600'000));
  const struct {
    uint32_t periodo_ms, ate_ms;
  } periodos[] = {{3'600'000, 300'000}, {86'400'000, 300'000}, {300'000, 300'000}, {60'000, 60'000}};
  for (const auto& p : periodos) {
    SCOPED_TRACE(p.periodo_ms);
    int quarters[4] = {0, 0, 0, 0};
    for (int i = 0; i < 200; ++i) {
      const uint32_t offset = InicioDoPrimeiroCiclo("empresa-" + std::to_string(i), p.periodo_ms);
      ASSERT_GE(offset, 1000u);
      ASSERT_LE(offset, p.ate_ms);
      ASSERT_EQ(offset % 1000, 0u) << "whole seconds";
      ++quarters[(offset - 1) * 4 / p.ate_ms];
    }
    for (const int n : quarters) EXPECT_GE(n, 25) << "200 names, about 50 in each quarter";
  }
  EXPECT_EQ(InicioDoPrimeiroCiclo("acme", 1000), 1000u) << "a period of one second";
}

// A cycle's end is kept in the instance's folder for "/INSTANCIAS", a failure too.
TEST(SrvQuiradaTest, ACycleThatFailsLeavesItsEndInTheInstancesFolder) {
  const fs::path dir = fs::temp_directory_path() / "quirada-module-last-cycle";
  fs::remove_all(dir);
  fs::create_directories(dir / "Morvant.ini");
  TEventLoop loop;
  {
    TSrvQuirada module(loop, dir.string() + std::string(1, fs::path::preferred_separator));
    (void)testing::FailureOf([&] { (void)module.ExecutarCiclo(); });
  }
  const std::string line = testing::ReadFileBytes(dir / "QuiradaContabil.ciclo");
  EXPECT_NE(line.find(" Falha: "), std::string::npos) << line;
  EXPECT_NE(line.find("Morvant.ini"), std::string::npos) << line;
  EXPECT_EQ(line.back(), '\n');
#ifndef _WIN32
  EXPECT_EQ(fs::status(dir / "QuiradaContabil.ciclo").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
#endif
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quirada
