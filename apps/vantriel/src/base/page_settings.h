// The settings the page shows and saves: which sections and keys of the settings file it
// may read and write, in the order of the file's template.
#ifndef VANTRIEL_BASE_PAGE_SETTINGS_H_
#define VANTRIEL_BASE_PAGE_SETTINGS_H_

#include <span>
#include <string_view>

namespace vantriel {

// A key the page may read and write, in the order of the template.
struct SettingKey {
  std::string_view section;
  std::string_view key;
};
std::span<const SettingKey> page_setting_keys();
// The sections of page_setting_keys(), in the template's order.
std::span<const std::string_view> page_setting_sections();

}  // namespace vantriel

#endif  // VANTRIEL_BASE_PAGE_SETTINGS_H_
