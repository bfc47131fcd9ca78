#include "http/settings_api.h"

#include <string>

#include "base/page_settings.h"
#include "base/server_url.h"
#include "base/setting_names.h"
#include "base/settings.h"
#include "morvane/core/text/utf8.h"

namespace vantriel {

using json = nlohmann::ordered_json;

namespace {

// The text a value from the page is stored as: switches as "si"/"no", strings as they
// are, anything else as its JSON text.
std::string stored_text(const json& value) {
  if (value.is_boolean()) return value.get<bool>() ? "si" : "no";
  if (value.is_string()) return value.get<std::string>();
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

json settings_document(const DataFolder& folder) {
  const Settings settings = load_settings(folder);
  json document = json::object();
  for (const std::string_view section : page_setting_sections()) {
    json members = json::object();
    for (const SettingKey& entry : page_setting_keys()) {
      if (entry.section != section) continue;
      members[std::string(entry.key)] = morvane::sanitize_utf8(setting(settings, entry.section, entry.key));
    }
    document[std::string(section)] = std::move(members);
  }
  return document;
}

json save_settings(const DataFolder& folder, const Log& log, const json& body) {
  int saved = 0;
  for (const SettingKey& entry : page_setting_keys()) {
    if (!body.is_object()) break;
    const auto section = body.find(std::string(entry.section));
    if (section == body.end() || !section->is_object()) continue;
    const auto member = section->find(std::string(entry.key));
    if (member == section->end() || member->is_null()) continue;
    const std::string text = stored_text(*member);
    if (entry.key == kServerKey && !text.empty() && !is_valid_server(text)) {
      json reply = json::object();
      reply["ok"] = false;
      reply["msg"] = "El servidor debe empezar con https://";
      return reply;
    }
    if (set_setting(folder, entry.section, entry.key, text)) ++saved;
  }
  log.line("[AJUSTES] " + std::to_string(saved) + " valores guardados");
  json reply = json::object();
  reply["ok"] = true;
  reply["msg"] = "Ajustes guardados";
  reply["ajustes"] = settings_document(folder);
  return reply;
}

}  // namespace vantriel
