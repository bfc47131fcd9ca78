// Reads the body of a remote input request ({"mon": N, "ev": [events]}) straight from its
// text into plain event values, without building a JSON tree: a batch of hundreds of
// events arrives many times a second while the technician moves the mouse.
//
// The text is accepted exactly when the host's generic body rule accepts it (valid UTF-8,
// one JSON value, nesting no deeper than the limit given, a NUL byte after the value ending
// the text as it ends it for the generic reader); anything else, like a body that
// is not an object, reads as an empty batch for monitor 0. Within the body, duplicated
// members take their last value, as the generic reading does.
#ifndef VANTRIEL_INPUT_INPUT_BATCH_H_
#define VANTRIEL_INPUT_INPUT_BATCH_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantriel {

// One element of "ev", with only the members the decoder reads, each present when it has
// the JSON type the decoder wants.
struct InputEvent {
  enum class Kind : uint8_t {
    kIgnored,     // not an object, or "k" missing, not a string, or unknown
    kMove,        // "m"
    kButtonDown,  // "d"
    kButtonUp,    // "u"
    kWheel,       // "w"
    kKeyDown,     // "kd"
    kKeyUp,       // "ku"
    kText,        // "t"
    kReleaseAll,  // "rel"
  };

  Kind kind = Kind::kIgnored;
  std::optional<double> x, y;                       // "x", "y": JSON numbers
  std::optional<int64_t> button, wheel_x, wheel_y;  // "b", "dx", "dy": JSON integers,
                                                    // saturated to the int64 range
  std::optional<std::string> code;                  // "c": a JSON string
  std::optional<std::string> text;                  // "s": a JSON string

  bool operator==(const InputEvent&) const = default;
};

struct InputBatch {
  // "mon" when a non-negative JSON integer (saturated to INT32_MAX), else 0.
  int monitor = 0;
  // The first kMaxEventsPerBatch elements of "ev" when it is an array; the rest are
  // checked as JSON and dropped.
  std::vector<InputEvent> events;

  bool operator==(const InputBatch&) const = default;
};

// At most this many events of a batch are applied; the rest are ignored.
inline constexpr std::size_t kMaxEventsPerBatch = 400;

InputBatch read_input_batch(std::string_view body, int max_depth);

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_INPUT_BATCH_H_
