// Browser key codes (KeyboardEvent.code) to what Windows injects for them: a set-1 scan
// code (with the extended-key prefix where the key has one) or, for a few keys that
// have no dependable scan code, a virtual key.
#ifndef VANTRIEL_INPUT_KEY_CODES_H_
#define VANTRIEL_INPUT_KEY_CODES_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace vantriel {

struct KeyCode {
  uint16_t scan = 0;      // set-1 scan code; 0 when sent by virtual key
  bool extended = false;  // sent with the E0 prefix (KEYEVENTF_EXTENDEDKEY)
  uint16_t vk = 0;        // virtual key; 0 when sent by scan code
};

// The key for `code`, matched exactly; nullopt for a code this program does not inject.
std::optional<KeyCode> lookup_key_code(std::string_view code);

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_KEY_CODES_H_
