#include "input/input_batch.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "morvane/core/text/ascii.h"
#include "morvane/core/text/utf8.h"

namespace vantriel {
namespace {

// A JSON number, classified as the generic reader classifies it: a token without
// fraction or exponent is an integer when it fits (signed when it starts with '-',
// unsigned otherwise); anything else is a floating value, which must be finite.
struct Number {
  enum class Type { kUnsigned, kSigned, kFloat } type = Type::kFloat;
  uint64_t unsigned_value = 0;
  int64_t signed_value = 0;
  double float_value = 0;

  // Classifies `token`, already checked against the JSON grammar; false when it is a
  // floating value out of the double range.
  bool set(std::string_view token, bool has_fraction_or_exponent) {
    const char* first = token.data();
    const char* last = first + token.size();
    if (!has_fraction_or_exponent) {
      if (*first != '-') {
        auto [end, error] = std::from_chars(first, last, unsigned_value);
        if (error == std::errc() && end == last) {
          type = Type::kUnsigned;
          return true;
        }
      } else {
        auto [end, error] = std::from_chars(first, last, signed_value);
        if (error == std::errc() && end == last) {
          type = Type::kSigned;
          return true;
        }
      }
    }
    type = Type::kFloat;
    auto [end, error] = std::from_chars(first, last, float_value);
    if (error == std::errc::result_out_of_range) {
      // Overflow is refused below; a value too small for a double reads as strtod gives it.
      float_value = std::strtod(std::string(token).c_str(), nullptr);
    } else if (error != std::errc() || end != last) {
      return false;
    }
    return std::isfinite(float_value);
  }

  double as_double() const {
    switch (type) {
      case Type::kUnsigned:
        return static_cast<double>(unsigned_value);
      case Type::kSigned:
        return static_cast<double>(signed_value);
      case Type::kFloat:
        break;
    }
    return float_value;
  }
  // Integers saturated to int64 (an unsigned value above INT64_MAX reads as INT64_MAX);
  // none for floating values.
  std::optional<int64_t> as_integer() const {
    switch (type) {
      case Type::kUnsigned:
        return std::min<uint64_t>(unsigned_value, static_cast<uint64_t>(INT64_MAX));
      case Type::kSigned:
        return signed_value;
      case Type::kFloat:
        break;
    }
    return std::nullopt;
  }
};

InputEvent::Kind kind_of(std::string_view k) {
  using Kind = InputEvent::Kind;
  if (k == "m") return Kind::kMove;
  if (k == "d") return Kind::kButtonDown;
  if (k == "u") return Kind::kButtonUp;
  if (k == "w") return Kind::kWheel;
  if (k == "kd") return Kind::kKeyDown;
  if (k == "ku") return Kind::kKeyUp;
  if (k == "t") return Kind::kText;
  if (k == "rel") return Kind::kReleaseAll;
  return Kind::kIgnored;
}

// A strict JSON reader over text already known to be valid UTF-8. Every read_* function
// returns false on the first fault; the reader is then done.
class BatchReader {
 public:
  BatchReader(std::string_view text, int max_depth)
      : p_(text.data()), end_(text.data() + text.size()), max_depth_(max_depth) {}

  bool read(InputBatch& batch) {
    // A byte order mark may open the text.
    if (end_ - p_ >= 3 && std::string_view(p_, 3) == "\xEF\xBB\xBF") p_ += 3;
    skip_space();
    bool ok;
    if (p_ < end_ && *p_ == '{') {
      ok = read_object(1, [&](std::string_view key, int depth) {
        if (key == "mon") return read_monitor(batch.monitor);
        if (key == "ev") return read_events(depth, batch.events);
        return skip_value(depth);
      });
    } else {
      ok = skip_value(0);
    }
    skip_space();
    // Like the generic reader, a NUL byte after the value ends the text.
    return ok && (p_ == end_ || *p_ == '\0');
  }

 private:
  void skip_space() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  bool at(char c) const { return p_ < end_ && *p_ == c; }

  // Reads `{...}` (the reader at '{'), calling on_member(key, depth) with the reader at
  // each member's value; the callback reads that value.
  template <typename OnMember>
  bool read_object(int depth, OnMember&& on_member) {
    if (depth > max_depth_) return false;
    ++p_;
    skip_space();
    if (at('}')) {
      ++p_;
      return true;
    }
    for (;;) {
      if (!at('"') || !read_string(&key_)) return false;
      skip_space();
      if (!at(':')) return false;
      ++p_;
      skip_space();
      if (!on_member(std::string_view(key_), depth)) return false;
      skip_space();
      if (at(',')) {
        ++p_;
        skip_space();
        continue;
      }
      if (!at('}')) return false;
      ++p_;
      return true;
    }
  }

  // Reads `[...]` (the reader at '['), calling on_element(depth) at each element.
  template <typename OnElement>
  bool read_array(int depth, OnElement&& on_element) {
    if (depth > max_depth_) return false;
    ++p_;
    skip_space();
    if (at(']')) {
      ++p_;
      return true;
    }
    for (;;) {
      if (!on_element(depth)) return false;
      skip_space();
      if (at(',')) {
        ++p_;
        skip_space();
        continue;
      }
      if (!at(']')) return false;
      ++p_;
      return true;
    }
  }

  // Any value, checked and dropped. `depth` is that of the enclosing container.
  bool skip_value(int depth) {
    if (p_ >= end_) return false;
    switch (*p_) {
      case '{':
        return read_object(depth + 1, [this](std::string_view, int d) { return skip_value(d); });
      case '[':
        return read_array(depth + 1, [this](int d) { return skip_value(d); });
      case '"':
        return read_string(nullptr);
      case 't':
        return read_literal("true");
      case 'f':
        return read_literal("false");
      case 'n':
        return read_literal("null");
      default: {
        Number number;
        return read_number(number);
      }
    }
  }

