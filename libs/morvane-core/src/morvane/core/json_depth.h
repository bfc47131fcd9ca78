// How deeply JSON-like text nests, measured before any parser sees it: parsers and
// printers recurse once per level, so text from strangers is refused above a limit.
#ifndef MORVANE_CORE_JSON_DEPTH_H_
#define MORVANE_CORE_JSON_DEPTH_H_

#include <algorithm>
#include <string_view>

namespace morvane {

// The deepest nesting of arrays and objects in `text`, brackets inside strings skipped.
// Any text is measured, well-formed or not, and never read past its end.
inline int json_nesting_depth(std::string_view text) {
  int depth = 0, deepest = 0;
  bool in_string = false, escaped = false;
  for (char c : text) {
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
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

}  // namespace morvane

#endif  // MORVANE_CORE_JSON_DEPTH_H_
