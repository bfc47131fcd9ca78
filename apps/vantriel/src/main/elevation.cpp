#include "main/elevation.h"

namespace vantriel {
namespace {

// `arg` in double quotes as CommandLineToArgvW reads it back: a quote inside is escaped
// with a backslash, and backslashes are doubled where they come before a quote (an inner
// one, or the closing one), so "C:\dir\" does not swallow the closing quote.
void append_quoted(std::string& out, const std::string& arg) {
  out += '"';
  std::size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, '\\');
  out += "\" ";
}

}  // namespace

std::string elevation_parameters(const std::vector<std::string>& args) {
  std::string out;
  for (const std::string& arg : args) {
    if (arg != "--no-elevate") append_quoted(out, arg);
  }
  append_quoted(out, "--no-elevate");
  return out;
}

}  // namespace vantriel
