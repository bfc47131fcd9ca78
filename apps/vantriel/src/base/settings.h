// The settings file "vantriel.ini" in the data folder: an INI file written for people,
// with a comment above every key. Single values are rewritten in place so comments,
// order and unknown lines survive. Nothing is cached: every reader loads the file anew,
// so edits made by hand are seen at the next use.
#ifndef VANTRIEL_BASE_SETTINGS_H_
#define VANTRIEL_BASE_SETTINGS_H_

#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "base/data_folder.h"
#include "morvane/core/result.h"

namespace vantriel {

inline constexpr std::string_view kSettingsFileName = "vantriel.ini";

// The text "vantriel.ini" is created with (LF line ends here; CR LF on disk). Parsed, it
// supplies the default of every key.
extern const std::string_view kSettingsTemplate;

// (section, key) -> value; names lower case, values trimmed text.
class Settings {
 public:
  using Map = std::map<std::pair<std::string, std::string>, std::string>;

  // Empty text when the pair is absent.
  const std::string& get(std::string_view section, std::string_view key) const;
  void set(std::string section, std::string key, std::string value);
  const Map& values() const { return values_; }

 private:
  Map values_;
};

// Parses INI text: sections and keys lower-cased, values trimmed, " ;" starts an inline
// comment, surrounding double quotes dropped, later pairs replace earlier ones.
Settings parse_settings(std::string_view text);

std::string setting(const Settings& settings, std::string_view section, std::string_view key);

// The values of the settings file in `folder` laid over the template's defaults. Creates
// the file from the template when it is missing. Never fails: an unreadable or non-UTF-8
// file gives the defaults.
Settings load_settings(const DataFolder& folder);

// Creates the settings file from the template when it is missing, as loading does; the
// reason when that failed (the host logs it at start; loading itself goes on with the
// defaults).
morvane::Status create_settings_file(const DataFolder& folder);

// Rewrites the line of `key` in `section` that loading reads (the last one, when the key
// is written more than once), or adds one, and replaces the whole file. Writers inside
// this process are serialised by the file's lock, so concurrent calls never lose a change.
morvane::Status set_setting(const DataFolder& folder, std::string_view section,
                            std::string_view key, std::string_view value);

// The text `set_setting` would store for `file_text` (for tests; pure).
std::string apply_setting(std::string_view file_text, std::string_view section,
                          std::string_view key, std::string_view value);

// Whether a switch reads as off: trimmed and lower-cased it is "0", "no", "off" or "false".
bool setting_is_off(std::string_view value);

}  // namespace vantriel

#endif  // VANTRIEL_BASE_SETTINGS_H_
