#include "main/command_line.h"

#include <algorithm>

namespace vantriel {

std::optional<std::uint32_t> parse_unsigned(const std::string& text, std::uint32_t max) {
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > max) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

std::uint32_t first_port(const std::optional<std::string>& vtr_port) {
  if (!vtr_port) return 8800;
  return parse_unsigned(*vtr_port, 65535).value_or(8800);
}

CommandLine parse_command_line(std::vector<std::string> args) {
  CommandLine cl;
  cl.args = std::move(args);
  const auto& a = cl.args;
  auto has = [&a](const char* s) { return std::find(a.begin(), a.end(), s) != a.end(); };

  cl.installer = parse_installer_arguments(cl.args);
  cl.print_version = has("--version");
  cl.startup = has("--startup");
  cl.no_elevate = has("--no-elevate");
  cl.no_window = has("--no-window");
  cl.no_tray = has("--no-tray");
  return cl;
}

}  // namespace vantriel
