// The server's log: one line per event on standard error, "YYYY-MM-DD HH:MM:SS text"
// in UTC. Callers never pass access codes or keys.
#ifndef VANTRIEL_SIGNAL_LOG_H_
#define VANTRIEL_SIGNAL_LOG_H_

#include <string>

namespace vantriel::signal {

void log_line(const std::string& text);

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_LOG_H_
