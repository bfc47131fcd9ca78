#include "morvane/update/installer.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "morvane/core/process/executable_path.h"
#include "morvane/core/text/ascii.h"
#include "morvane/update/unpack.h"

namespace morvane {
namespace fs = std::filesystem;
namespace {

using Json = nlohmann::ordered_json;

constexpr char kNotesFile[] = "notas_para_orsela.md";
constexpr int kMoveAttempts = 10;
constexpr auto kMoveRetryPause = std::chrono::seconds(1);
constexpr auto kWaitForOldProcess = std::chrono::milliseconds(60000);
constexpr auto kPauseAfterOldProcess = std::chrono::milliseconds(1500);

std::string name_of(const fs::path& path) {
  auto u8 = path.filename().u8string();
  return std::string(u8.begin(), u8.end());
}

std::string path_text(const fs::path& path) {
  auto u8 = path.u8string();
  return std::string(u8.begin(), u8.end());
}

fs::path path_from(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

// Top-level entries of |folder| by name; an unreadable folder lists nothing.
Result<std::vector<fs::path>> entries_by_name(const fs::path& folder) {
  std::error_code ec;
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    entries.push_back(it->path());
  }
  if (ec) return make_error(ec.message());
  std::sort(entries.begin(), entries.end(),
            [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
  return entries;
}

size_t count_files(const fs::path& folder) {
  std::error_code ec;
  size_t files = 0;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code type_ec;
    if (it->is_regular_file(type_ec)) ++files;
  }
  return files;
}

class Run {
 public:
  Run(const InstallRequest& request, InstallerSystem& system)
      : request_(request), system_(system) {}

  void go();

 private:
  void log(const std::string& text) {
    std::ofstream out(work_ / "actualizacion.log", std::ios::app | std::ios::binary);
    out << system_.local_time_text() << ' ' << text << '\n';
  }
  // Creates the destination's parent, then renames; access denied is tried again, up to
  // kMoveAttempts in all, one second apart.
  Status move(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::create_directories(to.parent_path(), ec);
    Status status;
    for (int attempt = 1; attempt <= kMoveAttempts; ++attempt) {
      bool access_denied = false;
      status = system_.rename(from, to, &access_denied);
      if (status.ok() || !access_denied) return status;
      if (attempt < kMoveAttempts) system_.sleep(kMoveRetryPause);
    }
    return status;
  }
  Status swap(const fs::path& source, size_t* file_count);
  void roll_back();
  void relaunch();

  const InstallRequest& request_;
  InstallerSystem& system_;
  fs::path install_, work_, backup_;
  std::vector<std::string> moved_, placed_;
};

Status Run::swap(const fs::path& source, size_t* file_count) {
  std::error_code ec;
  if (fs::is_regular_file(request_.source, ec)) {
    auto written = unpack_package(request_.source, source, request_.product.top_folder);
    if (!written.ok()) return make_error(written.error());
    *file_count = *written;
  } else {
    if (!fs::is_directory(source, ec)) {
      return make_error("no existe la carpeta de la versi\xC3\xB3n nueva: " + path_text(source));
    }
    *file_count = count_files(source);
  }

  // A version without this platform's program (another platform's package, say) would
  // leave the user with none once the old one is moved aside: refused before anything moves.
  const fs::path program = source / path_from(request_.executable_file);
  if (!fs::is_regular_file(program, ec)) {
    return make_error("el paquete no trae el programa " + request_.executable_file);
  }
  // Packages carry no file modes: the program must stay startable where that matters.
  fs::permissions(program, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add, ec);

  auto old_entries = entries_by_name(install_);
  if (!old_entries.ok()) return make_error(old_entries.error());
  for (const fs::path& entry : *old_entries) {
    std::string name = name_of(entry);
    std::string lower = ascii_lower(name);
    if (lower == kNotesFile || lower == "tools" || lower == "data") continue;
    Status moved = move(entry, backup_ / path_from(name));
    if (!moved.ok()) return moved;
    moved_.push_back(name);
  }

  auto new_entries = entries_by_name(source);
  if (!new_entries.ok()) return make_error(new_entries.error());
  for (const fs::path& entry : *new_entries) {
    std::string name = name_of(entry);
    std::string lower = ascii_lower(name);
    // The notes file stayed in place: a package's copy would replace the user's notes
    // and the rollback would then delete them.
    if (lower == "tools" || lower == "data" || lower == kNotesFile) continue;
    Status placed = move(entry, install_ / path_from(name));
    if (!placed.ok()) return placed;
    placed_.push_back(name);
  }
  return {};
}

void Run::roll_back() {
  for (const std::string& name : placed_) {
    fs::path target = install_ / path_from(name);
    std::error_code ec;
    fs::remove_all(target, ec);
    if (ec) log("  no se pudo quitar " + name + ": " + ec.message());
  }
  for (const std::string& name : moved_) {
    Status back = move(backup_ / path_from(name), install_ / path_from(name));
    if (!back.ok()) log("  no se pudo restaurar " + name + ": " + back.error());
  }
}

void Run::relaunch() {
  std::error_code ec;
  fs::path program = install_ / path_from(request_.executable_file);
  if (!fs::exists(program, ec)) {
    log("No se pudo volver a abrir " + request_.product.display_name + ": no se encontr\xC3\xB3 " +
        request_.executable_file);
    return;
  }
  std::vector<std::string> args = {"--no-elevate"};
  if (request_.quiet) args.push_back("--no-window");
  Status started = system_.start_detached(program, args, install_);
  if (!started.ok()) {
    log("No se pudo volver a abrir " + request_.product.display_name + ": " + started.error());
  }
}

void Run::go() {
  std::error_code ec;
  install_ = fs::absolute(request_.install_folder, ec);
  if (ec) install_ = request_.install_folder;
  work_ = install_ / "data" / "actualizacion";
  backup_ = work_ / "respaldo";
  fs::create_directories(work_, ec);

  double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  Json result = {{"ok", false},
                 {"version", request_.version},
                 {"from", request_.from_version},
                 {"time", std::isfinite(now) ? Json(now) : Json(nullptr)}};
  log("Instalando v" + request_.version + " sobre v" + request_.from_version + " en " +
      path_text(install_));

  if (request_.wait_pid != 0) {
    system_.wait_for_exit(request_.wait_pid, kWaitForOldProcess);
    system_.sleep(kPauseAfterOldProcess);
  }

  fs::path source = fs::is_regular_file(request_.source, ec) ? work_ / "nuevo" : request_.source;
  fs::remove_all(backup_, ec);

  size_t file_count = 0;
  Status swapped = swap(source, &file_count);
  if (swapped.ok()) {
    result["ok"] = true;
    result["files"] = file_count;
    result["clean"] = true;
    log("Listo: instalaci\xC3\xB3n limpia, " + std::to_string(file_count) +
        " archivo(s); se quitaron " + std::to_string(moved_.size()) +
        " elemento(s) de la versi\xC3\xB3n anterior.");
    fs::remove_all(backup_, ec);
  } else {
    result["error"] = swapped.error();
    log("ERROR: " + swapped.error() + ". Restaurando la versi\xC3\xB3n anterior\xE2\x80\xA6");
    roll_back();
  }

  fs::remove_all(source, ec);
  {
    std::ofstream out(work_ / "resultado.json.tmp", std::ios::binary | std::ios::trunc);
    out << result.dump(-1, ' ', false, Json::error_handler_t::replace);
  }
  fs::rename(work_ / "resultado.json.tmp", work_ / "resultado.json", ec);

  if (!request_.no_relaunch) relaunch();
}

}  // namespace

void apply_update(const InstallRequest& request, InstallerSystem& system) {
  try {
    Run(request, system).go();
  } catch (...) {
    // Allocation failure or a library fault: nothing sensible is left to do here.
  }
}

Status start_installer(const fs::path& install_folder, const fs::path& new_folder,
                       const std::string& new_version, const std::string& running_version,
                       const std::string& executable_file) {
  fs::path work = install_folder / "data" / "actualizacion";
  std::error_code ec;
  fs::create_directories(work, ec);
  if (ec) return make_error(ec.message());
  auto self = executable_path();
  if (!self.ok()) return make_error(self.error());
  fs::path copy = work / path_from(executable_file);
  fs::copy_file(*self, copy, fs::copy_options::overwrite_existing, ec);
  if (ec) return make_error(ec.message());
  return real_installer_system().start_detached(
      copy,
      {"--apply-update", path_text(new_folder), path_text(install_folder),
       std::to_string(internal::current_process_id()), "--version", new_version, "--from-version",
       running_version},
      work);
}

InstallerSystem& real_installer_system() {
  static InstallerSystem system;
  return system;
}

}  // namespace morvane
