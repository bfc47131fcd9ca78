#include "main/lifecycle.h"

#include <filesystem>

#include "base/data_folder.h"
#include "base/environment.h"
#include "base/file_util.h"
#include "base/identity.h"
#include "base/log.h"
#include "base/settings.h"
#include "embedded/embedded_files.h"
#include "host/desktop_texts.h"
#include "host/host.h"
#include "host/test_switches.h"
#include "host/instance.h"
#include "main/app_version.h"
#include "morvane/core/process/executable_path.h"
#include "morvane/core/shell/menu_entry.h"
#include "morvane/core/shell/shell.h"

namespace vantriel {
namespace {

// A published portable copy keeps its entry in the user's application menu pointed at
// wherever its folder is now (Linux; Windows lists nothing). The log says when it wrote.
void keep_menu_entry() {
  auto self = morvane::executable_path();
  if (!self) return;
  const auto home = env_var("HOME");
  const auto data_home = env_var("XDG_DATA_HOME");
  morvane::MenuEntryConfig config{
      .name = kAppName,
      .comment = "Soporte t\xC3\xA9" "cnico remoto entre dos PC",
      .executable = *self,
      .data_home = morvane::data_home_for(data_home ? data_home->c_str() : nullptr,
                                          home ? home->c_str() : nullptr),
      .icons = {{128, embedded::emblema_png.joined()}, {512, embedded::emblema_512_png.joined()}},
  };
  const morvane::MenuEntryOutcome outcome = morvane::update_menu_entry(config);
  for (const auto& path : outcome.written) {
    log_line("Men\xC3\xBA de aplicaciones: escrito " + path.string());
  }
  if (!outcome.error.empty()) {
    log_line("No se pudo escribir la entrada del men\xC3\xBA de aplicaciones: " + outcome.error);
  }
}

}  // namespace

int run_host(const CommandLine& cl) {
  morvane::declare_dpi_awareness();

  if (probe_running_instance(cl.startup)) return 0;

  if (!cl.no_elevate && !morvane::is_user_an_admin()) {
    if (morvane::restart_elevated(elevation_parameters(cl.args))) return 0;
    log_line(
        "Aviso: sin permisos de administrador. El t\xC3\xA9" "cnico no podr\xC3\xA1 usar ventanas "
        "que corren como administrador.");
  }

  std::error_code ignored;
  std::filesystem::create_directories(data_folder(), ignored);
  (void)load_settings();  // creates the settings file from its template when missing
  (void)load_identity();  // creates the identity on the first run

  // The program's icon beside its data, and the picture the tray draws from a file (the
  // same icon on Windows; tray hosts on Linux draw PNG).
  const DesktopTexts& texts = desktop_texts();
  const std::pair<std::filesystem::path, const embedded::EmbeddedFile*> icons[] = {
      {data_file("vantriel.ico"), &embedded::favicon_ico},
      {data_file(texts.icon_file), texts.icon}};
  for (const auto& [path, file] : icons) {
    if (!std::filesystem::exists(path, ignored)) (void)write_file(path, file->joined());
  }
  if (kPortableRelease) keep_menu_entry();

  Host host(HostOptions{.no_window = cl.no_window,
                        .no_tray = cl.no_tray,
                        .startup = cl.startup,
                        .first_port = first_port(env_var("VTR_PORT"))},
            read_test_switches());
  return host.run();
}

}  // namespace vantriel
