#include "base/data_folder.h"

#include <mutex>
#include <string>

#include "morvane/core/process/executable_path.h"

namespace vantriel {
namespace {

std::filesystem::path* g_test_folder = nullptr;

std::filesystem::path compute_data_folder() {
  std::filesystem::path base = ".";
  try {
    if (auto exe = morvane::executable_path(); exe && exe->has_parent_path()) base = exe->parent_path();
  } catch (...) {
    // A path the library cannot handle: fall back to the current directory.
  }
  return base / "data";
}

}  // namespace

const std::filesystem::path& data_folder() {
  if (g_test_folder != nullptr) return *g_test_folder;
  static const std::filesystem::path folder = compute_data_folder();  // thread-safe init
  return folder;
}

std::filesystem::path data_file(std::string_view name) {
  // Names are ASCII constants; u8path keeps any other text UTF-8 on Windows too.
  return data_folder() / std::filesystem::path(std::u8string(name.begin(), name.end()));
}

void set_data_folder_for_testing(const std::filesystem::path& folder) {
  static std::filesystem::path holder;
  holder = folder;
  g_test_folder = &holder;
}

}  // namespace vantriel
