// The menu entry's texts and the decision of what to write, the same on every platform.
#include "morvane/core/shell/menu_entry.h"

#include <string_view>

#include "morvane/core/shell/desktop_entry.h"
#include "morvane/core/text/ascii.h"

namespace morvane {
namespace {

std::string utf8(const std::filesystem::path& path) {
  auto text = path.u8string();
  return std::string(text.begin(), text.end());
}

// Only the characters a desktop file id and an icon name may hold.
std::string file_id(std::string_view name) {
  std::string id;
  for (char c : ascii_lower(name)) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.') {
      id.push_back(c);
    }
  }
  return id.empty() ? "app" : id;
}

std::string trimmed(std::string_view s) {
  const char* blanks = " \t\r";
  const std::size_t first = s.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return std::string(s.substr(first, s.find_last_not_of(blanks) - first + 1));
}

// A menu editor switches an entry off by writing one of these into the user's copy.
bool switched_off(std::string_view entry) {
  std::size_t start = 0;
  while (start < entry.size()) {
    std::size_t end = entry.find('\n', start);
    if (end == std::string_view::npos) end = entry.size();
    const std::string line = trimmed(entry.substr(start, end - start));
    if (line == "Hidden=true" || line == "NoDisplay=true") return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::filesystem::path data_home_for(const char* xdg_data_home, const char* home) {
  // The XDG base directory rules ignore a relative XDG_DATA_HOME.
  if (xdg_data_home != nullptr && xdg_data_home[0] == '/') return xdg_data_home;
  if (home != nullptr && home[0] != '\0') {
    return std::filesystem::path(home) / ".local" / "share";
  }
  return {};
}

std::filesystem::path menu_desktop_file(const MenuEntryConfig& config) {
  return config.data_home / "applications" / (file_id(config.name) + ".desktop");
}

std::filesystem::path menu_icon_file(const MenuEntryConfig& config, int size) {
  const std::string folder = std::to_string(size) + "x" + std::to_string(size);
  return config.data_home / "icons" / "hicolor" / folder / "apps" / (file_id(config.name) + ".png");
}

std::string menu_desktop_entry(const MenuEntryConfig& config) {
  const std::string program = utf8(config.executable);
  std::string text = "[Desktop Entry]\nType=Application\nVersion=1.0\n";
  text += "Name=" + desktop_entry_string(config.name) + "\n";
  if (!config.comment.empty()) text += "Comment=" + desktop_entry_string(config.comment) + "\n";
  text += "Exec=" + desktop_entry_string(desktop_exec_argument(program)) + "\n";
  text += "TryExec=" + desktop_entry_string(program) + "\n";
  text += "Path=" + desktop_entry_string(utf8(config.executable.parent_path())) + "\n";
  text += "Icon=" + file_id(config.name) + "\n";
  text += "Terminal=false\nCategories=Network;RemoteAccess;\n";
  return text;
}

std::vector<MenuEntryWrite> plan_menu_entry(const MenuEntryConfig& config,
                                            const MenuEntryFiles& now) {
  std::vector<MenuEntryWrite> writes;
  if (config.data_home.empty() || config.executable.empty() || !now.folder_is_users) {
    return writes;
  }
  if (now.desktop_file && switched_off(*now.desktop_file)) return writes;
  for (std::size_t i = 0; i < config.icons.size(); ++i) {
    const MenuIcon& icon = config.icons[i];
    const bool present = i < now.icons.size() && now.icons[i] && *now.icons[i] == icon.png;
    if (!present) writes.push_back({menu_icon_file(config, icon.size), icon.png});
  }
  const std::string entry = menu_desktop_entry(config);
  if (!now.desktop_file || *now.desktop_file != entry) {
    writes.push_back({menu_desktop_file(config), entry});
  }
  return writes;
}

}  // namespace morvane
