#include "base/page_settings.h"

#include <array>

#include "base/setting_names.h"

namespace vantriel {
namespace {

// The keys the program knows, in the order the settings document and saving walk them.
constexpr std::array<SettingKey, 12> kKeyTable = {{
    {kGeneralSection, kNameKey},
    {kGeneralSection, kLanguageKey},
    {kGeneralSection, kCheckForUpdatesKey},
    {kGeneralSection, kServerKey},
    {kReceiveSection, kAvailableKey},
    {kReceiveSection, kAllowControlKey},
    {kReceiveSection, kSharePcSoundKey},
    {kReceiveSection, kQualityKey},
    {kReceiveSection, kFpsKey},
    {kReceiveSection, kRequestSoundKey},
    {kCallSection, kMicrophoneKey},
    {kCallSection, kVoiceProcessingKey},
}};

constexpr std::array<std::string_view, 3> kSections = {kGeneralSection, kReceiveSection,
                                                       kCallSection};

}  // namespace

std::span<const SettingKey> page_setting_keys() { return kKeyTable; }

std::span<const std::string_view> page_setting_sections() { return kSections; }

}  // namespace vantriel
