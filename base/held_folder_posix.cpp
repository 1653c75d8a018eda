#include <unistd.h>

#include <charconv>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/held_folder.h"

namespace quirada {
namespace {

constexpr std::string_view kDescriptors = "/proc/self/fd/";

// The folders held now, by their descriptor, for ShownPath.
std::mutex held_mutex;
std::map<int, std::string>& HeldPaths() {
  static std::map<int, std::string> paths;
  return paths;
}

}  // namespace

HeldFolder::HeldFolder(std::string path, std::vector<intptr_t> handles)
    : path_(std::move(path)), handles_(std::move(handles)) {
  if (handles_.empty()) return;
  std::lock_guard lock(held_mutex);
  HeldPaths()[static_cast<int>(handles_.back())] = path_;
}

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
  if (handles_.empty()) return;
  {
    std::lock_guard lock(held_mutex);
    HeldPaths().erase(static_cast<int>(handles_.back()));
  }
  for (const intptr_t fd : handles_) ::close(static_cast<int>(fd));
  handles_.clear();
}

std::string HeldFolder::Reach(const std::string& name) const {
  if (handles_.empty()) return path_ + name;
  return std::string(kDescriptors) + std::to_string(handles_.back()) + "/" + name;
}

std::string ShownPath(const std::string& path) {
  if (!path.starts_with(kDescriptors)) return path;
  const char* digits = path.data() + kDescriptors.size();
  const char* end = path.data() + path.size();
  int fd = -1;
  const auto [after, error] = std::from_chars(digits, end, fd);
  if (error != std::errc() || after == end || *after != '/') return path;
  std::lock_guard lock(held_mutex);
  const auto found = HeldPaths().find(fd);
  if (found == HeldPaths().end()) return path;
  return found->second + std::string(after + 1, end);
}

}  // namespace quirada
