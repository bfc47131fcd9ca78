#include "base/log.h"

#include <string>
#include <system_error>

#include "base/data_folder.h"
#include "base/file_util.h"
#include "base/local_time.h"

namespace vantriel {

void log_line(std::string_view text) {
  // No lock: each line is one append-mode write, so lines from several threads land
  // whole. Two threads may both try the rotation; the second rename fails and is ignored.
  try {
    std::error_code ec;
    std::filesystem::create_directories(data_folder(), ec);
    const std::filesystem::path log = data_file("vantriel.log");
    const std::uintmax_t size = std::filesystem::file_size(log, ec);
    if (!ec && size > kLogRotateBytes) {
      (void)replace_file(log, data_file("vantriel.anterior.log"));
    }
    std::string line = format_local_time(local_now());
    line.reserve(line.size() + text.size() + 2);
    line += ' ';
    line += text;
    line += '\n';
    (void)append_file(log, line);
  } catch (...) {
    // The log never fails towards its caller (allocation or path conversion errors).
  }
}

}  // namespace vantriel
