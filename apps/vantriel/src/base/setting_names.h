// The sections and keys of the settings file, spelt as the file has them: people edit the
// file by hand and older versions read it, so these names never change.
#ifndef VANTRIEL_BASE_SETTING_NAMES_H_
#define VANTRIEL_BASE_SETTING_NAMES_H_

#include <string_view>

namespace vantriel {

inline constexpr std::string_view kGeneralSection = "general";
inline constexpr std::string_view kNameKey = "nombre";  // the name the other side sees
inline constexpr std::string_view kLanguageKey = "idioma";
inline constexpr std::string_view kCheckForUpdatesKey = "buscar_actualizaciones";
inline constexpr std::string_view kServerKey = "servidor";  // the signalling server

// How this PC receives help.
inline constexpr std::string_view kReceiveSection = "recibir";
inline constexpr std::string_view kAvailableKey = "disponible";
inline constexpr std::string_view kAllowControlKey = "permitir_control";
inline constexpr std::string_view kSharePcSoundKey = "compartir_audio";
inline constexpr std::string_view kQualityKey = "calidad";
inline constexpr std::string_view kFpsKey = "fps";
inline constexpr std::string_view kRequestSoundKey = "sonido";  // a sound when someone asks

// Voice calls.
inline constexpr std::string_view kCallSection = "llamada";
inline constexpr std::string_view kMicrophoneKey = "microfono";
inline constexpr std::string_view kVoiceProcessingKey = "procesar_voz";

}  // namespace vantriel

#endif  // VANTRIEL_BASE_SETTING_NAMES_H_
