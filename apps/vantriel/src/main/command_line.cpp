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
  auto value_after = [&a](const char* s) -> std::optional<std::string> {
    auto it = std::find(a.begin(), a.end(), s);
    if (it == a.end() || it + 1 == a.end()) return std::nullopt;
    return *(it + 1);
  };

  auto apply = std::find(a.begin(), a.end(), "--apply-update");
  if (apply != a.end() && a.end() - apply >= 3) {
    InstallerArguments in;
    in.first = *(apply + 1);
    in.second = *(apply + 2);
    if (a.end() - apply >= 4) in.number = parse_unsigned(*(apply + 3), UINT32_MAX).value_or(0);
    in.version = value_after("--version");
    in.from_version = value_after("--from-version");
    in.quiet = has("--quiet");
    in.no_relaunch = has("--no-relaunch");
    cl.installer = std::move(in);
  }
  cl.print_version = has("--version");
  cl.startup = has("--startup");
  cl.no_elevate = has("--no-elevate");
  cl.no_window = has("--no-window");
  cl.no_tray = has("--no-tray");
  return cl;
}

std::string elevation_parameters(const std::vector<std::string>& args) {
  std::string out;
  for (const std::string& arg : args) {
    if (arg != "--no-elevate") out += "\"" + arg + "\" ";
  }
  out += "\"--no-elevate\" ";
  return out;
}

}  // namespace vantriel
