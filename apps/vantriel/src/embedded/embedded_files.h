// The page, pictures, fonts and icon, compiled into the executable. Each file is kept
// as string-literal chunks of kChunkSize bytes (the last one shorter) with its size
// beside them, so that every compiler we build with accepts the literals.
#ifndef VANTRIEL_EMBEDDED_EMBEDDED_FILES_H_
#define VANTRIEL_EMBEDDED_EMBEDDED_FILES_H_

#include <cstddef>
#include <string>

namespace vantriel::embedded {

struct EmbeddedFile {
  static constexpr std::size_t kChunkSize = 4096;

  const char* const* chunks;
  std::size_t chunk_count;
  std::size_t size;

  // The file's bytes in one string. Call once and keep the result.
  std::string joined() const {
    std::string out;
    out.reserve(size);
    for (std::size_t i = 0; i < chunk_count && out.size() < size; ++i) {
      std::size_t n = size - out.size() < kChunkSize ? size - out.size() : kChunkSize;
      out.append(chunks[i], n);
    }
    return out;
  }
};

extern const EmbeddedFile page_html;        // the page, with "__TOKEN__" and "__VERSION__" left in
extern const EmbeddedFile favicon_ico;      // the program icon, six images
extern const EmbeddedFile emblema_png;      // emblem, 128 x 128
extern const EmbeddedFile emblema_512_png;  // emblem, 512 x 512
extern const EmbeddedFile firma_png;        // signature picture
extern const EmbeddedFile bold_woff2;       // heading font, bold
extern const EmbeddedFile semi_woff2;       // heading font, semi-bold
extern const EmbeddedFile symbols_ttf;      // the page's symbols (font/make_symbols.py)

}  // namespace vantriel::embedded

#endif  // VANTRIEL_EMBEDDED_EMBEDDED_FILES_H_
