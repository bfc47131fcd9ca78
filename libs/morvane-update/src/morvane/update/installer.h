// Replacing the files of a running program. The running application hands over to a copy
// of its own executable started in installer mode (start_installer); that process waits
// for the old one to end, moves the old version aside into "respaldo", moves the new one
// in, puts everything back when any step fails, leaves a result record for the next start
// and starts the program again (apply_update). The user's "data" folder, the "tools"
// folder and the notes file are never moved.
#ifndef MORVANE_UPDATE_INSTALLER_H_
#define MORVANE_UPDATE_INSTALLER_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "morvane/core/result.h"
#include "morvane/update/product.h"

namespace morvane {

struct InstallRequest {
  std::filesystem::path source;          // a folder, or a ZIP package file
  std::filesystem::path install_folder;  // where the executable lives
  uint32_t wait_pid = 0;                 // the old process; 0 waits for nothing
  std::string version;
  std::string from_version;
  bool quiet = false;  // the relaunched program starts without its window
  bool no_relaunch = false;
  // The installed executable's file name on this platform (Vantriel.exe, vantriel).
  std::string executable_file;
  UpdateProduct product;  // its display name and top folder are used
};

// What the installer needs from the operating system; tests replace parts of it.
class InstallerSystem {
 public:
  virtual ~InstallerSystem() = default;
  // Renames |from| to |to|, replacing a file there. On failure sets *access_denied when
  // the cause may pass (a file still held open by the ending process).
  virtual Status rename(const std::filesystem::path& from, const std::filesystem::path& to,
                        bool* access_denied);
  virtual void sleep(std::chrono::milliseconds duration);
  // Returns once process |pid| has ended or |limit| has passed; at once when there is no
  // such process.
  virtual void wait_for_exit(uint32_t pid, std::chrono::milliseconds limit);
  // Starts |program| with |args| in |folder|, detached (own process group, no console),
  // without waiting for it.
  virtual Status start_detached(const std::filesystem::path& program,
                                const std::vector<std::string>& args,
                                const std::filesystem::path& folder);
  // "YYYY-MM-DD HH:MM:SS", local time.
  virtual std::string local_time_text();
};

InstallerSystem& real_installer_system();

// Hand-off, in the running application: copies the running executable to
// <install>/data/actualizacion/<executable_file> and starts that copy with
//   --apply-update <new_folder> <install> <own pid> --version <v> --from-version <from>
// in data/actualizacion. Does not wait. Errors carry the system's text.
Status start_installer(const std::filesystem::path& install_folder,
                       const std::filesystem::path& new_folder, const std::string& new_version,
                       const std::string& running_version, const std::string& executable_file);

// Installer mode. A new version that lacks |executable_file| is refused before anything
// moves. Never fails towards the caller: the outcome is
// data/actualizacion/resultado.json, the lines of data/actualizacion/actualizacion.log and
// the relaunch.
void apply_update(const InstallRequest& request, InstallerSystem& system = real_installer_system());

namespace internal {
// The platform half of the hand-off.
uint32_t current_process_id();
}  // namespace internal

}  // namespace morvane

#endif  // MORVANE_UPDATE_INSTALLER_H_
