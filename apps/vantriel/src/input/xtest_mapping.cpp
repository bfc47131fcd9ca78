#include "input/xtest_mapping.h"

#include <algorithm>
#include <cmath>

#include "input/input_sink.h"

namespace vantriel {
namespace {

struct Pair {
  uint16_t from;
  int to;
};

// E0-prefixed scan codes and their evdev codes.
constexpr Pair kExtendedScan[] = {
    {0x1C, 96},  {0x1D, 97},  {0x35, 98},  {0x37, 99},  {0x38, 100}, {0x47, 102},
    {0x48, 103}, {0x49, 104}, {0x4B, 105}, {0x4D, 106}, {0x4F, 107}, {0x50, 108},
    {0x51, 109}, {0x52, 110}, {0x53, 111}, {0x5B, 125}, {0x5C, 126}, {0x5D, 127},
    {0x20, 113}, {0x2E, 114}, {0x30, 115}, {0x19, 163}, {0x10, 165}, {0x22, 164},
    {0x24, 166}, {0x5E, 116}, {0x5F, 142},
};

// Plain scan codes past the range where scan code and evdev code agree.
constexpr Pair kHighScan[] = {
    {0x70, 93}, {0x73, 89}, {0x79, 92}, {0x7B, 94}, {0x7D, 124},
};

struct VirtualKey {
  uint16_t vk;
  uint32_t keysym;
  int evdev;
};

constexpr VirtualKey kVirtualKeys[] = {
    {0x13, 0xFF13, 119},      // Pause
    {0x90, 0xFF7F, 69},       // Num_Lock
    {0xAD, 0x1008FF12, 113},  // XF86AudioMute
    {0xAE, 0x1008FF11, 114},  // XF86AudioLowerVolume
    {0xAF, 0x1008FF13, 115},  // XF86AudioRaiseVolume
    {0xB0, 0x1008FF17, 163},  // XF86AudioNext
    {0xB1, 0x1008FF16, 165},  // XF86AudioPrev
    {0xB3, 0x1008FF14, 164},  // XF86AudioPlay
};

const VirtualKey* find_virtual_key(uint16_t vk) {
  const auto it = std::find_if(std::begin(kVirtualKeys), std::end(kVirtualKeys),
                               [vk](const VirtualKey& k) { return k.vk == vk; });
  return it == std::end(kVirtualKeys) ? nullptr : &*it;
}

}  // namespace

int evdev_code_for_scan(uint16_t scan, bool extended) {
  if (extended) {
    for (const Pair& p : kExtendedScan) {
      if (p.from == scan) return p.to;
    }
    return 0;
  }
  // Escape (01) to F12 (58): the Linux keyboard driver numbers these keys by their
  // set-1 scan code.
  if (scan >= 0x01 && scan <= 0x58) return scan;
  // F13..F24 at 64..6F.
  if (scan >= 0x64 && scan <= 0x6F) return 183 + (scan - 0x64);
  for (const Pair& p : kHighScan) {
    if (p.from == scan) return p.to;
  }
  return 0;
}

uint32_t keysym_for_virtual_key(uint16_t vk) {
  const VirtualKey* k = find_virtual_key(vk);
  return k == nullptr ? 0 : k->keysym;
}

int evdev_code_for_virtual_key(uint16_t vk) {
  const VirtualKey* k = find_virtual_key(vk);
  return k == nullptr ? 0 : k->evdev;
}

uint32_t keysym_for_char(char32_t ch) {
  switch (ch) {
    case U'\t': return 0xFF09;
    case U'\b': return 0xFF08;
    case U'\x1B': return 0xFF1B;
    default: break;
  }
  if ((ch >= 0x20 && ch <= 0x7E) || (ch >= 0xA0 && ch <= 0xFF)) return ch;
  return 0x01000000u + static_cast<uint32_t>(ch);
}

int pixel_for_absolute(int32_t absolute, int size) {
  if (size <= 1) return 0;
  const double p = std::round(std::clamp(absolute, 0, 65535) * (size - 1.0) / 65535.0);
  return std::clamp(static_cast<int>(p), 0, size - 1);
}

char32_t TypedUnits::press(uint16_t unit, bool down) {
  if (!down) return 0;
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    high_ = unit;
    return 0;
  }
  char32_t ch = unit;
  if (unit >= 0xDC00 && unit <= 0xDFFF) {
    if (high_ == 0) return 0;
    ch = 0x10000 + ((char32_t{high_} - 0xD800) << 10) + (unit - 0xDC00);
  }
  high_ = 0;
  return ch;
}

int WheelAccumulator::add(int32_t data) {
  // A turn the other way starts afresh rather than first paying back the old remainder.
  if ((data > 0 && rest_ < 0) || (data < 0 && rest_ > 0)) rest_ = 0;
  const int64_t total = int64_t{rest_} + data;
  const int64_t notches = total / kWheelDelta;  // towards zero
  rest_ = static_cast<int32_t>(total - notches * kWheelDelta);
  return static_cast<int>(std::clamp<int64_t>(notches, -1000, 1000));
}

}  // namespace vantriel
