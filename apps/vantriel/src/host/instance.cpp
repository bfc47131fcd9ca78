#include "host/instance.h"
#include "host/pc_sound.h"

#include <filesystem>
#include <string_view>

#include "main/app_version.h"
#include "base/file_util.h"
#include "base/json_file.h"
#include "morvane/core/shell/app_window.h"
#include "morvane/core/shell/shell.h"

namespace vantriel {
namespace {

constexpr char kRecordFile[] = "instancia.json";

std::optional<std::uint64_t> non_negative_integer(const nlohmann::ordered_json& record,
                                                  const char* key) {
  if (!record.is_object()) return std::nullopt;
  auto it = record.find(key);
  if (it == record.end()) return std::nullopt;
  if (it->is_number_unsigned()) return it->get<std::uint64_t>();
  if (it->is_number_integer() && it->get<std::int64_t>() >= 0) {
    return static_cast<std::uint64_t>(it->get<std::int64_t>());
  }
  return std::nullopt;
}

}  // namespace

morvane::Status write_instance_record(const DataFolder& folder, std::uint16_t port) {
  nlohmann::ordered_json record = {
      {"port", port}, {"pid", current_process_id()}, {"version", kAppVersion}};
  return write_file_atomic(folder.file(kRecordFile), folder.file("instancia.tmp"), record.dump());
}

void remove_instance_record(const DataFolder& folder) {
  auto record = read_json_file(folder.file(kRecordFile));
  if (!record) return;
  auto pid = non_negative_integer(*record, "pid");
  if (pid && *pid == current_process_id()) {
    std::error_code ignored;
    std::filesystem::remove(folder.file(kRecordFile), ignored);
  }
}

bool probe_running_instance(const std::filesystem::path& data_folder, bool startup) {
  auto record = read_json_file(data_folder / kRecordFile);
  if (!record) return false;
  auto port_value = non_negative_integer(*record, "port");
  if (!port_value) return false;
  // The record's port is used as a 16-bit port, as the socket API would take it.
  auto port = static_cast<std::uint16_t>(*port_value);
  auto answer = probe_local(port, "/api/version");
  if (!answer || answer->find("vantriel") == std::string::npos) return false;

  auto version = record->find("version");
  if (!startup && version != record->end() && version->is_string() &&
      version->get<std::string>() != kAppVersion) {
    morvane::show_message_box(
        kAppName, "Ya hay un Vantriel abierto (v" + version->get<std::string>() +
                      ") y esta es la v" + kAppVersion +
                      ".\n\nCi\xC3\xA9rralo desde su \xC3\xAD" "cono en la bandeja (clic derecho "
                      "\xE2\x86\x92 Salir) y vuelve a abrir Vantriel.");
  }
  if (!probe_local(port, "/api/show")) {
    // The running host did not answer: show its page in a window of our own making.
    morvane::AppWindow window(
        morvane::AppWindowConfig{kAppName, data_folder}, morvane::make_app_window_platform(),
        morvane::BrowserExtras{
            .switches = pc_sound_browser_switches(),
            .environment = [] { return make_pc_sound()->browser_environment(); },
        });
    window.set_url("http://127.0.0.1:" + std::to_string(port) + "/");
    window.open();
  }
  return true;
}

}  // namespace vantriel
