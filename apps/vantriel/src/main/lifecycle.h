// The host's life from start-up to exit.
#ifndef VANTRIEL_MAIN_LIFECYCLE_H_
#define VANTRIEL_MAIN_LIFECYCLE_H_

#include <string>

#include "main/command_line.h"

namespace vantriel {

// Runs the host: single-instance probe, elevation, local state, token, server, instance
// record, start line; then sleeps until exit_app. Returns only on the paths that end
// before the server runs (another instance answered, elevated copy started, no port).
int run_host(const CommandLine& command_line);

// Logs, releases held input, removes the instance record, closes the windows and ends
// the process with exit code 0. Never returns; callable from any thread.
[[noreturn]] void exit_app(bool close_window);

// The page as served: the embedded page with the token and version filled in.
std::string build_page(const std::string& page_template, const std::string& token);

}  // namespace vantriel

#endif  // VANTRIEL_MAIN_LIFECYCLE_H_
