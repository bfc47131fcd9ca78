#include "base/data_folder.h"

#include "morvane/core/process/executable_path.h"
#include "morvane/core/sync/mutex.h"

namespace vantriel {

std::filesystem::path DataFolder::file(std::string_view name) const {
  // Names are ASCII constants; u8path keeps any other text UTF-8 on Windows too.
  return folder_ / std::filesystem::path(std::u8string(name.begin(), name.end()));
}

morvane::Mutex& DataFolder::file_lock(std::string_view name) const {
  morvane::MutexLock lock(locks_mu_);
  auto it = locks_.find(name);
  if (it == locks_.end()) it = locks_.try_emplace(std::string(name)).first;
  return it->second;
}

std::filesystem::path data_folder_beside_executable() {
  std::filesystem::path base = ".";
  try {
    if (auto exe = morvane::executable_path(); exe && exe->has_parent_path()) base = exe->parent_path();
  } catch (...) {
    // A path the library cannot handle: fall back to the current directory.
  }
  return base / "data";
}

}  // namespace vantriel
