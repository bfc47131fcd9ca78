#include "base/json_file.h"

#include "base/file_util.h"
#include "morvane/core/text/utf8.h"

namespace vantriel {

std::optional<nlohmann::ordered_json> read_json_file(const std::filesystem::path& path) {
  try {
    auto text = read_file(path);
    if (!text || !morvane::is_valid_utf8(*text)) return std::nullopt;
    auto value = nlohmann::ordered_json::parse(*text, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return std::nullopt;
    return value;
  } catch (...) {
    return std::nullopt;
  }
}

std::string pretty_json(const nlohmann::ordered_json& value) {
  return value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

morvane::Status write_json_atomic(const std::filesystem::path& path,
                                  const nlohmann::ordered_json& value) {
  try {
    std::filesystem::path temp = path;
    temp.replace_extension("tmp");
    return write_file_atomic(path, temp, pretty_json(value));
  } catch (const std::exception& e) {
    return morvane::make_error(std::string("cannot write JSON file: ") + e.what());
  }
}

}  // namespace vantriel
