#include <sys/random.h>

#include <cerrno>

#include "base/random.h"

namespace vantriel {

bool os_random_bytes(void* out, std::size_t n) {
  auto* p = static_cast<unsigned char*>(out);
  while (n > 0) {
    // getrandom returns at most 33,554,431 bytes per call and may be interrupted.
    const ssize_t got = ::getrandom(p, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace vantriel
