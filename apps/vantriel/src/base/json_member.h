// One typed member of a JSON object, as request bodies and stored files carry them: a
// member that is missing or of another type reads as the fallback, and so does any member
// of a value that is not an object.
#ifndef VANTRIEL_BASE_JSON_MEMBER_H_
#define VANTRIEL_BASE_JSON_MEMBER_H_

#include <string>

#include <nlohmann/json.hpp>

namespace vantriel {

// The text of member `key`, or `fallback` when it is not a text.
inline std::string text_member(const nlohmann::ordered_json& object, const char* key,
                               std::string fallback = {}) {
  if (!object.is_object()) return fallback;
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : fallback;
}

// Whether member `key` is the boolean true.
inline bool member_is_true(const nlohmann::ordered_json& object, const char* key) {
  if (!object.is_object()) return false;
  const auto it = object.find(key);
  return it != object.end() && it->is_boolean() && it->get<bool>();
}

}  // namespace vantriel

#endif  // VANTRIEL_BASE_JSON_MEMBER_H_
