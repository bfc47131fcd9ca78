#include "update/update_service.h"

#include "base/data_folder.h"
#include "base/environment.h"
#include "http/sessions.h"
#include "http/update_routes.h"
#include "update/updater.h"
#include "morvane/core/process/executable_path.h"

namespace vantriel {

void start_update_service(const std::string& running_version, const std::string& executable_file,
                          std::function<void()> exit_routine) {
  UpdaterConfig config;
  config.data_folder = data_folder();
  auto self = morvane::executable_path();
  config.install_folder = self ? self->parent_path() : data_folder().parent_path();
  config.running_version = running_version;
  config.executable_file = executable_file;
  config.exit_routine = std::move(exit_routine);
  config.busy = [] { return support_sessions().busy_activities(); };
  config.dry_run = env_var("MRV_UPD_DRY_RUN") == std::optional<std::string>("1");
  create_updater(std::move(config));
  set_update_routes(
      {.state = [] { return updater()->state(); },
       .action = [](const nlohmann::ordered_json& request) { return updater()->action(request); }});
  updater()->start_up_check();
}

}  // namespace vantriel
