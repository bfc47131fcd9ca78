#include "main/lifecycle.h"

#include <filesystem>

#include "base/data_folder.h"
#include "base/environment.h"
#include "host/host.h"
#include "host/instance.h"
#include "host/test_switches.h"
#include "main/elevation.h"
#include "morvane/core/shell/shell.h"

namespace vantriel {

int run_host(const CommandLine& cl) {
  morvane::declare_dpi_awareness();

  const std::filesystem::path data_folder = data_folder_beside_executable();
  if (probe_running_instance(data_folder, cl.startup)) return 0;

  bool elevation_declined = false;
  if (!cl.no_elevate && !morvane::is_user_an_admin()) {
    if (morvane::restart_elevated(elevation_parameters(cl.args))) return 0;
    elevation_declined = true;
  }

  Host host(data_folder,
            HostOptions{.no_window = cl.no_window,
                        .no_tray = cl.no_tray,
                        .startup = cl.startup,
                        .first_port = first_port(env_var("VTR_PORT")),
                        .elevation_declined = elevation_declined},
            read_test_switches());
  return host.run();
}

}  // namespace vantriel
