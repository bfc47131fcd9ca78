// The menu entry on Linux: reads the entry and icons as they are, and writes what the plan
// says. Desktops watch the applications folder and pick a new or changed entry up by
// themselves; the icon theme of the user's data folder needs no cache.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

#include "morvane/core/shell/menu_entry.h"

namespace morvane {
namespace {

// Larger files are not ours to compare: they read as different and are replaced.
constexpr std::uintmax_t kLargestRead = 4 << 20;

std::optional<std::string> read_small_file(const std::filesystem::path& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec || size > kLargestRead) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Whole or not at all: a temporary file beside it, then a rename over it.
std::string write_replacing(const std::filesystem::path& file, const std::string& contents) {
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  if (ec) return file.parent_path().string() + ": " + ec.message();
  const std::filesystem::path temp = file.string() + ".tmp" + std::to_string(getpid());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << contents;
    out.flush();
    if (!out) {
      const std::string error = temp.string() + ": " + std::strerror(errno ? errno : EIO);
      std::filesystem::remove(temp, ec);
      return error;
    }
  }
  std::filesystem::rename(temp, file, ec);
  if (ec) {
    const std::string error = file.string() + ": " + ec.message();
    std::filesystem::remove(temp, ec);
    return error;
  }
  return {};
}

}  // namespace

MenuEntryOutcome update_menu_entry(const MenuEntryConfig& config) {
  MenuEntryFiles now;
  struct stat folder {};
  now.folder_is_users = !config.executable.empty() &&
                        stat(config.executable.parent_path().c_str(), &folder) == 0 &&
                        folder.st_uid == geteuid();
  if (!config.data_home.empty()) {
    now.desktop_file = read_small_file(menu_desktop_file(config));
    for (const MenuIcon& icon : config.icons) {
      now.icons.push_back(read_small_file(menu_icon_file(config, icon.size)));
    }
  }
  MenuEntryOutcome outcome;
  for (const MenuEntryWrite& write : plan_menu_entry(config, now)) {
    outcome.error = write_replacing(write.path, write.contents);
    if (!outcome.error.empty()) break;
    outcome.written.push_back(write.path);
  }
  return outcome;
}

}  // namespace morvane
