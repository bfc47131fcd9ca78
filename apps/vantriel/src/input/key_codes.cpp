#include "input/key_codes.h"

#include <array>
#include <utility>

namespace vantriel {
namespace {

struct NamedKey {
  std::string_view code;
  KeyCode key;
};

constexpr KeyCode scan(uint16_t s) { return KeyCode{s, false, 0}; }
constexpr KeyCode ext(uint16_t s) { return KeyCode{s, true, 0}; }
constexpr KeyCode vk(uint16_t v) { return KeyCode{0, false, v}; }

// Scan codes of "KeyA" to "KeyZ", by letter.
constexpr std::array<uint16_t, 26> kLetterScan = {
    0x1E, 0x30, 0x2E, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17, 0x24, 0x25, 0x26, 0x32,
    0x31, 0x18, 0x19, 0x10, 0x13, 0x1F, 0x14, 0x16, 0x2F, 0x11, 0x2D, 0x15, 0x2C};

// Every named key other than letters, digits and function keys. The virtual-key
// entries come last: a code is looked up among scan codes first.
constexpr NamedKey kNamedKeys[] = {
    {"Escape", scan(0x01)},        {"Minus", scan(0x0C)},
    {"Equal", scan(0x0D)},         {"Backspace", scan(0x0E)},
    {"Tab", scan(0x0F)},           {"BracketLeft", scan(0x1A)},
    {"BracketRight", scan(0x1B)},  {"Enter", scan(0x1C)},
    {"ControlLeft", scan(0x1D)},   {"Semicolon", scan(0x27)},
    {"Quote", scan(0x28)},         {"Backquote", scan(0x29)},
    {"ShiftLeft", scan(0x2A)},     {"Backslash", scan(0x2B)},
    {"Comma", scan(0x33)},         {"Period", scan(0x34)},
    {"Slash", scan(0x35)},         {"ShiftRight", scan(0x36)},
    {"NumpadMultiply", scan(0x37)}, {"AltLeft", scan(0x38)},
    {"Space", scan(0x39)},         {"CapsLock", scan(0x3A)},
    {"ScrollLock", scan(0x46)},    {"Numpad7", scan(0x47)},
    {"Numpad8", scan(0x48)},       {"Numpad9", scan(0x49)},
    {"NumpadSubtract", scan(0x4A)}, {"Numpad4", scan(0x4B)},
    {"Numpad5", scan(0x4C)},       {"Numpad6", scan(0x4D)},
    {"NumpadAdd", scan(0x4E)},     {"Numpad1", scan(0x4F)},
    {"Numpad2", scan(0x50)},       {"Numpad3", scan(0x51)},
    {"Numpad0", scan(0x52)},       {"NumpadDecimal", scan(0x53)},
    {"IntlBackslash", scan(0x56)}, {"IntlRo", scan(0x73)},
    {"IntlYen", scan(0x7D)},       {"NumpadEnter", ext(0x1C)},
    {"ControlRight", ext(0x1D)},   {"NumpadDivide", ext(0x35)},
    {"PrintScreen", ext(0x37)},    {"AltRight", ext(0x38)},
    {"Home", ext(0x47)},           {"ArrowUp", ext(0x48)},
    {"PageUp", ext(0x49)},         {"ArrowLeft", ext(0x4B)},
    {"ArrowRight", ext(0x4D)},     {"End", ext(0x4F)},
    {"ArrowDown", ext(0x50)},      {"PageDown", ext(0x51)},
    {"Insert", ext(0x52)},         {"Delete", ext(0x53)},
    {"MetaLeft", ext(0x5B)},       {"OSLeft", ext(0x5B)},
    {"MetaRight", ext(0x5C)},      {"OSRight", ext(0x5C)},
    {"ContextMenu", ext(0x5D)},
    {"Pause", vk(0x13)},           {"NumLock", vk(0x90)},
    {"AudioVolumeMute", vk(0xAD)}, {"AudioVolumeDown", vk(0xAE)},
    {"AudioVolumeUp", vk(0xAF)},   {"MediaTrackNext", vk(0xB0)},
    {"MediaTrackPrevious", vk(0xB1)}, {"MediaPlayPause", vk(0xB3)},
};

// "F1".."F24" as a number, 0 otherwise ("F0", "F25", "F01" are not keys).
int function_key_number(std::string_view code) {
  if (code.size() < 2 || code.size() > 3 || code[0] != 'F' || code[1] < '1' || code[1] > '9') {
    return 0;
  }
  int n = code[1] - '0';
  if (code.size() == 3) {
    if (code[2] < '0' || code[2] > '9') return 0;
    n = n * 10 + (code[2] - '0');
  }
  return n <= 24 ? n : 0;
}

}  // namespace

std::optional<KeyCode> lookup_key_code(std::string_view code) {
  if (code.size() == 4 && code.substr(0, 3) == "Key" && code[3] >= 'A' && code[3] <= 'Z') {
    return scan(kLetterScan[static_cast<std::size_t>(code[3] - 'A')]);
  }
  if (code.size() == 6 && code.substr(0, 5) == "Digit" && code[5] >= '0' && code[5] <= '9') {
    // Digit1..Digit9 are 02..0A, Digit0 follows them at 0B.
    return scan(code[5] == '0' ? 0x0B : static_cast<uint16_t>(0x01 + (code[5] - '0')));
  }
  if (int f = function_key_number(code); f != 0) {
    if (f <= 10) return scan(static_cast<uint16_t>(0x3B + f - 1));
    if (f <= 12) return scan(static_cast<uint16_t>(0x57 + f - 11));
    return scan(static_cast<uint16_t>(0x64 + f - 13));
  }
  for (const NamedKey& k : kNamedKeys) {
    if (k.code == code) return k.key;
  }
  return std::nullopt;
}

}  // namespace vantriel