  bool read_literal(std::string_view word) {
    if (static_cast<size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word)
      return false;
    p_ += word.size();
    return true;
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
  bool read_number(Number& number) {
    const char* start = p_;
    const auto digits = [this] {
      const char* first = p_;
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
      return p_ > first;
    };
    if (at('-')) ++p_;
    if (at('0')) {
      ++p_;
    } else if (p_ >= end_ || *p_ < '1' || *p_ > '9' || !digits()) {
      return false;
    }
    bool has_fraction_or_exponent = false;
    if (at('.')) {
      ++p_;
      if (!digits()) return false;
      has_fraction_or_exponent = true;
    }
    if (at('e') || at('E')) {
      ++p_;
      if (at('+') || at('-')) ++p_;
      if (!digits()) return false;
      has_fraction_or_exponent = true;
    }
    return number.set(std::string_view(start, static_cast<size_t>(p_ - start)),
                      has_fraction_or_exponent);
  }

  // The reader at '"'. Decodes into *out unless out is null.
  bool read_string(std::string* out) {
    ++p_;
    if (out) out->clear();
    for (;;) {
      const char* run = p_;
      while (p_ < end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20)
        ++p_;
      if (out) out->append(run, static_cast<size_t>(p_ - run));
      if (p_ >= end_ || static_cast<unsigned char>(*p_) < 0x20) return false;
      if (*p_ == '"') {
        ++p_;
        return true;
      }
      ++p_;  // the backslash
      if (p_ >= end_) return false;
      char escaped = *p_++;
      char plain = 0;
      switch (escaped) {
        case '"':
          plain = '"';
          break;
        case '\\':
          plain = '\\';
          break;
        case '/':
          plain = '/';
          break;
        case 'b':
          plain = '\b';
          break;
        case 'f':
          plain = '\f';
          break;
        case 'n':
          plain = '\n';
          break;
        case 'r':
          plain = '\r';
          break;
        case 't':
          plain = '\t';
          break;
        case 'u': {
          char32_t unit = 0;
          if (!read_hex4(unit)) return false;
          if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
          if (unit >= 0xD800 && unit <= 0xDBFF) {
            char32_t low = 0;
            if (!read_literal("\\u") || !read_hex4(low) || low < 0xDC00 || low > 0xDFFF)
              return false;
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          }
          if (out) morvane::append_utf8(*out, unit);
          continue;
        }
        default:
          return false;
      }
      if (out) out->push_back(plain);
    }
  }

  bool read_hex4(char32_t& unit) {
    if (end_ - p_ < 4) return false;
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      int digit = morvane::hex_digit_value(*p_++);
      if (digit < 0) return false;
      unit = unit << 4 | static_cast<char32_t>(digit);
    }
    return true;
  }

  bool read_monitor(int& monitor) {
    if (p_ < end_ && (*p_ == '-' || (*p_ >= '0' && *p_ <= '9'))) {
      Number number;
      if (!read_number(number)) return false;
      monitor = number.type == Number::Type::kUnsigned
                    ? static_cast<int>(std::min<uint64_t>(number.unsigned_value, INT_MAX))
                    : 0;
      return true;
    }
    monitor = 0;
    return skip_value(1);
  }

  bool read_events(int depth, std::vector<InputEvent>& events) {
    events.clear();
    if (!at('[')) return skip_value(depth);
    return read_array(depth + 1, [&](int d) {
      if (events.size() == kMaxEventsPerBatch) return skip_value(d);
      InputEvent& event = events.emplace_back();
      if (!at('{')) return skip_value(d);
      return read_object(d + 1, [&](std::string_view key, int member_depth) {
        return read_member(key, member_depth, event);
      });
    });
  }

  bool read_member(std::string_view key, int depth, InputEvent& event) {
    if (key.size() > 2) return skip_value(depth);
    const bool string_value = at('"');
    const bool number_value = p_ < end_ && (*p_ == '-' || (*p_ >= '0' && *p_ <= '9'));
    if (key == "k") {
      if (!string_value) {
        event.kind = InputEvent::Kind::kIgnored;
        return skip_value(depth);
      }
      if (!read_string(&value_)) return false;
      event.kind = kind_of(value_);
      return true;
    }
    if (key == "c" || key == "s") {
      std::optional<std::string>& slot = key == "c" ? event.code : event.text;
      if (!string_value) {
        slot.reset();
        return skip_value(depth);
      }
      slot.emplace();
      return read_string(&*slot);
    }
    std::optional<double>* real = key == "x" ? &event.x : key == "y" ? &event.y : nullptr;
    std::optional<int64_t>* integer = key == "b"    ? &event.button
                                      : key == "dx" ? &event.wheel_x
                                      : key == "dy" ? &event.wheel_y
                                                    : nullptr;
    if (real == nullptr && integer == nullptr) return skip_value(depth);
    if (!number_value) {
      if (real) real->reset();
      if (integer) integer->reset();
      return skip_value(depth);
    }
    Number number;
    if (!read_number(number)) return false;
    if (real) *real = number.as_double();
    if (integer) *integer = number.as_integer();
    return true;
  }

  const char* p_;
  const char* const end_;
  const int max_depth_;
  std::string key_;    // the member name being read
  std::string value_;  // scratch for "k"
};

}  // namespace

InputBatch read_input_batch(std::string_view body, int max_depth) {
  InputBatch batch;
  if (body.empty() || !morvane::is_valid_utf8(body)) return batch;
  BatchReader reader(body, max_depth);
  if (!reader.read(batch)) return InputBatch{};
  return batch;
}

}  // namespace vantriel
