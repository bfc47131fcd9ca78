#include "main/command_line.h"

#include <windows.h>
#include <shellapi.h>

namespace vantriel {

// main's argv holds the ANSI code page's version of the arguments; the wide command line
// keeps every character.
std::vector<std::string> command_line_arguments(int, char**) {
  std::vector<std::string> out;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return out;
  for (int i = 1; i < count; ++i) {
    int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(static_cast<std::size_t>(n > 0 ? n - 1 : 0), '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), n, nullptr, nullptr);
    out.push_back(std::move(arg));
  }
  LocalFree(wide);
  return out;
}

}  // namespace vantriel
