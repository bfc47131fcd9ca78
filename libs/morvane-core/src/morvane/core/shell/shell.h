// The few calls into the desktop shell that the host makes: opening a document, folder or
// link with the user's default program, a message box, and the administrator questions.
#ifndef MORVANE_CORE_SHELL_SHELL_H_
#define MORVANE_CORE_SHELL_SHELL_H_

#include <string>

namespace morvane {

// Opens a file, folder or URL (UTF-8) with the default program, without waiting for it.
// Returns whether the program was started.
bool shell_open(const std::string& target);

// Shows a modal information box and returns when the user closes it. Where no desktop
// dialog can be shown the text goes to standard error.
void show_message_box(const std::string& caption, const std::string& text);

// Whether this process runs with administrator rights.
bool is_user_an_admin();

// Starts this executable again with administrator rights and the given parameter text,
// in the executable's folder. Returns whether the elevated copy starts. Platforms without
// an elevation step return false.
bool restart_elevated(const std::string& parameters);

// Declares the process aware of each monitor's own scaling, so that coordinates are
// physical pixels. Nothing to do where the platform has no such mode.
void declare_dpi_awareness();

}  // namespace morvane

#endif  // MORVANE_CORE_SHELL_SHELL_H_
