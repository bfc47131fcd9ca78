// The application log "vantriel.log" in the data folder: one timestamped line per event.
#ifndef VANTRIEL_BASE_LOG_H_
#define VANTRIEL_BASE_LOG_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/data_folder.h"

namespace vantriel {

inline constexpr std::string_view kLogFileName = "vantriel.log";
// A log larger than this is renamed to "vantriel.anterior.log" before the next line.
inline constexpr std::uintmax_t kLogRotateBytes = 2u * 1024u * 1024u;

// The host makes one for its run and hands it to whoever writes lines.
class Log {
 public:
  explicit Log(const DataFolder& folder);
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // Appends "YYYY-MM-DD HH:MM:SS <text>\n" (local time). `text` is one line without its
  // own line break; subsystems start it with their tag ("[SESION] "). Callable from any
  // thread without a lock; never fails towards the caller (every error drops the line).
  void line(std::string_view text) const;

 private:
  const std::filesystem::path folder_;
  const std::filesystem::path file_;
  const std::filesystem::path previous_;  // the rotated generation
};

// Inside a catch block: the text of the exception being handled, for a log line ("what()"
// of a std::exception, else a plain note that it was of another type).
std::string exception_reason();

}  // namespace vantriel

#endif  // VANTRIEL_BASE_LOG_H_
