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

}  // namespace
}  // namespace quirada
