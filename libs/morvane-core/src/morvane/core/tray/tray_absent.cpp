// The tray icon is not built yet: there is no icon to show a balloon from or to close.
#include "morvane/core/tray/tray.h"

namespace morvane {

bool show_tray_balloon(const std::string&, const std::string&) { return false; }
void close_tray() {}

}  // namespace morvane
