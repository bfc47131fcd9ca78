// How deeply JSON-like text nests, measured before any parser sees it: parsers and
// printers recurse once per level, so text from strangers is refused above a limit.
#ifndef MORVANE_CORE_JSON_DEPTH_H_
#define MORVANE_CORE_JSON_DEPTH_H_

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>

namespace morvane {

// Walks `text` once, calling on_open(offset, depth) at every "[" or "{" outside a string
// with the depth that bracket opens (1 for the outermost); a false return stops the walk.
// Any text is walked, well-formed or not: a stray closing bracket lowers the depth like
// any other, and nothing past the end is read.
template <class OnOpen>
void scan_json_brackets(std::string_view text, OnOpen&& on_open) {
  int depth = 0;
  bool in_string = false, escaped = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (!on_open(i, ++depth)) return;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
}

// The deepest nesting of arrays and objects in `text`, brackets inside strings skipped.
inline int json_nesting_depth(std::string_view text) {
  int deepest = 0;
  scan_json_brackets(text, [&](std::size_t, int depth) {
    deepest = std::max(deepest, depth);
    return true;
  });
  return deepest;
}

// The byte offset of the first bracket that opens a level deeper than `max_depth`; nothing
// when `text` stays within it.
inline std::optional<std::size_t> json_too_deep_at(std::string_view text, int max_depth) {
  std::optional<std::size_t> found;
  scan_json_brackets(text, [&](std::size_t offset, int depth) {
    if (depth > max_depth) found = offset;
    return !found;
  });
  return found;
}

}  // namespace morvane

#endif  // MORVANE_CORE_JSON_DEPTH_H_
