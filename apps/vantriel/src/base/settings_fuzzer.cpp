// Feeds arbitrary file contents to the settings parser and the in-place writer. A
// settings file is edited by people and may hold anything.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/server_url.h"
#include "base/settings.h"
#include "morvane/core/text/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)vantriel::parse_settings(text);
  const std::string written = vantriel::apply_setting(text, "recibir", "fps", "60\r\n\"x\" ;");
  // The writer keeps every line and adds one: the result holds the new line and, when
  // the input was UTF-8, stays UTF-8 so the next load can read it.
  if (written.find("fps = 60\"x\" ;\r\n") == std::string::npos) std::abort();
  if (morvane::is_valid_utf8(text) && !morvane::is_valid_utf8(written)) std::abort();
  // Whatever the file holds, a plain value written is the value read back.
  const std::string plain = vantriel::apply_setting(text, "general", "idioma", "en");
  if (vantriel::setting(vantriel::parse_settings(plain), "general", "idioma") != "en") std::abort();
  (void)vantriel::is_valid_server(text);
  return 0;
}
