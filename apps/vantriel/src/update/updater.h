// The running application's side of updates. The host owns one Updater, which holds what
// the last check found, what the user put off and where an installation run stands, and
// runs the daily check at start-up, checks on request, the page's update actions and the
// install run (fetch, verify, unpack, wait for open sessions and calls, hand off to the
// installer).
//
// Threads: request workers call state() and action(); checks run on the updater's "update
// check" thread and install runs on its "update install" thread, one at a time each. Lock
// order: the updater lock, then (one after the other, never together) the session flags
// and the result lock. The updater lock is never held across the network, the key
// loading, the unpack or a sleep.
#ifndef VANTRIEL_UPDATE_UPDATER_H_
#define VANTRIEL_UPDATE_UPDATER_H_

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/data_folder.h"
#include "base/log.h"
#include "base/task_thread.h"
#include "morvane/core/result.h"
#include "morvane/core/sync/mutex.h"

namespace vantriel {

// Where the updater stands; the page reads it as the text of update_phase_text().
enum class UpdatePhase {
  kIdle,
  kChecking,
  kAvailable,
  kUpToDate,
  kError,
  kDownloading,
  kVerifying,
  kWaiting,
  kInstalling,
};

// "idle", "checking", "available", "uptodate", "error", "downloading", "verifying",
// "waiting", "installing".
const char* update_phase_text(UpdatePhase phase);

struct UpdaterConfig {
  std::filesystem::path install_folder;
  std::string running_version;
  std::string executable_file;  // the installed executable's name on this platform
  // The application's orderly shutdown, called on the install thread after the installer
  // was started.
  std::function<void()> exit_routine;
  // What an installation would cut now ("la sesión de soporte", "la llamada").
  std::function<std::vector<std::string>()> busy;
  bool dry_run = false;  // stop an install run in "installing", before the hand-off
};

class Updater {
 public:
  // Creates "actualizacion" in `folder`, reads "estado.json", and reads, logs and deletes
  // the installer's "resultado.json". `folder` holds the settings the automatic checks
  // follow; it and `log` must outlive the updater.
  Updater(UpdaterConfig config, const DataFolder& folder, const Log& log);
  // Drops checks that have not started, ends a run that waits for a session, and waits
  // for a running check or install step.
  ~Updater();
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // The state reply the page reads.
  nlohmann::ordered_json state();
  // One page request: "check", "auto", "dismiss", "seen", "install"; others only answer
  // the state.
  nlohmann::ordered_json action(const nlohmann::ordered_json& request);
  // Starts a check 8 seconds from now when the last one is more than a day old and the
  // user allows automatic checks.
  void start_up_check();

  // Runs one check on the calling thread (the "check" action posts it to the check thread).
  void check();
  // The install run on the calling thread; "install" posts it to the install thread.
  void install_worker();

  std::filesystem::path work_folder() const { return folder_.path() / "actualizacion"; }

 private:
  nlohmann::ordered_json state_locked(const std::vector<std::string>& busy) REQUIRES(mu_);
  void save_state_locked() REQUIRES(mu_);
  void set_progress(UpdatePhase phase, uint32_t pct, const std::string& message);
  void fail_install(const std::string& error, const std::filesystem::path& download);

  // The steps of install_worker(), in the order it runs them on the install thread. A
  // step's error ends the run through fail_install().
  struct InstallRun;
  // The release to install and its file names, from the last check.
  InstallRun begin_install_run();
  // Downloads the package to its ".part" file; returns its SHA-256 (hexadecimal).
  morvane::Result<std::string> fetch(const InstallRun& run);
  // Checks the hash against the release and gives the download its package name.
  morvane::Status verify(const InstallRun& run, const std::string& sha256_hex);
  // Unpacks the package into "nuevo" in the work folder.
  morvane::Status unpack(const InstallRun& run);
  // Waits while a session or a call runs; false when the updater is being destroyed.
  bool wait_until_free();
  // Starts the installer and the application's exit (in a dry run, stops before both).
  morvane::Status hand_off(const InstallRun& run);

  const UpdaterConfig config_;
  const DataFolder& folder_;
  const Log& log_;

  morvane::Mutex mu_;
  UpdatePhase phase_ GUARDED_BY(mu_) = UpdatePhase::kIdle;
  std::string message_ GUARDED_BY(mu_);
  uint32_t pct_ GUARDED_BY(mu_) = 0;
  nlohmann::ordered_json last_check_ GUARDED_BY(mu_) = 0;
  nlohmann::ordered_json latest_ GUARDED_BY(mu_);     // null or the last ReleaseInfo
  nlohmann::ordered_json dismissed_ GUARDED_BY(mu_);  // null or a release "version" value
  bool installing_ GUARDED_BY(mu_) = false;
  // Counts install runs started; a check that sees it move while the check was on the
  // network leaves phase and message to that run (a late check must not hide its error).
  uint64_t install_runs_ GUARDED_BY(mu_) = 0;

  morvane::Mutex result_mu_ ACQUIRED_AFTER(mu_);
  // The installer's record, until the page has seen it.
  nlohmann::ordered_json result_ GUARDED_BY(result_mu_);

  std::atomic<bool> stopping_{false};
  // Last: destroyed first, so a running task finds every member above alive.
  TaskThread check_thread_{"update check"};
  TaskThread install_thread_{"update install"};
};

// The "buscar_actualizaciones" switch in the settings of `folder`: off only when exactly
// "no".
bool auto_check_enabled(const DataFolder& folder);

}  // namespace vantriel

#endif  // VANTRIEL_UPDATE_UPDATER_H_
