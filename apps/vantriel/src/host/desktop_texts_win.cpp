#include "host/desktop_texts.h"

namespace vantriel {

const DesktopTexts& desktop_texts() {
  static const DesktopTexts texts{
      .startup_menu = "Abrir al iniciar Windows",
      .startup_enabled = " se abrir\xC3\xA1 en la bandeja del sistema al iniciar Windows.",
      .startup_disabled = " ya no se abrir\xC3\xA1 al iniciar Windows.",
      .startup_enable_failed =
          "No se pudo activar el inicio con Windows (requiere ejecutar Vantriel como "
          "administrador). ",
      .startup_disable_failed = "No se pudo quitar el inicio con Windows: ",
      .icon_file = "vantriel.ico",
      .icon = &embedded::favicon_ico,
  };
  return texts;
}

}  // namespace vantriel
