#include "main/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include "morvane/core/text/utf16.h"

namespace vantriel {

// main's argv holds the ANSI code page's version of the arguments; the wide command line
// keeps every character.
std::vector<std::string> command_line_arguments(int, char**) {
  std::vector<std::string> out;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return out;
  for (int i = 1; i < count; ++i) out.push_back(morvane::wide_to_utf8(wide[i]));
  LocalFree(wide);
  return out;
}

}  // namespace vantriel
