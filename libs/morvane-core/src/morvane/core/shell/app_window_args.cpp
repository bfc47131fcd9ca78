// Reading a browser's command line: which user data folder it runs with, and whether that
// is the program's profile folder.
#include <filesystem>

#include "morvane/core/shell/app_window.h"
#include "morvane/core/text/ascii.h"

namespace morvane {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

std::size_t find_ignoring_case(std::string_view text, std::string_view needle) {
  if (needle.size() > text.size()) return std::string_view::npos;
  for (std::size_t i = 0; i + needle.size() <= text.size(); ++i) {
    std::size_t j = 0;
    while (j < needle.size() && ascii_lower(text[i + j]) == needle[j]) ++j;
    if (j == needle.size()) return i;
  }
  return std::string_view::npos;
}

std::string normalise_folder(std::string_view folder, FolderRules rules) {
  while (!folder.empty() && folder.front() == '"') folder.remove_prefix(1);
  while (!folder.empty() && folder.back() == '"') folder.remove_suffix(1);
  std::string out;
  out.reserve(folder.size());
  for (char c : folder) {
    if (rules == FolderRules::kWindows) {
      out.push_back(c == '/' ? '\\' : ascii_lower(c));
    } else if (!(c == '/' && !out.empty() && out.back() == '/')) {
      // POSIX reads "a//b" as "a/b"; a backslash is an ordinary character there.
      out.push_back(c);
    }
  }
  const char separator = rules == FolderRules::kWindows ? '\\' : '/';
  while (!out.empty() && out.back() == separator) out.pop_back();
  return out;
}

}  // namespace

std::optional<std::string> user_data_dir_argument(std::string_view command_line) {
  constexpr std::string_view kSwitch = "--user-data-dir=";
  std::size_t at = find_ignoring_case(command_line, kSwitch);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = command_line.substr(at + kSwitch.size());
  std::string_view value;
  if (!rest.empty() && rest.front() == '"') {
    rest.remove_prefix(1);
    value = rest.substr(0, rest.find('"'));
  } else {
    value = trim(rest.substr(0, rest.find(" --")));
  }
  if (value.empty()) return std::nullopt;
  return std::string(value);
}

bool same_profile_folder(std::string_view a, std::string_view b, FolderRules rules) {
  std::string left = normalise_folder(a, rules);
  // An empty text names no folder; it must never match (it would end unrelated browsers).
  return !left.empty() && left == normalise_folder(b, rules);
}

bool same_profile_folder(std::string_view a, std::string_view b) {
  constexpr FolderRules kHere = std::filesystem::path::preferred_separator == '\\'
                                    ? FolderRules::kWindows
                                    : FolderRules::kPosix;
  return same_profile_folder(a, b, kHere);
}

}  // namespace morvane
