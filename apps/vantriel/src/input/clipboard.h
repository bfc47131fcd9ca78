// The system clipboard's text. On X11 writing makes a window of ours the owner of the
// CLIPBOARD selection, and a thread of the Clipboard object ("clipboard owner") answers
// other programs for as long as we own it; on a Wayland desktop with wlr-data-control a
// thread of it ("clipboard source") does the same for the compositor's selection. The
// destructor ends that thread.
#ifndef VANTRIEL_INPUT_CLIPBOARD_H_
#define VANTRIEL_INPUT_CLIPBOARD_H_

#include <memory>
#include <string>
#include <string_view>

#include "input/clipboard_reach.h"
#include "morvane/core/result.h"

namespace vantriel {

class Clipboard {
 public:
  Clipboard();
  ~Clipboard();
  Clipboard(const Clipboard&) = delete;
  Clipboard& operator=(const Clipboard&) = delete;

  // Where the clipboard is read and written, decided when the object is made and again
  // while there is no way (a desktop that comes up later is reached); where it is not
  // possible, reads and writes fail.
  ClipboardReach reach() const;

  // The clipboard's text as UTF-8; empty when it holds no text (nothing, a picture,
  // files). An error, with its reason in English for the log, when it cannot be read: no
  // way to the clipboard, or the program that holds it did not answer in time.
  morvane::Result<std::string> read_text();
  // Puts UTF-8 text on the clipboard; false when that failed.
  bool write_text(std::string_view utf8);

 private:
  struct Owner;  // the platform's state (clipboard_win.cpp, clipboard_linux.cpp)
  const std::unique_ptr<Owner> owner_;
};

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_CLIPBOARD_H_
