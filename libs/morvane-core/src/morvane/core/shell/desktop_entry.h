// Values of freedesktop.org's Desktop Entry format, shared by the files the Linux desktop
// reads: the autostart entry (startup.h) and the application menu's entry (menu_entry.h).
// Portable text, tested on every platform.
#ifndef MORVANE_CORE_SHELL_DESKTOP_ENTRY_H_
#define MORVANE_CORE_SHELL_DESKTOP_ENTRY_H_

#include <string>
#include <string_view>

namespace morvane {

// A value of the string type: backslash, line feed, tab and carriage return escaped, and
// spaces at the start kept (readers trim them otherwise).
std::string desktop_entry_string(std::string_view value);

// One argument of an Exec line, always quoted: inside the quotes '"', '`', '$' and '\'
// take a backslash, and '%' (the field codes' mark) is doubled. The whole line is then a
// string value and goes through desktop_entry_string() as well.
std::string desktop_exec_argument(std::string_view arg);

}  // namespace morvane

#endif  // MORVANE_CORE_SHELL_DESKTOP_ENTRY_H_
