// JSON files in the data folder: read whole, written whole through a temporary file.
#ifndef VANTRIEL_BASE_JSON_FILE_H_
#define VANTRIEL_BASE_JSON_FILE_H_

#include <filesystem>
#include <optional>

#include <nlohmann/json.hpp>

#include "morvane/core/result.h"

namespace vantriel {

// The one JSON value in `path`; nothing when the file is missing, unreadable, not
// UTF-8 or not JSON. Never throws.
std::optional<nlohmann::ordered_json> read_json_file(const std::filesystem::path& path);

// Writes `value` pretty-printed (two-space indent, no final line feed) to `path` with its
// extension replaced by "tmp", then renames that over `path`. Creates the parent folder.
// Returns the first I/O error. Does not serialise writers of the same path: callers that
// read-modify-write hold their own per-file lock.
morvane::Status write_json_atomic(const std::filesystem::path& path,
                                  const nlohmann::ordered_json& value);

// The pretty form that write_json_atomic stores; invalid UTF-8 in strings becomes U+FFFD.
std::string pretty_json(const nlohmann::ordered_json& value);

}  // namespace vantriel

#endif  // VANTRIEL_BASE_JSON_FILE_H_
