#include "platform_client/path_parts.h"

#include <gtest/gtest.h>

namespace quirada {
namespace {

TEST(PathPartsTest, SlashBackslashAndTheDriveColonAllSeparate) {
  const struct {
    const char* path;
    const char* folder;
    const char* last;
  } cases[] = {
      {"/srv/quirada/35251234567890.xml", "/srv/quirada/", "35251234567890.xml"},
      {"C:\\Quirada\\xml\\123.xml", "C:\\Quirada\\xml\\", "123.xml"},
      {"C:123.xml", "C:", "123.xml"},
      {"logs/sub\\envios.log", "logs/sub\\", "envios.log"},
      {"123.xml", "", "123.xml"},
      {"", "", ""},
      {"/srv/dir/", "/srv/dir/", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FolderPart(c.path), c.folder) << c.path;
    EXPECT_EQ(LastPathComponent(c.path), c.last) << c.path;
  }
  EXPECT_EQ(LocalPath("C:\\Quirada\\x.log"), "C:/Quirada/x.log");
  EXPECT_EQ(LocalPath("/srv/a b/x.log"), "/srv/a b/x.log");
}

}  // namespace
}  // namespace quirada
