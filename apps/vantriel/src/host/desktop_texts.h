// The texts and files of the desktop integration that differ by platform: Windows speaks
// of "iniciar Windows" and draws an .ico; a Linux session starts at log-on and its tray
// hosts draw PNG files.
#ifndef VANTRIEL_HOST_DESKTOP_TEXTS_H_
#define VANTRIEL_HOST_DESKTOP_TEXTS_H_

#include "embedded/embedded_files.h"

namespace vantriel {

struct DesktopTexts {
  const char* startup_menu;         // the tray menu's start-at-log-on item
  const char* startup_enabled;      // after the name: "… se abrirá … al iniciar Windows."
  const char* startup_disabled;     // after the name
  const char* startup_enable_failed;   // followed by the captured text
  const char* startup_disable_failed;  // followed by the captured text
  const char* icon_file;            // written to the data folder for the tray
  const embedded::EmbeddedFile* icon;
};

const DesktopTexts& desktop_texts();

}  // namespace vantriel

#endif  // VANTRIEL_HOST_DESKTOP_TEXTS_H_
