// The window that shows the page. The address is set once the server is bound (or, for a
// second start, to the running instance's address); open_app_window shows it.
#ifndef MORVANE_CORE_SHELL_APP_WINDOW_H_
#define MORVANE_CORE_SHELL_APP_WINDOW_H_

#include <string>

namespace morvane {

void set_window_url(std::string url);
std::string window_url();

// Shows the page. Until the browser-window finder exists, this hands the address to the
// system's default handler, which is also the fallback when no Chromium-family browser
// can be found. Serialised by its own launch lock; callable from any thread.
void open_app_window();

}  // namespace morvane

#endif  // MORVANE_CORE_SHELL_APP_WINDOW_H_
