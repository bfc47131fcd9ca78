#include "base/display_name.h"

#include "base/environment.h"
#include "base/setting_names.h"
#include "base/settings.h"
#include "morvane/core/text/utf8.h"

namespace vantriel {

std::string display_name(const DataFolder& folder) {
  std::string name = morvane::trim_unicode(setting(load_settings(folder), kGeneralSection, kNameKey));
  if (name.empty()) {
    if (auto computer = env_var("COMPUTERNAME")) {
      name = std::move(*computer);
    } else if (auto host = env_var("HOSTNAME")) {
      name = std::move(*host);
    } else if (auto system = system_host_name()) {
      name = std::move(*system);
    } else {
      name = "PC";
    }
  }
  return morvane::utf8_prefix(name, 32);
}

}  // namespace vantriel
