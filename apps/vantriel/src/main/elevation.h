// The command line of the host's elevated restart on Windows.
#ifndef VANTRIEL_MAIN_ELEVATION_H_
#define VANTRIEL_MAIN_ELEVATION_H_

#include <string>
#include <vector>

namespace vantriel {

// The parameters of the elevated restart: every argument but "--no-elevate", then
// "--no-elevate", each in double quotes followed by a blank.
std::string elevation_parameters(const std::vector<std::string>& args);

}  // namespace vantriel

#endif  // VANTRIEL_MAIN_ELEVATION_H_
