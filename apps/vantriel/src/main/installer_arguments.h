// What "--apply-update" on the command line hands to the installer: the update's source
// and the install folder, the process to wait for, and the installer's own switches.
#ifndef VANTRIEL_MAIN_INSTALLER_ARGUMENTS_H_
#define VANTRIEL_MAIN_INSTALLER_ARGUMENTS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantriel {

struct InstallerArguments {
  std::string first;   // the two positional values that follow the switch
  std::string second;
  std::uint32_t number = 0;  // the third following argument, when it is a number
  std::optional<std::string> version;
  std::optional<std::string> from_version;
  bool quiet = false;
  bool no_relaunch = false;
};

// The installer's arguments when `args` (without the program path) hold "--apply-update"
// and the two values after it; nothing otherwise.
std::optional<InstallerArguments> parse_installer_arguments(const std::vector<std::string>& args);

}  // namespace vantriel

#endif  // VANTRIEL_MAIN_INSTALLER_ARGUMENTS_H_
