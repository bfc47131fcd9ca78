// The Windows clipboard: CF_UNICODETEXT only. OpenClipboard fails while another program
// has the clipboard open, usually for a few milliseconds; each operation retries for
// about 300 ms before giving up.
#include <windows.h>

#include <cstring>
#include <string>

#include "input/clipboard.h"
#include "morvane/core/text/utf16.h"

namespace vantriel {
namespace {

constexpr int kOpenAttempts = 10;
constexpr DWORD kOpenRetryMs = 30;
// Longer clipboard texts are read as their first this many UTF-16 units.
constexpr std::size_t kMaxReadUnits = 4'000'000;

bool open_clipboard() {
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    if (OpenClipboard(nullptr)) return true;
    Sleep(kOpenRetryMs);
  }
  return false;
}

}  // namespace

// Windows keeps the clipboard itself: nothing to own here.
struct Clipboard::Owner {};

Clipboard::Clipboard() = default;
Clipboard::~Clipboard() = default;

ClipboardReach Clipboard::reach() const { return {true, "windows", ""}; }

morvane::Result<std::string> Clipboard::read_text() {
  if (!open_clipboard()) {
    return morvane::make_error("the clipboard stayed open in another program (error " +
                               std::to_string(GetLastError()) + ")");
  }
  // No text on the clipboard (nothing, a picture, files) is an empty text, not a failure.
  if (!IsClipboardFormatAvailable(CF_UNICODETEXT)) {
    CloseClipboard();
    return std::string();
  }
  morvane::Result<std::string> text = std::string();
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* units = static_cast<const char16_t*>(GlobalLock(data))) {
      // Never past the end of the block, whatever the text claims.
      const std::size_t capacity = GlobalSize(data) / sizeof(char16_t);
      const std::size_t limit = capacity < kMaxReadUnits ? capacity : kMaxReadUnits;
      std::size_t n = 0;
      while (n < limit && units[n] != 0) ++n;
      text = morvane::utf16_to_utf8(std::u16string_view(units, n));
      GlobalUnlock(data);
    } else {
      text = morvane::make_error("the clipboard's text could not be locked (error " +
                                 std::to_string(GetLastError()) + ")");
    }
  } else {
    text = morvane::make_error("the clipboard's text could not be taken (error " +
                               std::to_string(GetLastError()) + ")");
  }
  CloseClipboard();
  return text;
}

bool Clipboard::write_text(std::string_view utf8) {
  std::u16string units = morvane::utf8_to_utf16(utf8);
  units.push_back(0);
  if (!open_clipboard()) return false;
  EmptyClipboard();
  bool ok = false;
  const SIZE_T bytes = units.size() * sizeof(char16_t);
  if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
    if (void* p = GlobalLock(memory)) {
      std::memcpy(p, units.data(), bytes);
      GlobalUnlock(memory);
      ok = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;  // the system owns it now
    }
    if (!ok) GlobalFree(memory);
  }
  CloseClipboard();
  return ok;
}

}  // namespace vantriel
