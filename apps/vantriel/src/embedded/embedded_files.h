// The page, pictures, fonts and icon, compiled into the executable
// (morvane/core/embedded_file.h says how they are kept).
#ifndef VANTRIEL_EMBEDDED_EMBEDDED_FILES_H_
#define VANTRIEL_EMBEDDED_EMBEDDED_FILES_H_

#include "morvane/core/embedded_file.h"

namespace vantriel::embedded {

using morvane::EmbeddedFile;

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
