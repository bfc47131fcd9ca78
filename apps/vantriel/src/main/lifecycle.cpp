#include "main/lifecycle.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

#include "main/app_version.h"
#include "base/data_folder.h"
#include "base/environment.h"
#include "base/file_util.h"
#include "base/identity.h"
#include "base/log.h"
#include "base/random.h"
#include "base/settings.h"
#include "embedded/embedded_files.h"
#include "http/local_server.h"
#include "http/pipeline.h"
#include "input/injector.h"
#include "main/instance.h"
#include "morvane/core/tray/tray.h"
#include "update/update_service.h"
#include "morvane/core/shell/app_window.h"
#include "morvane/core/shell/shell.h"

namespace vantriel {
namespace {

constexpr char kNoPortMessage[] =
    "No se pudo abrir el servidor local de Vantriel (puertos ocupados).";
constexpr int kPortsTried = 20;
constexpr int kRequestWorkers = 6;

void replace_all(std::string& text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// Binds the first free port of first..first+19, or nothing.
std::unique_ptr<LocalServer> bind_first_free_port(std::uint32_t first) {
  for (std::uint32_t port = first; port < first + kPortsTried; ++port) {
    auto server = LocalServer::listen(static_cast<std::uint16_t>(port));
    if (server.ok()) return std::move(server).value();
  }
  return nullptr;
}

}  // namespace

std::string build_page(const std::string& page_template, const std::string& token) {
  std::string page = page_template;
  replace_all(page, "__TOKEN__", token);
  replace_all(page, "__VERSION__", kAppVersion);
  return page;
}

void exit_app(bool close_window) {
  log_line("Saliendo");
  release_all();
  remove_instance_record();
  // Closing the browser window arrives with the window finder; the page shows its own
  // closing text when the exit came from it.
  (void)close_window;
  morvane::close_tray();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::_Exit(0);
}

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
  Identity identity = load_identity();

  auto icon_path = data_file("vantriel.ico");
  if (!std::filesystem::exists(icon_path, ignored)) {
    (void)write_file(icon_path, embedded::favicon_ico.joined());
  }

  auto app = std::make_shared<AppState>();
  app->token = random_hex(16);
  app->page = std::make_shared<const std::string>(build_page(embedded::page_html.joined(), app->token));
  app->exit_action = [] { exit_app(false); };

  std::uint32_t first = first_port(env_var("VTR_PORT"));
  std::unique_ptr<LocalServer> server;
  if (first <= 65515) server = bind_first_free_port(first);
  if (!server) {
    morvane::show_message_box(kAppName, kNoPortMessage);
    return 0;
  }
  server->start([app](const HttpRequest& request) { return handle_request(request, *app); },
                [app](const HttpRequest& head) { return wants_body(head, *app); }, kRequestWorkers);

  std::string url = "http://127.0.0.1:" + std::to_string(server->port()) + "/";
  morvane::set_window_url(url);
  write_instance_record(server->port());
  log_line(std::string("Vantriel v") + kAppVersion + " en marcha \xC2\xB7 " + url + " \xC2\xB7 ID " +
           id_bonito(identity.id) + " \xC2\xB7 servidor " + server_url() + " \xC2\xB7 admin " +
           (morvane::is_user_an_admin() ? "true" : "false"));

  start_update_service(kAppVersion, kExecutableFile, [] { exit_app(false); });

  if (!cl.no_window) {
    // Hiding the window right after opening it (--startup) needs the window finder,
    // which arrives with the browser-window module; until then both open it.
    std::thread(morvane::open_app_window).detach();
  }
  if (!cl.no_tray && !cl.startup) {
    std::thread([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      morvane::show_tray_balloon(
          "Vantriel est\xC3\xA1 en la bandeja",
          "Con la ventana abierta (o minimizada) puedes recibir soporte. Clic derecho en el "
          "\xC3\xAD" "cono para salir.");
    }).detach();
  }

  // The server is never stopped: the process ends only through exit_app.
  (void)server.release();
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace vantriel
