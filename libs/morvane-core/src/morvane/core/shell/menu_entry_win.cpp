// Windows lists a portable folder nowhere: the user starts Vantriel.exe from where it is
// (and the tray and start at log-on do the rest).
#include "morvane/core/shell/menu_entry.h"

namespace morvane {

MenuEntryOutcome update_menu_entry(const MenuEntryConfig&) { return {}; }

}  // namespace morvane
