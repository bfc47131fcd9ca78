#include "morvane/core/sync/mutex.h"
#include "morvane/core/sync/thread_name.h"
#include "update/updater.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <deque>
#include <fstream>
#include <system_error>
#include <thread>

#include "base/file_util.h"
#include "base/json_file.h"
#include "base/local_time.h"
#include "base/setting_names.h"
#include "base/settings.h"
#include "update/update_product.h"
#include "morvane/update/installer.h"
#include "morvane/update/release.h"
#include "morvane/update/unpack.h"
#include "morvane/update/sha/sha256.h"
#include "morvane/core/web/http_get.h"

namespace vantriel {
namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

namespace {

constexpr char kTag[] = "[ACTUALIZAR] ";
constexpr char kPackagePrefix[] = "Vantriel_v";
constexpr uint32_t kManifestTimeoutMs = 10000;
constexpr uint32_t kPackageTimeoutMs = 30000;
constexpr auto kStartUpDelay = std::chrono::seconds(8);
constexpr auto kCheckReplyPause = std::chrono::milliseconds(150);
constexpr auto kBusyPoll = std::chrono::seconds(1);
constexpr auto kExitPause = std::chrono::milliseconds(1500);
constexpr double kDaySeconds = 86400;

fs::path path_of(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

json now_or_null() {
  double now = unix_seconds_now();
  return std::isfinite(now) ? json(now) : json(nullptr);
}

std::string errno_text() { return std::generic_category().message(errno); }

// The support page address without its scheme, as the refusal names it.
std::string support_page_host_path() {
  std::string page(kSupportPageUrl);
  size_t scheme = page.find("://");
  return scheme == std::string::npos ? page : page.substr(scheme + 3);
}

std::string join_busy(const std::vector<std::string>& busy) {
  std::string text;
  for (size_t i = 0; i < busy.size(); ++i) text += (i ? " y " : "") + busy[i];
  return text;
}

// Hashes what the download hands it on a thread of its own, so the transfer does not wait
// for SHA-256. At most kMaxQueued bytes wait; beyond that add() blocks.
class BackgroundHash {
 public:
  BackgroundHash() : thread_([this] {
    morvane::set_current_thread_name("update hash");
    run();
  }) {}
  ~BackgroundHash() {
    if (thread_.joinable()) (void)finish_hex();
  }
  BackgroundHash(const BackgroundHash&) = delete;
  BackgroundHash& operator=(const BackgroundHash&) = delete;

  void add(const char* data, size_t size) {
    morvane::MutexLock lock(mu_);
    while (queued_ >= kMaxQueued) space_.wait(mu_);
    queue_.emplace_back(data, size);
    queued_ += size;
    ready_.notify_one();
  }
  std::string finish_hex() {
    {
      morvane::MutexLock lock(mu_);
      done_ = true;
    }
    ready_.notify_one();
    thread_.join();
    return hash_.finish_hex();
  }

 private:
  static constexpr size_t kMaxQueued = 8u * 1024u * 1024u;

  void run() {
    for (;;) {
      std::string chunk;
      {
        morvane::MutexLock lock(mu_);
        while (queue_.empty() && !done_) ready_.wait(mu_);
        if (queue_.empty()) return;
        chunk = std::move(queue_.front());
        queue_.pop_front();
        queued_ -= chunk.size();
      }
      space_.notify_one();
      hash_.update(chunk);
    }
  }

  morvane::Mutex mu_;
  morvane::CondVar ready_, space_;
  std::deque<std::string> queue_ GUARDED_BY(mu_);
  size_t queued_ GUARDED_BY(mu_) = 0;
  bool done_ GUARDED_BY(mu_) = false;
  morvane::Sha256 hash_;
  std::thread thread_;  // last: starts once the members above exist
};

}  // namespace

const char* update_phase_text(UpdatePhase phase) {
  switch (phase) {
    case UpdatePhase::kIdle: return "idle";
    case UpdatePhase::kChecking: return "checking";
    case UpdatePhase::kAvailable: return "available";
    case UpdatePhase::kUpToDate: return "uptodate";
    case UpdatePhase::kError: return "error";
    case UpdatePhase::kDownloading: return "downloading";
    case UpdatePhase::kVerifying: return "verifying";
    case UpdatePhase::kWaiting: return "waiting";
    case UpdatePhase::kInstalling: return "installing";
  }
  return "idle";
}

bool auto_check_enabled(const DataFolder& folder) {
  return setting(load_settings(folder), kGeneralSection, kCheckForUpdatesKey) != "no";
}

Updater::Updater(UpdaterConfig config, const DataFolder& folder, const Log& log)
    : config_(std::move(config)), folder_(folder), log_(log) {
  std::error_code ec;
  fs::create_directories(work_folder(), ec);
  std::optional<json> stored = read_json_file(work_folder() / "estado.json");
  if (stored && stored->is_object()) {
    if (stored->contains("last_check")) last_check_ = (*stored)["last_check"];
    if (stored->contains("latest")) latest_ = (*stored)["latest"];
    if (stored->contains("dismissed")) dismissed_ = (*stored)["dismissed"];
  }
  fs::path result_file = work_folder() / "resultado.json";
  if (std::optional<json> record = read_json_file(result_file)) {
    fs::remove(result_file, ec);
    auto member = [&](const char* key) {
      return morvane::value_text(record->is_object() && record->contains(key) ? (*record)[key]
                                                                              : json(nullptr));
    };
    bool ok = record->is_object() && record->contains("ok") && (*record)["ok"] == true;
    if (ok) {
      log_.line(std::string(kTag) + "Instalada la v" + member("version") + " (antes v" +
               member("from") + ")");
    } else {
      log_.line(std::string(kTag) +
               "La instalaci\xC3\xB3n fall\xC3\xB3 y se regres\xC3\xB3 todo: " + member("error"));
    }
    result_ = std::move(*record);
  }
}

Updater::~Updater() { stopping_ = true; }

json Updater::state_locked(const std::vector<std::string>& busy) {
  bool automatic = auto_check_enabled(folder_);
  bool available = false;
  if (latest_.is_object() && !latest_.empty()) {
    json version = latest_.contains("version") ? latest_["version"] : json(nullptr);
    available = morvane::version_key(morvane::value_text(version)) >
                morvane::version_key(config_.running_version);
  }
  std::error_code ec;
  bool can_install = available && latest_.contains("signed") &&
                     morvane::truthy(latest_["signed"]) &&
                     fs::exists(config_.install_folder / path_of(config_.executable_file), ec);
  json reply;
  reply["current"] = config_.running_version;
  reply["phase"] = update_phase_text(phase_ == UpdatePhase::kAvailable && !available
                                         ? UpdatePhase::kUpToDate
                                         : phase_);
  reply["pct"] = pct_;
  reply["msg"] = message_;
  reply["auto"] = automatic;
  reply["last_check"] = last_check_;
  reply["available"] = available;
  reply["latest"] = available ? latest_ : json(nullptr);
  reply["dismissed"] = dismissed_;
  reply["can_install"] = can_install;
  reply["busy"] = busy;
  reply["waiting"] = installing_;
  {
    morvane::MutexLock result_lock(result_mu_);
    reply["result"] = result_;
  }
  reply["page"] = kSupportPageUrl;
  return reply;
}

json Updater::state() {
  morvane::MutexLock lock(mu_);
  return state_locked(config_.busy ? config_.busy() : std::vector<std::string>{});
}

void Updater::save_state_locked() {
  json doc = {{"last_check", last_check_}, {"latest", latest_}, {"dismissed", dismissed_}};
  if (const morvane::Status saved =
          write_file_atomic(work_folder() / "estado.json", work_folder() / "estado.tmp",
                            doc.dump(-1, ' ', false, json::error_handler_t::replace));
      !saved) {
    log_.line(std::string(kTag) + "No se pudo guardar el estado: " + saved.error());
  }
}

json Updater::action(const json& request) {
  std::string what;
  if (request.is_object() && request.contains("action") && request["action"].is_string()) {
    what = request["action"].get<std::string>();
  }
  if (what == "check") {
    check_thread_.post([this] { check(); });
    std::this_thread::sleep_for(kCheckReplyPause);
  } else if (what == "auto") {
    bool on = request.contains("on") && morvane::truthy(request["on"]);
    if (const morvane::Status saved =
            set_setting(folder_, kGeneralSection, kCheckForUpdatesKey, on ? "si" : "no");
        !saved) {
      log_.line(std::string(kTag) + "No se pudo guardar la b\xC3\xBAsqueda autom\xC3\xA1tica: " +
                saved.error());
    }
  } else if (what == "dismiss") {
    morvane::MutexLock lock(mu_);
    dismissed_ =
        latest_.is_object() && latest_.contains("version") ? latest_["version"] : json(nullptr);
    std::error_code ec;
    fs::create_directories(work_folder(), ec);
    save_state_locked();
  } else if (what == "seen") {
    morvane::MutexLock result_lock(result_mu_);
    result_ = nullptr;
  } else if (what == "install") {
    // The session flags are read before the updater lock is taken.
    std::vector<std::string> busy = config_.busy ? config_.busy() : std::vector<std::string>{};
    morvane::MutexLock lock(mu_);
    json reply = state_locked(busy);
    if (reply["can_install"] != true) {
      return {
          {"ok", false},
          {"msg", "Esta versi\xC3\xB3n no se puede instalar desde la app: desc\xC3\xA1rgala de " +
                      support_page_host_path() + "."}};
    }
    if (!busy.empty()) {
      return {{"ok", false},
              {"busy", true},
              {"msg", "Primero termina " + join_busy(busy) +
                          " (una actualizaci\xC3\xB3n la cortar\xC3\xAD"
                          "a)."}};
    }
    if (phase_ == UpdatePhase::kVerifying || phase_ == UpdatePhase::kInstalling ||
        phase_ == UpdatePhase::kDownloading || installing_) {
      return {{"phase", update_phase_text(phase_)},
              {"pct", pct_},
              {"msg", message_},
              {"waiting", installing_},
              {"ok", true}};
    }
    installing_ = true;
    ++install_runs_;
    phase_ = UpdatePhase::kDownloading;
    pct_ = 0;
    message_ = "Descargando\xE2\x80\xA6";
    install_thread_.post([this] { install_worker(); });
    reply = state_locked(busy);
    reply["ok"] = true;
    return reply;
  }
  return state();
}

void Updater::start_up_check() {
  double last = 0;
  {
    morvane::MutexLock lock(mu_);
    if (last_check_.is_number()) last = last_check_.get<double>();
  }
  if (!(unix_seconds_now() - last > kDaySeconds) || !auto_check_enabled(folder_)) return;
  check_thread_.post_delayed([this] { check(); },
                             std::chrono::duration_cast<std::chrono::milliseconds>(kStartUpDelay));
}

void Updater::check() {
  uint64_t install_runs_at_start = 0;
  {
    morvane::MutexLock lock(mu_);
    if (phase_ != UpdatePhase::kIdle && phase_ != UpdatePhase::kError &&
        phase_ != UpdatePhase::kUpToDate && phase_ != UpdatePhase::kAvailable) {
      return;
    }
    install_runs_at_start = install_runs_;
    phase_ = UpdatePhase::kChecking;
    message_ = "Buscando actualizaciones\xE2\x80\xA6";
  }
  auto key = morvane::load_update_key(config_.install_folder);
  auto response = morvane::http_get(
      morvane::manifest_url(update_product()),
      {{"User-Agent", update_user_agent(config_.running_version)},
       {"Cache-Control", "no-cache"}},
      kManifestTimeoutMs);
  morvane::ReleaseCheck outcome =
      response.ok() ? morvane::evaluate_release(response->status, response->body,
                                                config_.running_version, key, update_product())
                    : morvane::ReleaseCheck(morvane::ReleaseFailure{response.error(), false});

  UpdatePhase phase = UpdatePhase::kError;
  std::string message;
  bool moves_last_check = true;
  json latest;
  if (auto* release = std::get_if<morvane::Release>(&outcome)) {
    phase = release->newer ? UpdatePhase::kAvailable : UpdatePhase::kUpToDate;
    message = release->newer ? "Hay una versi\xC3\xB3n nueva: v" + release->version
                             : std::string("Ya tienes la versi\xC3\xB3n m\xC3\xA1s reciente.");
    latest = release->info;
  } else {
    const auto& failure = std::get<morvane::ReleaseFailure>(outcome);
    phase = UpdatePhase::kError;
    message = "No se pudo buscar actualizaciones: " + failure.message;
    moves_last_check = failure.description_read;
  }
  log_.line(kTag + message);

  morvane::MutexLock lock(mu_);
  if (moves_last_check) last_check_ = now_or_null();
  if (phase != UpdatePhase::kError) latest_ = std::move(latest);
  if (install_runs_ == install_runs_at_start) {
    phase_ = phase;
    message_ = message;
  }
  std::error_code ec;
  fs::create_directories(work_folder(), ec);
  save_state_locked();
}

void Updater::set_progress(UpdatePhase phase, uint32_t pct, const std::string& message) {
  morvane::MutexLock lock(mu_);
  phase_ = phase;
  pct_ = pct;
  message_ = message;
}

void Updater::fail_install(const std::string& error, const fs::path& download) {
  std::error_code ec;
  fs::remove(download, ec);
  log_.line(std::string(kTag) + "No se pudo actualizar: " + error);
  morvane::MutexLock lock(mu_);
  installing_ = false;
  phase_ = UpdatePhase::kError;
  pct_ = 0;
  message_ = "No se pudo actualizar: " + error;
}

// What one install run works on, fixed when it starts.
struct Updater::InstallRun {
  json latest;              // the release as the last check found it
  std::string new_version;  // its "version" as text
  fs::path package;         // the verified download
  fs::path download;        // where it arrives; renamed to `package` once verified
};

Updater::InstallRun Updater::begin_install_run() {
  InstallRun run;
  {
    morvane::MutexLock lock(mu_);
    run.latest = latest_;
  }
  std::error_code ec;
  fs::create_directories(work_folder(), ec);
  json version = run.latest.is_object() && run.latest.contains("version") ? run.latest["version"]
                                                                          : json(nullptr);
  run.new_version = morvane::value_text(version);
  run.package = work_folder() / path_of(kPackagePrefix + run.new_version + ".zip");
  run.download = run.package;
  run.download += ".part";
  return run;
}

morvane::Result<std::string> Updater::fetch(const InstallRun& run) {
  const json& latest = run.latest;
  if (!latest.is_object() || !latest.contains("url") || !latest["url"].is_string()) {
    return morvane::make_error(morvane::kBadUrl);
  }
  std::string url = latest["url"].get<std::string>();
  uint64_t size = 0;
  bool size_known = false;
  if (latest.contains("size") &&
      (latest["size"].is_number_unsigned() ||
       (latest["size"].is_number_integer() && latest["size"].get<int64_t>() >= 0))) {
    size = latest["size"].get<uint64_t>();
    size_known = true;
  }

  std::string write_error;
  BackgroundHash hash;
  std::ofstream file(run.download, std::ios::binary | std::ios::trunc);
  if (!file) return morvane::make_error(errno_text());
  uint64_t count = 0;
  auto response = morvane::http_get(
      url,
      {{"User-Agent", update_user_agent(config_.running_version)}, {"Cache-Control", "no-cache"}},
      kPackageTimeoutMs, [&](const char* data, size_t n) {
        if (!file.write(data, static_cast<std::streamsize>(n))) {
          write_error = errno_text();
          return false;
        }
        hash.add(data, n);
        count += n;
        if (size_known && size > 0) {
          uint64_t pct = std::min<uint64_t>(count * 100 / size, 99);
          morvane::MutexLock lock(mu_);
          pct_ = static_cast<uint32_t>(pct);
        }
        return true;
      });
  // Closed before any failure is reported: Windows will not delete a file that is still
  // open, and a failed download must not leave its part file behind.
  file.close();
  const bool close_failed = file.fail();
  if (!response.ok()) return morvane::make_error(response.error());
  if (!write_error.empty()) return morvane::make_error(write_error);
  if (response->status > 399) {
    return morvane::make_error("HTTP Error " + std::to_string(response->status));
  }
  if (close_failed) return morvane::make_error(errno_text());
  return hash.finish_hex();
}

morvane::Status Updater::verify(const InstallRun& run, const std::string& sha256_hex) {
  {
    morvane::MutexLock lock(mu_);
    phase_ = UpdatePhase::kVerifying;
    message_ = "Comprobando la firma y el archivo\xE2\x80\xA6";
  }
  if (!morvane::package_matches(run.latest, sha256_hex)) {
    return morvane::make_error(std::string(morvane::kPackageMismatch));
  }
  std::error_code ec;
  fs::rename(run.download, run.package, ec);
  if (ec) return morvane::make_error(ec.message());
  return {};
}

morvane::Status Updater::unpack(const InstallRun& run) {
  auto unpacked =
      morvane::unpack_package(run.package, work_folder() / "nuevo", update_product().top_folder);
  if (!unpacked.ok()) return morvane::make_error(unpacked.error());
  return {};
}

bool Updater::wait_until_free() {
  for (bool first = true;; first = false) {
    if (stopping_) return false;
    std::vector<std::string> busy = config_.busy ? config_.busy() : std::vector<std::string>{};
    if (busy.empty()) return true;
    if (first) {
      log_.line(std::string(kTag) +
               "Lista para instalar; esperando a que termine la sesi\xC3\xB3n o la llamada");
    }
    set_progress(UpdatePhase::kWaiting, 100,
                 "Lista para instalar: esperando a que termine \xC2\xAB" + busy.front() +
                     "\xC2\xBB\xE2\x80\xA6");
    std::this_thread::sleep_for(kBusyPoll);
  }
}

morvane::Status Updater::hand_off(const InstallRun& run) {
  {
    morvane::MutexLock lock(mu_);
    phase_ = UpdatePhase::kInstalling;
    pct_ = 100;
    message_ = "Instalando: Vantriel se cerrar\xC3\xA1 y volver\xC3\xA1 a abrir en unos "
               "segundos\xE2\x80\xA6";
    // A dry run ends here. Its end is set under the same lock as the phase, so that no
    // state read shows "installing" with the run still marked as going.
    if (config_.dry_run) installing_ = false;
  }
  log_.line(std::string(kTag) + "Instalando v" + run.new_version + " (sobre v" +
           config_.running_version + ")");
  if (config_.dry_run) return {};
  morvane::Status started =
      morvane::start_installer(config_.install_folder, work_folder() / "nuevo", run.new_version,
                               config_.running_version, config_.executable_file);
  if (!started.ok()) return started;
  std::this_thread::sleep_for(kExitPause);
  {
    morvane::MutexLock lock(mu_);
    installing_ = false;
  }
  if (config_.exit_routine) config_.exit_routine();
  return {};
}

void Updater::install_worker() {
  const InstallRun run = begin_install_run();
  const morvane::Result<std::string> sha256_hex = fetch(run);
  if (!sha256_hex.ok()) return fail_install(sha256_hex.error(), run.download);
  if (auto verified = verify(run, *sha256_hex); !verified) {
    return fail_install(verified.error(), run.download);
  }
  if (auto unpacked = unpack(run); !unpacked) return fail_install(unpacked.error(), run.download);
  // A run that is stopped while it waits ends here, as the program does.
  if (!wait_until_free()) return;
  if (auto handed = hand_off(run); !handed) return fail_install(handed.error(), run.download);
}

}  // namespace vantriel
