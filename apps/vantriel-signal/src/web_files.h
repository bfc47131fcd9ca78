// The technician's page for any browser, as built by cmake/build_web_page.cmake and
// compiled in by cmake/embed_files.cmake: every file of the page's folder with its path
// in the folder ("index.html", "font/bold.woff2", "manual_en.html").
#ifndef VANTRIEL_SIGNAL_WEB_FILES_H_
#define VANTRIEL_SIGNAL_WEB_FILES_H_

#include <cstddef>

#include "morvane/core/embedded_file.h"

namespace vantriel::signal::web {

using morvane::EmbeddedEntry;
using morvane::EmbeddedFile;

extern const EmbeddedEntry files[];
extern const std::size_t files_count;

}  // namespace vantriel::signal::web

#endif  // VANTRIEL_SIGNAL_WEB_FILES_H_
