// The program's entry in the desktop's application menu, for a copy that runs from a folder
// of the user's own (a portable folder, unpacked anywhere). On Linux: an XDG desktop entry
// in the user's applications folder and the icon in the hicolor theme of the user's data
// folder, kept pointing at the executable wherever the folder is now. Windows lists nothing
// for a portable folder: there update_menu_entry() does nothing.
//
// The portable half decides which files to write from what the files hold now; the
// platform half reads them, and writes what the plan says.
#ifndef MORVANE_CORE_SHELL_MENU_ENTRY_H_
#define MORVANE_CORE_SHELL_MENU_ENTRY_H_

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace morvane {

struct MenuIcon {
  int size = 0;     // pixels per side: the theme's "<size>x<size>" folder
  std::string png;  // the picture's bytes
};

struct MenuEntryConfig {
  std::string name;  // Name=; in lower case, the desktop file's and the icon's name
  std::string comment;
  std::filesystem::path executable;
  // $XDG_DATA_HOME, or ~/.local/share; empty when neither is known (data_home_for()).
  std::filesystem::path data_home;
  std::vector<MenuIcon> icons;
};

// What the files hold now, as the platform found them.
struct MenuEntryFiles {
  std::optional<std::string> desktop_file;        // nothing when there is none
  std::vector<std::optional<std::string>> icons;  // one per config icon, in its order
  bool folder_is_users = false;  // the executable's folder belongs to the user running it
};

struct MenuEntryWrite {
  std::filesystem::path path;
  std::string contents;
};

// The XDG data home: $XDG_DATA_HOME when that is an absolute path, otherwise
// $HOME/.local/share; empty when neither is known. Either may be null.
std::filesystem::path data_home_for(const char* xdg_data_home, const char* home);

// <data home>/applications/<name>.desktop and <data home>/icons/hicolor/<size>x<size>/apps/
// <name>.png.
std::filesystem::path menu_desktop_file(const MenuEntryConfig& config);
std::filesystem::path menu_icon_file(const MenuEntryConfig& config, int size);

// The desktop entry: Exec and TryExec name the executable (a menu hides an entry whose
// TryExec is gone), Icon the theme icon.
std::string menu_desktop_entry(const MenuEntryConfig& config);

// The files to write, icons first (an entry should not show up without its picture); none
// when everything is right already. Nothing at all when no data home is known, when the
// folder is not the user's (someone else installed it there and looks after it) or when
// the user switched the entry off through a menu editor (Hidden=true, NoDisplay=true).
// Otherwise every file whose bytes differ from what they should be: a missing entry, one
// that points at the folder's old place, a missing or changed icon.
std::vector<MenuEntryWrite> plan_menu_entry(const MenuEntryConfig& config,
                                            const MenuEntryFiles& now);

struct MenuEntryOutcome {
  std::vector<std::filesystem::path> written;  // in the plan's order
  std::string error;  // the first write that failed, with the system's text; empty if none
};

// Reads the files, plans and writes (each file whole: a temporary file, then a rename).
// Windows: does nothing.
MenuEntryOutcome update_menu_entry(const MenuEntryConfig& config);

}  // namespace morvane

#endif  // MORVANE_CORE_SHELL_MENU_ENTRY_H_
