#include "host/host.h"

#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/data_folder.h"
#include "base/file_util.h"
#include "base/identity.h"
#include "base/local_time.h"
#include "base/log.h"
#include "base/random.h"
#include "base/settings.h"
#include "embedded/embedded_files.h"
#include "http/pipeline.h"
#include "main/app_version.h"
#include "host/instance.h"
#include "morvane/core/process/executable_path.h"
#include "morvane/core/shell/app_window.h"
#include "morvane/core/shell/shell.h"
#include "morvane/core/tray/tray.h"

namespace vantriel {
namespace {

constexpr char kNoPortMessage[] =
    "No se pudo abrir el servidor local de Vantriel (puertos ocupados).";
constexpr int kPortsTried = 20;
constexpr int kRequestWorkers = 6;

// Binds the first free port of first..first+19, or nothing.
std::unique_ptr<LocalServer> bind_first_free_port(std::uint32_t first) {
  for (std::uint32_t port = first; port < first + kPortsTried; ++port) {
    auto server = LocalServer::listen(static_cast<std::uint16_t>(port));
    if (server.ok()) return std::move(server).value();
  }
  return nullptr;
}

UpdaterConfig updater_config(bool dry_run) {
  UpdaterConfig config;
  config.data_folder = data_folder();
  auto self = morvane::executable_path();
  config.install_folder = self ? self->parent_path() : data_folder().parent_path();
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

}  // namespace

std::string build_page(const std::string& page_template, const std::string& token) {
  std::string page = page_template;
  replace_all(page, "__TOKEN__", token);
  replace_all(page, "__VERSION__", kAppVersion);
  return page;
}

Host::Host(HostOptions options, TestSwitches switches)
    : options_(options),
      history_(data_file("sesiones.jsonl")),
      desktop_(DesktopOptions{.record_input_to = std::move(switches.record_input_to),
                              .monitors = std::move(switches.monitors)}),
      sessions_(SessionEffects{
          .now_seconds = unix_seconds_now,
          .local_timestamp = [] { return format_local_time(local_now()); },
          .log = [](const std::string& line) { log_line(line); },
          .append_history_line = [this](const std::string& line) { history_.append(line); },
          .release_input = [this] { desktop_.release_input(); },
          .renew_clave = [] { renew_clave(); },
          .current_clave = current_clave,
      }),
      updater_([&] {
        UpdaterConfig config = updater_config(switches.update_dry_run);
        config.exit_routine = [this] { request_exit(); };
        config.busy = [this] { return sessions_.busy_activities(); };
        return config;
      }()) {}

// Not reached in a running host (it ends in exit()); tests and early returns destroy it
// in member order: the server's threads first, then the services they used.
Host::~Host() = default;

ShellActions Host::shell_actions() {
  return ShellActions{
      .show_window = [this] { shell_thread_.post(morvane::open_app_window); },
      .notify =
          [this](const std::string& title, const std::string& text) {
            shell_thread_.post([title, text] { morvane::show_tray_balloon(title, text); });
          },
      .exit = [this] { request_exit(); },
      // Start at log-on arrives with the tray; until then it is never on.
      .startup_enabled = [] { return false; },
  };
}

int Host::run() {
  const std::string token = random_hex(16);
  api_ = std::make_unique<ApiContext>(ApiContext{
      .token = token,
      .page = std::make_shared<const std::string>(build_page(embedded::page_html.joined(), token)),
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
  const ApiContext& api = *api_;
  server_->start([&api](const HttpRequest& request) { return handle_request(request, api); },
                 [&api](const HttpRequest& head) { return wants_body(head, api); },
                 kRequestWorkers);

  std::string url = "http://127.0.0.1:" + std::to_string(server_->port()) + "/";
  morvane::set_window_url(url);
  write_instance_record(server_->port());
  log_line(std::string("Vantriel v") + kAppVersion + " en marcha \xC2\xB7 " + url + " \xC2\xB7 ID " +
           id_bonito(load_identity().id) + " \xC2\xB7 servidor " + server_url() +
           " \xC2\xB7 admin " + (morvane::is_user_an_admin() ? "true" : "false"));

  updater_.start_up_check();

  if (!options_.no_window) {
    // Hiding the window right after opening it (--startup) needs the window finder,
    // which arrives with the browser-window module; until then both open it.
    shell_thread_.post(morvane::open_app_window);
  }
  if (!options_.no_tray && !options_.startup) {
    shell_thread_.post_delayed(
        [] {
          morvane::show_tray_balloon(
              "Vantriel est\xC3\xA1 en la bandeja",
              "Con la ventana abierta (o minimizada) puedes recibir soporte. Clic derecho en el "
              "\xC3\xAD" "cono para salir.");
        },
        std::chrono::milliseconds(300));
  }

  std::unique_lock<std::mutex> lock(exit_mu_);
  exit_cv_.wait(lock, [this] { return exit_requested_; });
  const bool close_window = close_window_;
  lock.unlock();
  exit_app(close_window);
}

void Host::request_exit(bool close_window) {
  {
    std::lock_guard<std::mutex> lock(exit_mu_);
    exit_requested_ = true;
    close_window_ = close_window_ || close_window;
  }
  exit_cv_.notify_all();
}

void Host::exit_app(bool close_window) {
  log_line("Saliendo");
  desktop_.release_input();
  remove_instance_record();
  // Closing the browser window arrives with the window finder; the page shows its own
  // closing text when the exit came from it.
  (void)close_window;
  morvane::close_tray();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Without destructors: request workers may be inside a route, and the browser may be
  // mid-request; nothing here needs them to finish.
  std::_Exit(0);
}

}  // namespace vantriel
