#include "base/log.h"

#include <exception>
#include <string>
#include <system_error>

#include "base/file_util.h"
#include "base/local_time.h"

namespace vantriel {

Log::Log(const DataFolder& folder)
    : folder_(folder.path()),
      file_(folder.file(kLogFileName)),
      previous_(folder.file("vantriel.anterior.log")) {}

void Log::line(std::string_view text) const {
  // No lock: each line is one append-mode write, so lines from several threads land
  // whole. Two threads may both try the rotation; the second rename fails and is ignored.
  try {
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
    const std::uintmax_t size = std::filesystem::file_size(file_, ec);
    if (!ec && size > kLogRotateBytes) (void)replace_file(file_, previous_);
    std::string line = format_local_time(local_now());
    line.reserve(line.size() + text.size() + 2);
    line += ' ';
    line += text;
    line += '\n';
    (void)append_file(file_, line);
  } catch (...) {
    // The log never fails towards its caller (allocation or path conversion errors).
  }
}

std::string exception_reason() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {  // rethrown here only to be named
    return "an exception that is not a std::exception";
  }
}

}  // namespace vantriel
