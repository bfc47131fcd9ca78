#include "raw_json.h"

#include <algorithm>

namespace vantriel::signal {
namespace {

constexpr int kStackLimit = 128;  // deepest nesting the scanner can track

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

class Scanner {
 public:
  explicit Scanner(std::string_view s) : s_(s) {}

  size_t pos() const { return i_; }
  bool at_end() const { return i_ >= s_.size(); }
  char peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
  bool eat(char c) {
    if (peek() != c || at_end()) return false;
    ++i_;
    return true;
  }
  void skip_space() {
    while (i_ < s_.size() && is_space(s_[i_])) ++i_;
  }

  // A string starting at its opening quote; `escaped` tells whether it held escapes.
  bool string(bool& escaped) {
    escaped = false;
    if (!eat('"')) return false;
    while (i_ < s_.size()) {
      const auto c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') {
        ++i_;
        return true;
      }
      if (c < 0x20) return false;
      if (c != '\\') {
        ++i_;
        continue;
      }
      escaped = true;
      if (++i_ >= s_.size()) return false;
      const char e = s_[i_++];
      if (e == 'u') {
        if (s_.size() - i_ < 4 || !std::all_of(s_.begin() + i_, s_.begin() + i_ + 4, is_hex)) {
          return false;
        }
        i_ += 4;
      } else if (e != '"' && e != '\\' && e != '/' && e != 'b' && e != 'f' && e != 'n' &&
                 e != 'r' && e != 't') {
        return false;
      }
    }
    return false;
  }

  bool number() {
    eat('-');
    if (eat('0')) {
      // no further integer digits after a leading zero
    } else if (is_digit(peek()) && !at_end()) {
      digits();
    } else {
      return false;
    }
    if (eat('.') && !digits()) return false;
    if (peek() == 'e' || peek() == 'E') {
      ++i_;
      if (peek() == '+' || peek() == '-') ++i_;
      if (!digits()) return false;
    }
    return true;
  }

  bool literal(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }

  // One value of any kind, containers included, without recursion; containers may
  // nest `depth` deep (the value itself counting as the first level).
  bool value(int depth) {
    char stack[kStackLimit];
    int top = 0;
    depth = std::min(depth, kStackLimit);
    bool escaped = false;
    for (;;) {
      skip_space();
      const char c = peek();
      if (at_end()) return false;
      if (c == '{' || c == '[') {
        if (top >= depth) return false;
        stack[top++] = c;
        ++i_;
        skip_space();
        if (eat(c == '{' ? '}' : ']')) {
          --top;
        } else {
          if (c == '{' && !key()) return false;
          continue;  // the container's first value
        }
      } else if (c == '"') {
        if (!string(escaped)) return false;
      } else if (c == 't') {
        if (!literal("true")) return false;
      } else if (c == 'f') {
        if (!literal("false")) return false;
      } else if (c == 'n') {
        if (!literal("null")) return false;
      } else if (!number()) {
        return false;
      }
      // After a complete value: close containers or move to the next member.
      for (;;) {
        if (top == 0) return true;
        skip_space();
        const bool object = stack[top - 1] == '{';
        if (eat(',')) {
          if (object && !key()) return false;
          break;
        }
        if (!eat(object ? '}' : ']')) return false;
        --top;
      }
    }
  }

  // A member's key and the colon after it.
  bool key() {
    bool escaped = false;
    skip_space();
    if (!string(escaped)) return false;
    skip_space();
    return eat(':');
  }

  std::string_view slice(size_t from, size_t to) const { return s_.substr(from, to - from); }

 private:
  bool digits() {
    const size_t start = i_;
    while (i_ < s_.size() && is_digit(s_[i_])) ++i_;
    return i_ > start;
  }

  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace

bool scan_object(std::string_view text, int max_depth, std::vector<RawMember>& members) {
  members.clear();
  if (max_depth < 1) return false;
  Scanner s(text);
  s.skip_space();
  if (!s.eat('{')) return false;
  s.skip_space();
  if (!s.eat('}')) {
    for (;;) {
      s.skip_space();
      RawMember m;
      const size_t key_start = s.pos();
      if (!s.string(m.key_escaped)) return false;
      m.key = s.slice(key_start + 1, s.pos() - 1);
      s.skip_space();
      if (!s.eat(':')) return false;
      s.skip_space();
      const size_t value_start = s.pos();
      if (!s.value(max_depth - 1)) return false;
      m.value = s.slice(value_start, s.pos());
      members.push_back(m);
      s.skip_space();
      if (s.eat('}')) break;
      if (!s.eat(',')) return false;
    }
  }
  s.skip_space();
  return s.at_end();
}

PlainString plain_string(std::string_view value) {
  if (value.size() < 2 || value.front() != '"' || value.back() != '"') return {};
  const std::string_view inner = value.substr(1, value.size() - 2);
  if (inner.find('\\') != std::string_view::npos) return {};
  return {inner, true};
}

SignalView read_signal(std::string_view text, int max_depth, std::vector<RawMember>& scratch) {
  SignalView v;
  if (!scan_object(text, max_depth, scratch)) return v;
  bool is_signal = false;
  for (const RawMember& m : scratch) {
    if (m.key_escaped) return {};  // an escaped key may spell any member: parse instead
    if (m.key == "t") {
      const PlainString t = plain_string(m.value);
      is_signal = t.ok && t.text == "signal";
    } else if (m.key == "data") {
      v.data = m.value.front() == '{' ? m.value : std::string_view();
    } else if (m.key == "sid" || m.key == "to") {
      std::string_view& field = m.key == "sid" ? v.sid : v.to;
      field = {};
      if (m.value.front() == '"') {
        const PlainString p = plain_string(m.value);
        if (!p.ok) return {};
        field = p.text;
      }
    }
  }
  v.usable = is_signal;
  return v;
}

}  // namespace vantriel::signal
