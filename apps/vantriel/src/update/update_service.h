// Plugs the updater into the running host: creates it, opens "/api/update" to it and runs
// the start-up check.
#ifndef VANTRIEL_UPDATE_UPDATE_SERVICE_H_
#define VANTRIEL_UPDATE_UPDATE_SERVICE_H_

#include <functional>
#include <string>

namespace vantriel {

// Called once by the start-up sequence, after the server runs. The install folder is the
// running executable's folder; MRV_UPD_DRY_RUN=1 stops install runs before the hand-off.
void start_update_service(const std::string& running_version, const std::string& executable_file,
                          std::function<void()> exit_routine);

}  // namespace vantriel

#endif  // VANTRIEL_UPDATE_UPDATE_SERVICE_H_
