#include "base/page_settings.h"

#include <array>

namespace vantriel {
namespace {

// The keys the program knows, in the order the settings document and saving walk them.
constexpr std::array<SettingKey, 12> kKeyTable = {{
    {"general", "nombre"},
    {"general", "idioma"},
    {"general", "buscar_actualizaciones"},
    {"general", "servidor"},
    {"recibir", "disponible"},
    {"recibir", "permitir_control"},
    {"recibir", "compartir_audio"},
    {"recibir", "calidad"},
    {"recibir", "fps"},
    {"recibir", "sonido"},
    {"llamada", "microfono"},
    {"llamada", "procesar_voz"},
}};

constexpr std::array<std::string_view, 3> kSections = {"general", "recibir", "llamada"};

}  // namespace

std::span<const SettingKey> page_setting_keys() { return kKeyTable; }

std::span<const std::string_view> page_setting_sections() { return kSections; }

}  // namespace vantriel
