#include "main/command_line.h"

namespace vantriel {

std::vector<std::string> command_line_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

}  // namespace vantriel
