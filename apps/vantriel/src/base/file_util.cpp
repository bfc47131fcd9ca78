#include "base/file_util.h"

#include <system_error>

namespace vantriel {

morvane::Status write_file_atomic(const std::filesystem::path& path,
                                  const std::filesystem::path& temp, std::string_view bytes) {
  if (path.has_parent_path()) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec)
      return morvane::make_error("cannot create " + path.parent_path().string() + ": " +
                                 ec.message());
  }
  if (auto written = write_file_synced(temp, bytes); !written) return written;
  return replace_file(temp, path);
}

}  // namespace vantriel
