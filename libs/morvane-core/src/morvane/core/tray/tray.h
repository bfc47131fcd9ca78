// The icon in the notification area.
#ifndef MORVANE_CORE_TRAY_TRAY_H_
#define MORVANE_CORE_TRAY_TRAY_H_

#include <string>

namespace morvane {

// Shows a balloon notification from the tray icon. Returns false, showing nothing, when
// there is no tray icon: started with --no-tray, or on a build without a tray yet.
bool show_tray_balloon(const std::string& title, const std::string& text);

// Asks the tray's window to close, when it exists.
void close_tray();

}  // namespace morvane

#endif  // MORVANE_CORE_TRAY_TRAY_H_
