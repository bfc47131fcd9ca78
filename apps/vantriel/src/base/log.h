// The application log "vantriel.log" in the data folder: one timestamped line per event.
#ifndef VANTRIEL_BASE_LOG_H_
#define VANTRIEL_BASE_LOG_H_

#include <cstdint>
#include <string_view>

namespace vantriel {

// A log larger than this is renamed to "vantriel.anterior.log" before the next line.
inline constexpr std::uintmax_t kLogRotateBytes = 2u * 1024u * 1024u;

// Appends "YYYY-MM-DD HH:MM:SS <text>\n" (local time). `text` is one line without its
// own line break; subsystems start it with their tag ("[SESION] "). Callable from any
// thread without a lock; never fails towards the caller (every error drops the line).
void log_line(std::string_view text);

}  // namespace vantriel

#endif  // VANTRIEL_BASE_LOG_H_
