// Reading the command line and the environment at start-up: which mode the process runs
// in, its switches, and the first port to try.
#ifndef VANTRIEL_MAIN_COMMAND_LINE_H_
#define VANTRIEL_MAIN_COMMAND_LINE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "main/installer_arguments.h"

namespace vantriel {

struct CommandLine {
  std::vector<std::string> args;  // without the program path
  std::optional<InstallerArguments> installer;
  bool print_version = false;
  bool startup = false;
  bool no_elevate = false;
  bool no_window = false;
  bool no_tray = false;
};

CommandLine parse_command_line(std::vector<std::string> args);

// An unsigned 32-bit (or 16-bit) decimal with an optional leading "+", digits only.
std::optional<std::uint32_t> parse_unsigned(const std::string& text, std::uint32_t max);

// The first port to try, from the value of VTR_PORT (nothing when unset): 8800 unless the
// value is such a number no greater than 65535.
std::uint32_t first_port(const std::optional<std::string>& vtr_port);

// The process's arguments as UTF-8 text, split by the platform's rules.
std::vector<std::string> command_line_arguments(int argc, char** argv);

}  // namespace vantriel

#endif  // VANTRIEL_MAIN_COMMAND_LINE_H_
