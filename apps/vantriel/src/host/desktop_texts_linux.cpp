#include "host/desktop_texts.h"

namespace vantriel {

const DesktopTexts& desktop_texts() {
  static const DesktopTexts texts{
      .startup_menu = "Abrir al iniciar sesi\xC3\xB3n",
      .startup_enabled = " se abrir\xC3\xA1 en la bandeja del sistema al iniciar sesi\xC3\xB3n.",
      .startup_disabled = " ya no se abrir\xC3\xA1 al iniciar sesi\xC3\xB3n.",
      .startup_enable_failed = "No se pudo activar el inicio al iniciar sesi\xC3\xB3n: ",
      .startup_disable_failed = "No se pudo quitar el inicio al iniciar sesi\xC3\xB3n: ",
      .icon_file = "vantriel.png",
      .icon = &embedded::emblema_png,
  };
  return texts;
}

}  // namespace vantriel
