#include "host/host.h"

#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/environment.h"
#include "base/file_util.h"
#include "base/id_format.h"
#include "base/identity.h"
#include "base/local_time.h"
#include "base/random.h"
#include "base/server_url.h"
#include "base/settings.h"
#include "embedded/embedded_files.h"
#include "http/pipeline.h"
#include "main/app_version.h"
#include "host/instance.h"
#include "host/desktop_texts.h"
#include "morvane/core/process/executable_path.h"
#include "morvane/core/shell/menu_entry.h"
#include "morvane/core/shell/shell.h"
#include "morvane/core/sync/mutex.h"

namespace vantriel {
namespace {

constexpr char kNoPortMessage[] =
    "No se pudo abrir el servidor local de Vantriel (puertos ocupados).";
constexpr int kPortsTried = 20;
constexpr int kRequestWorkers = 6;
constexpr int kHiddenStartLooks = 80;
constexpr auto kHiddenStartPause = std::chrono::milliseconds(250);

// Binds the first free port of first..first+19, or nothing.
std::unique_ptr<LocalServer> bind_first_free_port(std::uint32_t first) {
  for (std::uint32_t port = first; port < first + kPortsTried; ++port) {
    auto server = LocalServer::listen(static_cast<std::uint16_t>(port));
    if (server.ok()) return std::move(server).value();
  }
  return nullptr;
}

UpdaterConfig updater_config(const DataFolder& folder, bool dry_run) {
  UpdaterConfig config;
  auto self = morvane::executable_path();
  config.install_folder = self ? self->parent_path() : folder.path().parent_path();
  config.running_version = kAppVersion;
  config.executable_file = kExecutableFile;
  config.dry_run = dry_run;
  return config;
}

void replace_all(std::string& text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

morvane::StartupConfig startup_config() {
  const DesktopTexts& texts = desktop_texts();
  morvane::StartupConfig config;
  config.name = kAppName;
  if (auto self = morvane::executable_path()) {
    config.executable = *self;
    config.working_folder = self->parent_path();
  }
  config.description = std::string("Abre ") + kAppName +
                       " en la bandeja del sistema al iniciar sesion.";
  config.enabled_msg = kAppName + std::string(texts.startup_enabled);
  config.disabled_msg = kAppName + std::string(texts.startup_disabled);
  config.enable_failed_msg = texts.startup_enable_failed;
  config.disable_failed_msg = texts.startup_disable_failed;
  config.autostart_folder =
      morvane::autostart_folder_for(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
  return config;
}

// A published portable copy keeps its entry in the user's application menu pointed at
// wherever its folder is now (Linux; Windows lists nothing). The log says when it wrote.
void keep_menu_entry(const Log& log) {
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
    log.line("Men\xC3\xBA de aplicaciones: escrito " + path.string());
  }
  if (!outcome.error.empty()) {
    log.line("No se pudo escribir la entrada del men\xC3\xBA de aplicaciones: " + outcome.error);
  }
}

}  // namespace

std::string build_page(const std::string& page_template, const std::string& token) {
  std::string page = page_template;
  replace_all(page, "__TOKEN__", token);
  replace_all(page, "__VERSION__", kAppVersion);
  return page;
}

Host::Host(std::filesystem::path data_folder, HostOptions options, TestSwitches switches)
    : options_(options),
      folder_(std::move(data_folder)),
      log_(folder_),
      folder_prepared_(prepare_data_folder()),
      history_(folder_.file("sesiones.jsonl")),
      desktop_(DesktopOptions{.record_input_to = std::move(switches.record_input_to),
                              .monitors = std::move(switches.monitors),
                              .consent_file = folder_.file("portal_control.token")}),
      sessions_(SessionEffects{
          .now_seconds = unix_seconds_now,
          .local_timestamp = [] { return format_local_time(local_now()); },
          .log = [this](const std::string& line) { log_.line(line); },
          .append_history_line =
              [this](const std::string& line) {
                if (const morvane::Status saved = history_.append(line); !saved) {
                  log_.line("[SESION] No se pudo guardar en el historial: " + saved.error());
                }
              },
          .release_input = [this] { desktop_.release_input(); },
          .renew_access_code = [this] { access_code_.renew(); },
          .current_access_code = [this] { return access_code_.current(); },
          .control_allowed = [this] { desktop_.control_allowed(); },
          .session_over = [this] { desktop_.session_over(); },
      }),
      updater_([&] {
        UpdaterConfig config = updater_config(folder_, switches.update_dry_run);
        config.exit_routine = [this] { request_exit(); };
        config.busy = [this] { return sessions_.busy_activities(); };
        return config;
      }(), folder_, log_),
      startup_(startup_config()),
      pc_sound_(make_pc_sound()),
      window_(morvane::AppWindowConfig{kAppName, folder_.path()},
              morvane::make_app_window_platform(),
              morvane::BrowserExtras{
                  .switches = pc_sound_browser_switches(),
                  .environment = [this] { return pc_sound_->browser_environment(); },
              }) {}

bool Host::prepare_data_folder() {
  if (options_.elevation_declined) {
    log_.line(
        "Aviso: sin permisos de administrador. El t\xC3\xA9" "cnico no podr\xC3\xA1 usar ventanas "
        "que corren como administrador.");
  }
  std::error_code ignored;
  std::filesystem::create_directories(folder_.path(), ignored);
  if (const morvane::Status created = create_settings_file(folder_); !created) {
    log_.line("No se pudo crear el archivo de ajustes (quedan los valores de f\xC3\xA1"
              "brica): " + created.error());
  }
  (void)load_identity(folder_, log_);  // creates the identity on the first run

  // The program's icon beside its data, and the picture the tray draws from a file (the
  // same icon on Windows; tray hosts on Linux draw PNG).
  const DesktopTexts& texts = desktop_texts();
  const std::pair<std::filesystem::path, const embedded::EmbeddedFile*> icons[] = {
      {folder_.file("vantriel.ico"), &embedded::favicon_ico},
      {folder_.file(texts.icon_file), texts.icon}};
  for (const auto& [path, file] : icons) {
    if (std::filesystem::exists(path, ignored)) continue;
    if (const morvane::Status written = write_file(path, file->joined()); !written) {
      log_.line("No se pudo escribir el icono: " + written.error());
    }
  }
  if (kPortableRelease) keep_menu_entry(log_);
  return true;
}

// Not reached in a running host (it ends in exit()); tests and early returns destroy it
// in member order: the server's threads first, then the services they used.
Host::~Host() = default;

ShellActions Host::shell_actions() {
  return ShellActions{
      .show_window = [this] { shell_thread_.post([this] { window_.open(); }); },
      .notify =
          [this](const std::string& title, const std::string& text) {
            if (tray_) tray_->show_balloon(title, text);
          },
      .exit = [this] { request_exit(); },
      .startup_enabled = [this] { return morvane::query_startup(startup_).enabled; },
      .set_startup = [this](bool on) { return morvane::set_startup(startup_, on); },
      .pc_sound =
          [this](bool share) {
            if (!share) {
              pc_sound_->stop_sharing();
              return false;
            }
            return pc_sound_->start_sharing();
          },
  };
}

morvane::TrayConfig Host::tray_config() {
  const DesktopTexts& texts = desktop_texts();
  morvane::TrayConfig config;
  config.name = kAppName;
  config.tip = std::string(kAppName) + " v" + kAppVersion + " \xC2\xB7 ID " +
               format_id(load_identity(folder_, log_).id);
  config.icon_path = folder_.file(texts.icon_file).string();
  config.show_text = std::string("Mostrar ") + kAppName;
  config.hide_text = "Ocultar la ventana";
  config.startup_text = texts.startup_menu;
  config.exit_text = std::string("Salir de ") + kAppName;
  config.closed_title = std::string(kAppName) + " sigue funcionando";
  config.closed_text =
      "Cerraste la ventana, pero la app sigue en la bandeja. Doble clic en el \xC3\xAD" "cono "
      "para volver a abrirla o clic derecho \xE2\x86\x92 Salir para terminar.";
  config.show = [this] { window_.open(); };
  config.hide = [this] { window_.hide(); };
  config.is_shown = [this] { return window_.is_shown(); };
  config.window_exists = [this] { return window_.exists(); };
  config.is_startup_enabled = [this] { return morvane::query_startup(startup_).enabled; };
  config.set_startup = [this](bool on) { return morvane::set_startup(startup_, on).msg; };
  // Only asks: the exit runs on the main thread, which destroys the tray.
  config.exit = [this] { request_exit(true); };
  return config;
}

void Host::hide_window_when_found(int looks_left) {
  if (window_.exists()) {
    window_.hide();
    return;
  }
  if (looks_left <= 1) return;
  shell_thread_.post_delayed([this, looks_left] { hide_window_when_found(looks_left - 1); },
                             kHiddenStartPause);
}

int Host::run() {
  const std::string token = random_hex(16);
  api_ = std::make_unique<ApiContext>(ApiContext{
      .token = token,
      .page = std::make_shared<const std::string>(build_page(embedded::page_html.joined(), token)),
      .folder = folder_,
      .log = log_,
      .access_code = access_code_,
      .sessions = sessions_,
      .history = history_,
      .desktop = desktop_,
      .updater = updater_,
      .shell = shell_actions(),
  });

  if (options_.first_port <= 65515) server_ = bind_first_free_port(options_.first_port);
  if (!server_) {
    morvane::show_message_box(kAppName, kNoPortMessage);
    return 0;
  }
  api_->port = server_->port();
  std::string url = "http://127.0.0.1:" + std::to_string(server_->port()) + "/";
  window_.set_url(url);
  // Before the server starts: the routes read tray_ without a lock.
  if (!options_.no_tray) tray_ = morvane::start_tray(tray_config());

  const ApiContext& api = *api_;
  server_->start([&api](const HttpRequest& request) { return handle_request(request, api); },
                 [&api](const HttpRequest& head) { return wants_body(head, api); },
                 [&api](const HttpRequest& head) { return opens_socket(head, api); },
                 kRequestWorkers, log_,
                 [&api](const HttpRequest& request) { return answer_at_once(request, api); });

  if (const morvane::Status recorded = write_instance_record(folder_, server_->port()); !recorded) {
    log_.line(
        "No se pudo anotar el puerto de esta instancia (otro inicio no la encontrar\xC3\xA1): " +
        recorded.error());
  }
  log_.line(std::string("Vantriel v") + kAppVersion + " en marcha \xC2\xB7 " + url +
            " \xC2\xB7 ID " + format_id(load_identity(folder_, log_).id) + " \xC2\xB7 servidor " +
            server_url(folder_) + " \xC2\xB7 admin " +
            (morvane::is_user_an_admin() ? "true" : "false") + " \xC2\xB7 control " +
            (desktop_.input_reach().possible ? desktop_.input_reach().method
                                             : "no: " + desktop_.input_reach().why) +
            " \xC2\xB7 portapapeles " +
            (desktop_.clipboard_reach().possible ? desktop_.clipboard_reach().method
                                                 : "no: " + desktop_.clipboard_reach().why));

  updater_.start_up_check();

  if (!options_.no_window) {
    shell_thread_.post([this] {
      window_.open();
      if (options_.startup) {
        shell_thread_.post_delayed([this] { hide_window_when_found(kHiddenStartLooks); },
                                   kHiddenStartPause);
      }
    });
  }
  if (tray_ && !options_.startup) {
    // Told once the tray host has had a moment to answer: where no icon shows (a desktop
    // without a tray host), closing the window ends the program, and the notice says so.
    shell_thread_.post_delayed(
        [this] {
          if (tray_->visible()) {
            tray_->show_balloon(
                "Vantriel est\xC3\xA1 en la bandeja",
                "Con la ventana abierta (o minimizada) puedes recibir soporte. Clic derecho en el "
                "\xC3\xAD" "cono para salir.");
          } else {
            tray_->show_balloon(
                "Vantriel est\xC3\xA1 abierto",
                "Con la ventana abierta (o minimizada) puedes recibir soporte. Este escritorio no "
                "muestra el \xC3\xAD" "cono de la bandeja: al cerrar la ventana, Vantriel se "
                "cierra.");
          }
        },
        std::chrono::seconds(1));
  }

  morvane::MutexLock lock(exit_mu_);
  while (!exit_requested_) exit_cv_.wait(exit_mu_);
  const bool close_window = close_window_;
  lock.unlock();
  exit_app(close_window);
}

void Host::request_exit(bool close_window) {
  {
    morvane::MutexLock lock(exit_mu_);
    exit_requested_ = true;
    close_window_ = close_window_ || close_window;
  }
  exit_cv_.notify_all();
}

void Host::exit_app(bool close_window) {
  log_.line("Saliendo");
  desktop_.release_input();
  desktop_.session_over();
  remove_instance_record(folder_);
  // An exit from the page leaves the window: the page shows its own closing text.
  if (close_window) window_.close();
  // Removes the icon. The tray object stays: request workers may still be showing a
  // balloon through it, and the process ends in a moment anyway.
  if (tray_) tray_->close();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Without destructors: request workers may be inside a route, and the browser may be
  // mid-request; nothing here needs them to finish.
  std::_Exit(0);
}

}  // namespace vantriel
