#include "base/recents.h"


#include "base/id_format.h"
#include "base/json_file.h"
#include "base/local_time.h"
#include "morvane/core/sync/mutex.h"
#include "morvane/core/text/utf8.h"

namespace vantriel {
namespace {

// Every read-modify-write of "recientes.json" holds the file's lock, so two requests that
// change the list at once never lose an entry and never share the temporary file.
morvane::Mutex& recents_lock(const DataFolder& folder) { return folder.file_lock(kRecentsFileName); }

void drop_id(nlohmann::ordered_json& list, std::string_view id) {
  nlohmann::ordered_json kept = nlohmann::ordered_json::array();
  for (auto& element : list) {
    if (element.is_object()) {
      const auto member = element.find("id");
      if (member != element.end() && member->is_string() &&
          member->get_ref<const std::string&>() == id) {
        continue;
      }
    }
    kept.push_back(std::move(element));
  }
  list = std::move(kept);
}

void store(const DataFolder& folder, const Log& log, const nlohmann::ordered_json& list) {
  if (const morvane::Status saved = write_json_atomic(folder.file(kRecentsFileName), list);
      !saved) {
    log.line("[RECIENTES] No se pudo guardar la lista: " + saved.error());
  }
}

}  // namespace

nlohmann::ordered_json load_recents(const DataFolder& folder) {
  auto stored = read_json_file(folder.file(kRecentsFileName));
  if (stored && stored->is_array()) return std::move(*stored);
  return nlohmann::ordered_json::array();
}

std::string clean_recent_name(std::string_view name) {
  std::string out;
  std::size_t kept = 0;
  for (const char32_t cp : morvane::decode_utf8(name)) {
    if (kept == kMaxRecentNameChars) break;
    if (cp <= 31 || (cp >= 127 && cp <= 159)) continue;
    morvane::append_utf8(out, cp);
    ++kept;
  }
  return out;
}

nlohmann::ordered_json add_recent(const DataFolder& folder, const Log& log, std::string_view id,
                                  std::string_view name) {
  if (!is_valid_id(id)) return load_recents(folder);
  morvane::MutexLock lock(recents_lock(folder));
  nlohmann::ordered_json list = load_recents(folder);
  drop_id(list, id);
  nlohmann::ordered_json entry = nlohmann::ordered_json::object();
  entry["id"] = std::string(id);
  entry["nombre"] = clean_recent_name(name);
  entry["fecha"] = format_local_time(local_now());
  list.insert(list.begin(), std::move(entry));
  if (list.size() > kMaxRecents) list.erase(list.begin() + kMaxRecents, list.end());
  store(folder, log, list);
  return list;
}

nlohmann::ordered_json remove_recent(const DataFolder& folder, const Log& log,
                                     std::string_view id) {
  morvane::MutexLock lock(recents_lock(folder));
  nlohmann::ordered_json list = load_recents(folder);
  drop_id(list, id);
  store(folder, log, list);
  return list;
}

}  // namespace vantriel
