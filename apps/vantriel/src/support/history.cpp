#include "support/history.h"

#include "base/file_util.h"

namespace vantriel {

morvane::Status SessionHistory::append(const std::string& line) const {
  std::error_code ignored;  // a missing folder shows as the append's own error
  std::filesystem::create_directories(file_.parent_path(), ignored);
  return append_file(file_, line);
}

nlohmann::ordered_json SessionHistory::recent(std::size_t limit) const {
  auto text = read_file(file_);
  if (!text.ok()) return nlohmann::ordered_json::array();
  return parse_history(*text, limit);
}

nlohmann::ordered_json parse_history(std::string_view text, std::size_t limit) {
  // The newest records are at the end: lines are read from there and reading stops at
  // `limit` records, so a history of years costs no more than a short one.
  nlohmann::ordered_json newest = nlohmann::ordered_json::array();
  std::size_t end = text.size();
  while (newest.size() < limit) {
    const std::size_t lf = end == 0 ? std::string_view::npos : text.rfind('\n', end - 1);
    const std::size_t start = lf == std::string_view::npos ? 0 : lf + 1;
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    auto value = nlohmann::ordered_json::parse(line, nullptr, false);
    if (!value.is_discarded()) newest.push_back(std::move(value));
    if (lf == std::string_view::npos) break;
    end = lf;
  }
  return newest;
}

}  // namespace vantriel
