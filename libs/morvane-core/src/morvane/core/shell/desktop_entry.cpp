#include "morvane/core/shell/desktop_entry.h"

namespace morvane {

std::string desktop_entry_string(std::string_view value) {
  std::string out;
  bool leading = true;
  for (char c : value) {
    if (leading && c == ' ') {
      out += "\\s";
      continue;
    }
    leading = false;
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string desktop_exec_argument(std::string_view arg) {
  std::string out = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (c == '%') {
      out += "%%";
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace morvane
