#ifndef VANTRIEL_INPUT_CLIPBOARD_H_
#define VANTRIEL_INPUT_CLIPBOARD_H_

#include <string>
#include <string_view>

namespace vantriel {

// The clipboard's text as UTF-8; empty when it holds no text or cannot be read.
std::string read_clipboard_text();

// Puts UTF-8 text on the clipboard; false when that failed.
bool write_clipboard_text(std::string_view utf8);

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_CLIPBOARD_H_
