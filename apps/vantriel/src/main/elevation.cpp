#include "main/elevation.h"

namespace vantriel {

std::string elevation_parameters(const std::vector<std::string>& args) {
  std::string out;
  for (const std::string& arg : args) {
    if (arg != "--no-elevate") out += "\"" + arg + "\" ";
  }
  out += "\"--no-elevate\" ";
  return out;
}

}  // namespace vantriel
