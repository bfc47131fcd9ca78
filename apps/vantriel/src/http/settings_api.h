// The settings form's side of the local API: the document GET "/api/ajustes" answers and
// the reply to saving it.
#ifndef VANTRIEL_HTTP_SETTINGS_API_H_
#define VANTRIEL_HTTP_SETTINGS_API_H_

#include <nlohmann/json.hpp>

#include "base/data_folder.h"
#include "base/log.h"

namespace vantriel {

// {"general": {...}, "recibir": {...}, "llamada": {...}}, every value a string, keys in
// the order of the template.
nlohmann::ordered_json settings_document(const DataFolder& folder);

// Applies a body shaped like settings_document() and returns the reply for the page:
// {"ok":true,"msg":"Ajustes guardados","ajustes":...} or {"ok":false,"msg":...}. The log
// says how many values were saved.
nlohmann::ordered_json save_settings(const DataFolder& folder, const Log& log,
                                     const nlohmann::ordered_json& body);

}  // namespace vantriel

#endif  // VANTRIEL_HTTP_SETTINGS_API_H_
