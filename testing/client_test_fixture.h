// A test fixture for the operations of TDTQuirada: a scripted HTTPS test server that plays both the
// API host and the authorization server, a private temporary folder for the token file and other
// files, and a component pointed at both, holding a cached token ("TKN") valid for another hour.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform_client/Quirada.h"
#include "testing/https_test_server.h"
#include "testing/test_files.h"
#include "base/datetime.h"
#include "base/errors.h"

namespace quirada::testing {

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("quirada-client-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    q_.SetApiUrl(server_.Url());
    q_.SetAuthUrl(server_.Url());
    q_.SetCAFile(server_.CaFile());
    q_.setCaminhoArquivoToken(dir_.string() + "/");
    q_.SetClientID("cliente");
    q_.SetClientSecret("segredo");
    q_.setAuence("https://api.quirada.com.br");
    WriteTokenFile(ValidTokenFile("TKN"));
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static std::string ValidTokenFile(const std::string& token) {
    const TDateTime expiry = IncMinute(Now(), 60);
    return "access_token=" + token + "\r\ndata=" + DateToStr(Date()) + "\r\nhora=" +
           TimeToStr(expiry) + "\r\nExpiraData=" + DateTimeToStr(expiry) + "\r\n";
  }
  std::filesystem::path TokenPath() const { return dir_ / "token.dm"; }
  void WriteTokenFile(const std::string& bytes) const { WriteFileBytes(TokenPath(), bytes); }

  std::filesystem::path dir_;
  TestHttpsServer server_;
  TDTQuirada q_;
};

}  // namespace quirada::testing

using quirada::testing::FailureOf;
using quirada::testing::ReadFileBytes;
using quirada::testing::WriteFileBytes;
