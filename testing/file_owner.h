// Hands a test's file to another user, to show what the program makes of a file it did not write.
#pragma once

#include <filesystem>

namespace quirada::testing {

// Makes another user the owner of `path` (uid 65534 on Linux; BUILTIN\Users on Windows, the Unix
// uid 65534 under Wine, which keeps no owner a program sets). Returns
// false when this process may not do that here (on Linux only root may), so the caller can skip.
bool GiveToAnotherUser(const std::filesystem::path& path);

}  // namespace quirada::testing
