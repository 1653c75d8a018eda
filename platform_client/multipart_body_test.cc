#include "platform_client/multipart_body.h"

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "base/errors.h"
#include "base/platform.h"

namespace quirada {
namespace {

namespace fs = std::filesystem;

class MultipartBodyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = fs::temp_directory_path() /
            ("quirada-multipart-" + std::to_string(CurrentProcessId()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".xml");
  }
  void TearDown() override { fs::remove(path_); }
  void Write(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }

  // Everything the body delivers, read in pieces of `piece` bytes.
  static std::string ReadAll(MultipartUploadBody& body, size_t piece) {
    std::string out;
    std::string buffer(piece, '\0');
    while (const size_t n = body.Read(buffer.data(), piece)) out.append(buffer.data(), n);
    return out;
  }

  fs::path path_;
};

TEST(MultipartBoundaryTest, IsEightHyphensAndFifteenDigitsOfTheLocalClock) {
  const struct {
    DateTimeParts when;
    const char* boundary;
  } cases[] = {
      {{2025, 12, 9, 14, 3, 27, 45}, "--------120925140327045"},
      {{2001, 1, 2, 3, 4, 5, 6}, "--------010201030405006"},
      {{2099, 10, 31, 23, 59, 59, 999}, "--------103199235959999"},
  };
  for (const auto& c : cases) EXPECT_EQ(MultipartBoundary(EncodeDateTime(c.when)), c.boundary);
}

TEST(FilenameParameterTest, EscapesOnlyWhatWouldBreakTheHeaderLine) {
  EXPECT_EQ(FilenameParameter("35251234567890.xml"), "35251234567890.xml");
  EXPECT_EQ(FilenameParameter("a b%c.xml"), "a b%c.xml");
  EXPECT_EQ(FilenameParameter("a\"b\r\nc.xml"), "a%22b%0D%0Ac.xml");
  EXPECT_EQ(FilenameParameter("a\xC3\xA7\x7F.xml"), "a\xC3\xA7%7F.xml");
}

TEST_F(MultipartBodyTest, DeliversExactlyTheAnnouncedSizeWhateverThePieceSize) {
  Write(std::string("<nfe>\xE7\x00\xFF</nfe>", 14));
  for (size_t piece : {1u, 7u, 64u, 100000u}) {
    MultipartUploadBody body(path_.string(), "x.xml", EncodeDateTime({2025, 12, 9, 14, 3, 27, 45}));
    const std::string all = ReadAll(body, piece);
    EXPECT_EQ(all.size(), body.Size()) << piece;
    const std::string b = "--------120925140327045";
    EXPECT_EQ(all,
              "--" + b + "\r\n"
              "Content-Disposition: form-data; name=\"file[]\"; filename=\"x.xml\"\r\n"
              "Content-Type: application/xml\r\n"
              "Content-Transfer-Encoding: binary\r\n"
              "\r\n" +
                  std::string("<nfe>\xE7\x00\xFF</nfe>", 14) +
                  "\r\n"
                  "--" + b + "\r\n"
                  "Content-Disposition: form-data; name=\"query\"\r\n"
                  "Content-Type: application/json; charset=\"UTF-8\"\r\n"
                  "Content-Transfer-Encoding: quoted-printable\r\n"
                  "\r\n"
                  "{\"boxe/File\": true}\r\n"
                  "--" + b + "--\r\n")
        << piece;
    EXPECT_EQ(body.ContentType(), "multipart/form-data; boundary=" + b);
  }
}

TEST_F(MultipartBodyTest, AFileThatShrinksWhileItIsSentFailsInsteadOfSendingTooLittle) {
  Write(std::string(10000, 'x'));
  MultipartUploadBody body(path_.string(), "x.xml", Now());
  fs::resize_file(path_, 100);
  try {
    ReadAll(body, 4096);
    ADD_FAILURE() << "the shrunk file went out";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), "The file \"" + path_.string() + "\" shrank while it was being sent");
  }
}

TEST_F(MultipartBodyTest, AFileThatCannotBeOpenedFailsWithTheSystemsText) {
#ifdef _WIN32
  // No /tmp here: the system's temporary folder is a folder that is surely there.
  const std::string folder = fs::temp_directory_path().string();
#else
  const std::string folder = "/tmp";
#endif
  const struct {
    std::string path;
    std::string message;
  } cases[] = {
      {"/nonexistent/35.xml", "Cannot open file \"/nonexistent/35.xml\". No such file or directory"},
      {folder, "Cannot open file \"" + folder + "\". Is a directory"},
  };
  for (const auto& c : cases) {
    try {
      MultipartUploadBody body(c.path, "35.xml", Now());
      ADD_FAILURE() << c.path << " opened";
    } catch (const Exception& e) {
      EXPECT_EQ(e.what(), c.message);
    }
  }
}

}  // namespace
}  // namespace quirada
