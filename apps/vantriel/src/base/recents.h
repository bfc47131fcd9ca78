// Recent contacts ("recientes.json"): the IDs this PC connected to, newest first.
#ifndef VANTRIEL_BASE_RECENTS_H_
#define VANTRIEL_BASE_RECENTS_H_

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/data_folder.h"
#include "base/log.h"

namespace vantriel {

inline constexpr std::string_view kRecentsFileName = "recientes.json";
inline constexpr std::size_t kMaxRecents = 12;
inline constexpr std::size_t kMaxRecentNameChars = 40;

// The array stored in `folder` as it is, or an empty array when the file is missing or
// holds anything else.
nlohmann::ordered_json load_recents(const DataFolder& folder);

// Puts {id, nombre, fecha} at the front (dropping the ID's older entry), keeps 12, stores
// and returns the list. An invalid ID changes nothing. Changes inside this process are
// serialised by the file's lock, so concurrent calls never lose an entry. A list that
// cannot be stored is still returned; `log` gets a line with the reason.
nlohmann::ordered_json add_recent(const DataFolder& folder, const Log& log, std::string_view id,
                                  std::string_view name);

// Drops every entry of `id`, stores (always, a failure logged) and returns the list.
nlohmann::ordered_json remove_recent(const DataFolder& folder, const Log& log,
                                     std::string_view id);

// The name as stored: control characters (C0, DEL, C1) dropped, at most 40 characters.
std::string clean_recent_name(std::string_view name);

}  // namespace vantriel

#endif  // VANTRIEL_BASE_RECENTS_H_
