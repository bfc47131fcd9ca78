#include <sys/resource.h>

#include "fd_limit.h"

namespace vantriel::signal {

std::string raise_open_file_limit() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return "open files: unknown";
  if (lim.rlim_cur < lim.rlim_max) {
    rlimit wanted = lim;
    wanted.rlim_cur = lim.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &wanted) == 0) lim = wanted;
  }
  return "open files: " + std::to_string(static_cast<unsigned long long>(lim.rlim_cur));
}

}  // namespace vantriel::signal
