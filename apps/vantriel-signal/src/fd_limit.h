// Operating-system limits the server adjusts at start.
#ifndef VANTRIEL_SIGNAL_FD_LIMIT_H_
#define VANTRIEL_SIGNAL_FD_LIMIT_H_

#include <string>

namespace vantriel::signal {

// Raises the soft limit of open files to the hard limit where the system has one, so
// that tens of thousands of idle sockets fit. Returns a line for the start-up log.
std::string raise_open_file_limit();

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_FD_LIMIT_H_
