#include "fd_limit.h"

namespace vantriel::signal {

// Windows sockets are not file descriptors and have no per-process soft limit to raise.
std::string raise_open_file_limit() { return "open files: no limit to raise"; }

}  // namespace vantriel::signal
