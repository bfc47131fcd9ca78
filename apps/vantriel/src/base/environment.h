// Environment variables and the computer's name.
#ifndef VANTRIEL_BASE_ENVIRONMENT_H_
#define VANTRIEL_BASE_ENVIRONMENT_H_

#include <optional>
#include <string>

namespace vantriel {

// The variable's value as UTF-8; nothing when it is absent or not valid Unicode.
std::optional<std::string> env_var(const char* name);

// The host name the operating system reports, when the environment does not say it
// (Linux: gethostname; Windows: nothing, COMPUTERNAME is always set there).
std::optional<std::string> system_host_name();

}  // namespace vantriel

#endif  // VANTRIEL_BASE_ENVIRONMENT_H_
