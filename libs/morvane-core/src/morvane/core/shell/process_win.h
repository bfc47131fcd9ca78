// Text and process helpers shared by the Windows halves of the shell and the tray: UTF-8
// to UTF-16 and back, command lines that CommandLineToArgvW and the C runtime split back
// into the same arguments, and the system's text for an error code.
#ifndef MORVANE_CORE_SHELL_PROCESS_WIN_H_
#define MORVANE_CORE_SHELL_PROCESS_WIN_H_

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace morvane::win {

std::wstring wide(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string narrow(std::wstring_view utf16);

// One argument quoted so that the receiving program's argument parser gives it back
// unchanged: blanks, double quotes and the backslashes in front of them.
std::wstring quote_argument(std::wstring_view argument);
// `program` quoted, then each argument quoted, separated by blanks.
std::wstring command_line(std::wstring_view program, const std::vector<std::string>& arguments);

// The system's description of `code`, trimmed, in UTF-8 ("error N" when it has none).
std::string error_text(DWORD code);

}  // namespace morvane::win

#endif  // MORVANE_CORE_SHELL_PROCESS_WIN_H_
