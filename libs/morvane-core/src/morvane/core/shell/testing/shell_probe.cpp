// A stand-in host for the desktop scenario tests: it owns an AppWindow, a Tray and the
// start-at-log-on settings the way the program does, takes one command per line on
// standard input and answers one line each on standard output. What the tray asks of it
// is printed as "event ..." lines.
//
//   morvane_shell_probe --data DIR --url URL --exe PATH --autostart DIR [--icon PATH]
//
// Commands: open, hide, close, state (shown=0|1 exists=0|1), visible (0|1),
// balloon TITLE<TAB>TEXT, startup on|off|query, quit.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <map>
#include <mutex>
#include <string>

#include "morvane/core/shell/app_window.h"
#include "morvane/core/shell/startup.h"
#include "morvane/core/tray/tray.h"

namespace {

std::mutex out_mu;

void say(const std::string& line) {
  std::lock_guard<std::mutex> lock(out_mu);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string change_line(const morvane::StartupChange& c) {
  return std::string("ok=") + (c.ok ? "1" : "0") + " enabled=" + (c.enabled ? "1" : "0") +
         " msg=" + c.msg;
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> opts;
  for (int i = 1; i + 1 < argc; i += 2) opts[argv[i]] = argv[i + 1];
  for (const char* needed : {"--data", "--url", "--exe", "--autostart"}) {
    if (!opts.count(needed)) {
      std::fprintf(stderr,
                   "usage: %s --data DIR --url URL --exe PATH --autostart DIR [--icon PATH]\n",
                   argv[0]);
      return 2;
    }
  }

  morvane::AppWindow window({"Vantriel", opts["--data"]}, morvane::make_app_window_platform());
  window.set_url(opts["--url"]);

  morvane::StartupConfig startup;
  startup.name = "Vantriel";
  startup.executable = opts["--exe"];
  startup.working_folder = std::filesystem::path(opts["--exe"]).parent_path();
  startup.description = "Abre Vantriel en la bandeja del sistema al iniciar sesión.";
  startup.enabled_msg = "Vantriel se abrirá en la bandeja del sistema al iniciar sesión.";
  startup.disabled_msg = "Vantriel ya no se abrirá al iniciar sesión.";
  startup.enable_failed_msg = "No se pudo activar el inicio con la sesión: ";
  startup.disable_failed_msg = "No se pudo quitar el inicio con la sesión: ";
  startup.autostart_folder = opts["--autostart"];

  std::atomic<bool> quit{false};
  morvane::TrayConfig tray;
  tray.name = "Vantriel";
  tray.tip = "Vantriel: listo para recibir ayuda";
  tray.icon_path = opts.count("--icon") ? opts["--icon"] : "";
  tray.show_text = "Mostrar Vantriel";
  tray.hide_text = "Ocultar la ventana";
  tray.startup_text = "Abrir al iniciar sesión";
  tray.exit_text = "Salir de Vantriel";
  tray.closed_title = "Vantriel sigue funcionando";
  tray.closed_text =
      "Cerraste la ventana, pero la app sigue en la bandeja. Doble clic en el ícono para volver a "
      "abrirla o clic derecho → Salir para terminar.";
  tray.show = [&] {
    say("event show");
    window.open();
  };
  tray.hide = [&] {
    say("event hide");
    window.hide();
  };
  tray.is_shown = [&] { return window.is_shown(); };
  tray.window_exists = [&] { return window.exists(); };
  tray.is_startup_enabled = [&] { return morvane::query_startup(startup).enabled; };
  tray.set_startup = [&](bool on) {
    auto change = morvane::set_startup(startup, on);
    say("event startup " + change_line(change));
    return change.msg;
  };
  tray.exit = [&] {
    say("event exit");
    quit.store(true);
  };
  auto icon = morvane::start_tray(tray);

  std::string pending;
  while (!quit.load()) {
    pollfd in{0, POLLIN, 0};
    if (poll(&in, 1, 100) <= 0) continue;
    char buf[4096];
    ssize_t n = read(0, buf, sizeof buf);
    if (n <= 0) break;
    pending.append(buf, static_cast<std::size_t>(n));
    std::size_t eol;
    while (!quit.load() && (eol = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 1);
      if (line == "open") {
        window.open();
        say("ok");
      } else if (line == "hide") {
        window.hide();
        say("ok");
      } else if (line == "close") {
        window.close();
        say("ok");
      } else if (line == "state") {
        say(std::string("shown=") + (window.is_shown() ? "1" : "0") +
            " exists=" + (window.exists() ? "1" : "0"));
      } else if (line == "visible") {
        say(icon->visible() ? "1" : "0");
      } else if (line.rfind("balloon ", 0) == 0) {
        std::string rest = line.substr(8);
        std::size_t tab = rest.find('\t');
        icon->show_balloon(rest.substr(0, tab),
                           tab == std::string::npos ? "" : rest.substr(tab + 1));
        say("ok");
      } else if (line == "startup on" || line == "startup off") {
        say(change_line(morvane::set_startup(startup, line == "startup on")));
      } else if (line == "startup query") {
        say(std::string("enabled=") + (morvane::query_startup(startup).enabled ? "1" : "0"));
      } else if (line == "quit") {
        quit.store(true);
      } else {
        say("unknown " + line);
      }
    }
  }
  // As the host does at exit: the window is asked to close, the icon goes.
  icon->close();
  icon.reset();
  say("bye");
  return 0;
}
