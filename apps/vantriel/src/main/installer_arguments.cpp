#include "main/installer_arguments.h"

#include <algorithm>
#include <cstdint>

#include "main/command_line.h"

namespace vantriel {

std::optional<InstallerArguments> parse_installer_arguments(const std::vector<std::string>& args) {
  const auto& a = args;
  auto value_after = [&a](const char* s) -> std::optional<std::string> {
    auto it = std::find(a.begin(), a.end(), s);
    if (it == a.end() || it + 1 == a.end()) return std::nullopt;
    return *(it + 1);
  };
  auto has = [&a](const char* s) { return std::find(a.begin(), a.end(), s) != a.end(); };

  auto apply = std::find(a.begin(), a.end(), "--apply-update");
  if (apply == a.end() || a.end() - apply < 3) return std::nullopt;
  InstallerArguments in;
  in.first = *(apply + 1);
  in.second = *(apply + 2);
  if (a.end() - apply >= 4) in.number = parse_unsigned(*(apply + 3), UINT32_MAX).value_or(0);
  in.version = value_after("--version");
  in.from_version = value_after("--from-version");
  in.quiet = has("--quiet");
  in.no_relaunch = has("--no-relaunch");
  return in;
}

}  // namespace vantriel
