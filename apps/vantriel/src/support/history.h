// The history of support sessions: "sesiones.jsonl" in the data folder, one compact JSON
// record per line, appended when a session ends and read newest first for the status
// document.
#ifndef VANTRIEL_SUPPORT_HISTORY_H_
#define VANTRIEL_SUPPORT_HISTORY_H_

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "morvane/core/result.h"

namespace vantriel {

class SessionHistory {
 public:
  explicit SessionHistory(std::filesystem::path file) : file_(std::move(file)) {}

  // Appends one line (a record and its "\n") in one write; a failure loses that record
  // only, and says why.
  morvane::Status append(const std::string& line) const;
  // The newest `limit` records, newest first; damaged lines skipped.
  nlohmann::ordered_json recent(std::size_t limit = 15) const;

 private:
  const std::filesystem::path file_;
};

// Reads history text as the status document does: one JSON value per line, a CR before
// the LF dropped, lines that do not parse skipped, newest first, at most `limit`.
nlohmann::ordered_json parse_history(std::string_view text, std::size_t limit);

}  // namespace vantriel

#endif  // VANTRIEL_SUPPORT_HISTORY_H_
