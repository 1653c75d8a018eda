// A folder the program keeps open for as long as it uses it, so that the folder it judged
// (folder_trust.h: OpenJudgedFolder) is the folder it uses: a rename, or a link on its way swapped
// for another after the judgement, changes nothing of what the program reaches.
//
// On Linux the folder is held as a descriptor (O_PATH), and its files are reached through
// "/proc/self/fd/<n>/<name>", which the kernel resolves through that descriptor, never through the
// folder's path again (so the code that opens files by name opens them in the held folder). On
// Windows each folder of its path and each link met on the way is held open without
// FILE_SHARE_DELETE: none of them can be renamed, removed or replaced while the folder is held, and
// a file is reached by its path.
//
// Messages name a file by the folder's path, never by the descriptor: ShownPath turns a path that
// Reach gave back into the folder's path and the name (file_io.h's failures go through it).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quirada {

class HeldFolder {
 public:
  // No folder.
  HeldFolder() = default;
  // Takes the system's handles given, to close them when it goes (descriptors on Linux, HANDLEs on
  // Windows; the folder's own last). `path` is the folder as it was reached, links resolved,
  // ending with a separator.
  HeldFolder(std::string path, std::vector<intptr_t> handles);
  HeldFolder(HeldFolder&& other) noexcept;
  HeldFolder& operator=(HeldFolder&& other) noexcept;
  HeldFolder(const HeldFolder&) = delete;
  HeldFolder& operator=(const HeldFolder&) = delete;
  ~HeldFolder();

  bool IsOpen() const { return !handles_.empty(); }
  // The folder's path, ending with a separator; "" when none is held.
  const std::string& Path() const { return path_; }
  // The path through which `name` (a name in the folder, without separators) is opened in the held
  // folder; Reach("") is the folder itself, ending with a separator, to which a name is added.
  std::string Reach(const std::string& name) const;

 private:
  void Close();

  std::string path_;
  std::vector<intptr_t> handles_;
};

// `path` as a message names it: a path Reach gave is told as the held folder's path and the rest;
// any other path stays as it is.
std::string ShownPath(const std::string& path);

}  // namespace quirada
