#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "base/held_folder.h"

namespace quirada {

HeldFolder::HeldFolder(std::string path, std::vector<intptr_t> handles)
    : path_(std::move(path)), handles_(std::move(handles)) {}

HeldFolder::HeldFolder(HeldFolder&& other) noexcept
    : path_(std::move(other.path_)), handles_(std::exchange(other.handles_, {})) {}

HeldFolder& HeldFolder::operator=(HeldFolder&& other) noexcept {
  if (this != &other) {
    Close();
    path_ = std::move(other.path_);
    handles_ = std::exchange(other.handles_, {});
  }
  return *this;
}

HeldFolder::~HeldFolder() { Close(); }

void HeldFolder::Close() {
  // The folder's own first, then the way up to the drive.
  for (auto it = handles_.rbegin(); it != handles_.rend(); ++it)
    CloseHandle(reinterpret_cast<HANDLE>(*it));
  handles_.clear();
}

// Nothing on the folder's way can be renamed or replaced while it is held: its path reaches it.
std::string HeldFolder::Reach(const std::string& name) const { return path_ + name; }

std::string ShownPath(const std::string& path) { return path; }

}  // namespace quirada
